#include "platform/media/studio.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/com/current_object.h"

namespace quellvox::studio {

// ---------------------------------------------------------------------------
// CaptureDevice

CaptureDevice::CaptureDevice(const DeviceDescription& desc, int32_t index) : desc_(desc), index_(index) {
  reports_ = desc.Reports;
  if (!IsCapture()) return;
  ringFrames_ = static_cast<int64_t>(std::ceil(desc.RingSeconds * desc.Rate.Value() - 1e-9));
  if (ringFrames_ < 1) ringFrames_ = 1;
  pattern_ = std::make_unique<TestPattern>(desc.Width, desc.Height);
  for (int32_t p = 0; p < desc.Channels / 2; ++p) {
    const PairSource silence;
    pairs_.push_back(MakePairGenerator(p < static_cast<int32_t>(desc.Pairs.size()) ? desc.Pairs[p] : silence,
                                       desc.SampleRate));
  }
}

void CaptureDevice::RenderAudio(int64_t position, uint32_t mask, float* out) const {
  int32_t outIndex[32];
  int32_t stride = 0;
  for (int32_t c = 0; c < desc_.Channels; ++c) outIndex[c] = (mask >> c) & 1u ? stride++ : -1;
  const int64_t s0 = FirstSample(position);
  const int32_t count = SamplesInFrame(position);
  for (int32_t p = 0; p < desc_.Channels / 2; ++p) {
    const int32_t l = outIndex[2 * p];
    const int32_t r = outIndex[2 * p + 1];
    if (l < 0 && r < 0) continue;
    pairs_[static_cast<size_t>(p)]->Render(s0, count, out, stride, l, r);
  }
}

studio_test::CaptureReports CaptureDevice::Reports() const {
  std::lock_guard lock(reportsMu_);
  return reports_;
}

void CaptureDevice::SetReports(const studio_test::CaptureReports& reports) {
  std::lock_guard lock(reportsMu_);
  reports_ = reports;
}

// ---------------------------------------------------------------------------
// Studio

Studio::Studio(StudioDescription desc, bool failed, std::string source)
    : desc_(std::move(desc)), failed_(failed), source_(std::move(source)) {
  for (size_t i = 0; i < desc_.Devices.size(); ++i) {
    devices_.push_back(std::make_unique<CaptureDevice>(desc_.Devices[i], static_cast<int32_t>(i)));
  }
  for (size_t i = 0; i < desc_.Engines.size(); ++i) {
    engines_.push_back(std::make_unique<EngineState>(*this, desc_.Engines[i], static_cast<int32_t>(i)));
  }
  for (const auto& rule : desc_.Faults) faults_.Add(rule);  // already checked by the parser
}

Studio::~Studio() = default;

void Studio::WriteRecordings() {
  bool any = false;
  for (const auto& e : engines_) any = any || e->Desc().Record;
  if (!any) return;
  std::error_code ec;
  std::filesystem::create_directories(desc_.RecordingFolder, ec);
  for (const auto& e : engines_) e->WriteRecording(desc_.RecordingFolder);
}

// ---------------------------------------------------------------------------
// The current studio

namespace {

CurrentObject<Studio>& Current() {
  static CurrentObject<Studio> current;
  return current;
}

std::shared_ptr<Studio> LoadFromEnvironment() {
  const char* path = std::getenv("QUELLVOX_STUDIO");
  StudioDescription desc;
  if (path && *path) {
    std::string text;
    Status read = ReadStudioDescriptionFile(path, text);
    if (read.IsOk()) read = ParseStudioDescription(text, std::filesystem::path(path).parent_path().string(), desc);
    if (!read.IsOk()) {
      // One line, one write: the studio then offers no devices and no engines.
      const std::string line =
          "Virtual studio: bad description \"" + std::string(path) + "\": " + read.Message() + "; no devices, no engines\n";
      std::fwrite(line.data(), 1, line.size(), stderr);
      std::fflush(stderr);
      return std::make_shared<Studio>(StudioDescription{}, true, path);
    }
    return std::make_shared<Studio>(std::move(desc), false, path);
  }
  ParseStudioDescription(DefaultDescriptionText(), "", desc);
  return std::make_shared<Studio>(std::move(desc), false, "default");
}

}  // namespace

std::shared_ptr<Studio> CurrentStudio() { return Current().Get(LoadFromEnvironment); }

void ReplaceStudio(std::shared_ptr<Studio> studio) { Current().Replace(std::move(studio)); }

void DropStudio() { ReplaceStudio(nullptr); }

}  // namespace quellvox::studio
