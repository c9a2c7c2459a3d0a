#include "platform/media/studio_test_api.h"

#include <filesystem>

#include "platform/media/studio.h"
#include "platform/media/studio_clock.h"
#include "platform/media/test_pattern.h"

namespace quellvox::studio_test {

using studio::CurrentStudio;

namespace {

Status Load(std::string_view text, const std::string& baseDir, const std::string& source) {
  studio::StudioDescription desc;
  Status parsed = studio::ParseStudioDescription(text, baseDir, desc);
  if (!parsed.IsOk()) {
    studio::ReplaceStudio(std::make_shared<studio::Studio>(studio::StudioDescription{}, true, source));
    return parsed;
  }
  studio::ReplaceStudio(std::make_shared<studio::Studio>(std::move(desc), false, source));
  return Status::Ok();
}

}  // namespace

Status LoadDescriptionText(std::string_view json) { return Load(json, "", "text"); }

Status LoadDescriptionFile(const std::string& path) {
  std::string text;
  if (Status read = studio::ReadStudioDescriptionFile(path, text); !read.IsOk()) {
    studio::ReplaceStudio(std::make_shared<studio::Studio>(studio::StudioDescription{}, true, path));
    return read;
  }
  return Load(text, std::filesystem::path(path).parent_path().string(), path);
}

void LoadDefaultDescription() { (void)Load(studio::DefaultDescriptionText(), "", "default"); }

std::string DefaultDescriptionText() { return studio::DefaultDescriptionText(); }

void UseManualClock(int64_t time100ns) { studio::ClockUseManual(time100ns); }
void UseSteadyClock() { studio::ClockUseSteady(); }
bool IsManualClock() { return studio::ClockIsManual(); }
int64_t Now() { return studio::ClockNow(); }
void SetClock(int64_t time100ns) { studio::ClockSet(time100ns); }
void AdvanceClock(int64_t delta100ns) { studio::ClockSet(studio::ClockNow() + delta100ns); }

int64_t CaptureReadableTime(int32_t deviceIndex, int64_t position) {
  auto s = CurrentStudio();
  const auto* d = s->Device(deviceIndex);
  return d ? d->PositionTime(position + 1) : 0;
}

int64_t CaptureNewestPosition(int32_t deviceIndex) {
  auto s = CurrentStudio();
  const auto* d = s->Device(deviceIndex);
  return d ? d->NewestAt(studio::ClockNow()) : 0;
}

void AdvanceToCaptureFrame(int32_t deviceIndex, int64_t position) {
  studio::ClockSet(CaptureReadableTime(deviceIndex, position));
}

int64_t EngineOutputTime(int32_t engineIndex, int64_t outputPosition) {
  auto s = CurrentStudio();
  const auto* e = s->Engine(engineIndex);
  return e ? e->PositionTime(outputPosition) : 0;
}

int64_t EngineOutputPosition(int32_t engineIndex) {
  auto s = CurrentStudio();
  const auto* e = s->Engine(engineIndex);
  return e ? e->OutputPositionAt(studio::ClockNow()) : 0;
}

void AdvanceToEngineOutput(int32_t engineIndex, int64_t outputPosition) {
  studio::ClockSet(EngineOutputTime(engineIndex, outputPosition));
}

int64_t EngineSampleOfPosition(int32_t engineIndex, int64_t outputPosition) {
  auto s = CurrentStudio();
  const auto* e = s->Engine(engineIndex);
  return e ? e->SampleOf(outputPosition) : 0;
}

Status AddFault(const FaultRule& rule) { return CurrentStudio()->Faults().Add(rule); }

void ClearFaults() { CurrentStudio()->Faults().Clear(); }

int64_t FaultsFired() { return CurrentStudio()->Faults().Fired(); }

void SetEngineReports(int32_t engineIndex, const EngineReports& reports) {
  auto s = CurrentStudio();
  if (auto* e = s->Engine(engineIndex)) e->SetReports(reports);
}

void SetCaptureReports(int32_t deviceIndex, const CaptureReports& reports) {
  auto s = CurrentStudio();
  if (auto* d = s->Device(deviceIndex)) d->SetReports(reports);
}

const LayerReport* EngineReport::FindLayer(int32_t number) const {
  for (auto it = Layers.rbegin(); it != Layers.rend(); ++it) {
    if (it->Number == number) return &*it;
  }
  return nullptr;
}

EngineReport GetEngineReport(int32_t engineIndex) {
  auto s = CurrentStudio();
  auto* e = s->Engine(engineIndex);
  return e ? e->Report() : EngineReport{};
}

void KeepPresentedAudio(int64_t maxSampleFrames) {
  CurrentStudio()->KeepPresented().store(maxSampleFrames < 0 ? 0 : maxSampleFrames, std::memory_order_relaxed);
}

void WriteRecordings() { CurrentStudio()->WriteRecordings(); }

int64_t DecodeFrameNumber(const uint8_t* image, int32_t width, int32_t lines, int32_t pitch) {
  return studio::DecodeStamp(image, width, lines, pitch);
}

std::vector<float> ExpectedCaptureAudio(int32_t deviceIndex, int64_t position) {
  auto s = CurrentStudio();
  const auto* d = s->Device(deviceIndex);
  if (!d || !d->IsCapture()) return {};
  std::vector<float> out(static_cast<size_t>(d->SamplesInFrame(position)) * d->Desc().Channels);
  const uint32_t mask = d->Desc().Channels >= 32 ? 0xFFFFFFFFu : (1u << d->Desc().Channels) - 1u;
  d->RenderAudio(position, mask, out.data());
  return out;
}

int32_t CaptureSamplesInFrame(int32_t deviceIndex, int64_t position) {
  auto s = CurrentStudio();
  const auto* d = s->Device(deviceIndex);
  return d ? d->SamplesInFrame(position) : 0;
}

int64_t LiveObjects() { return ComObjectBase::LiveObjects(); }

int64_t CapturePositionReads(int32_t deviceIndex, int32_t beforeNewest) {
  const auto studio = CurrentStudio();
  studio::CaptureDevice* device = studio ? studio->Device(deviceIndex) : nullptr;
  return device ? device->PositionReads(device->ObjectsMade() - 1 - beforeNewest) : 0;
}

}  // namespace quellvox::studio_test
