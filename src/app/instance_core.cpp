#include "app/instance_core.h"

#include <chrono>
#include <system_error>
#include <algorithm>
#include <thread>
#include <utility>

#include "pipeline/audio_pump.h"
#include "pipeline/pipeline_assembly.h"

namespace quellvox {

InstanceCore::InstanceCore(std::string instanceId, std::string programPath, UserMessages& messages)
    : InstanceId(std::move(instanceId)),
      InstanceKeyPath(std::string(kProgramName) + "\\" + InstanceId),
      RunValueName(std::string(kProgramName) + InstanceId),
      RunCommand("\"" + programPath + "\" " + InstanceId),
      Messages(messages) {}

InstanceCore::~InstanceCore() { StopPipeline(); }

bool InstanceCore::StartPipeline() {
  const Status started = StartPipelineQuietly();
  // A refused thread has no message: the relay just stays stopped.
  if (!started.IsOk() && !started.Message().empty()) {
    Messages.Show(started.Message(), kProgramName, MB_ICONERROR | MB_TOPMOST);
  }
  return started.IsOk();
}

bool InstanceCore::StartPipeline(std::string* failure) {
  if (failure == nullptr) return StartPipeline();
  const Status started = StartPipelineQuietly();
  if (!started.Message().empty()) *failure = started.Message();
  return started.IsOk();
}

Status InstanceCore::StartPipelineQuietly() {
  StopPipeline();
  const Status assembled = AssemblePipeline();
  if (!assembled.IsOk()) return assembled;
  for (auto& counter : Stats.SkipVideo) counter.store(0, std::memory_order_relaxed);
  Stats.SkipAudio.store(0, std::memory_order_relaxed);

  // The pump's context (its own references, the settings copy, the two
  // block buffers) is made here, on the thread that owns the record, so that
  // the pump never reads the record while the user may be editing it; from
  // then on it takes only the mixer part, through the handoff. A part
  // published while nothing ran is older than this copy: drop it.
  std::unique_ptr<PumpContext> context = CreatePumpContext(InstanceId, Pipeline, Settings);
  Mixer.Discard();
  StripHistory.Clear();
  // Fresh meters for the planes the pump sends; a refusal leaves the relay
  // unmetered, never unstarted.
  Loudness.Start(Pipeline.SampleRate, std::min(context->PlanesSent, kMeteredPlanes));
  context->Meter = &Loudness;
  // Release: seen by the pump's first acquire load (the thread start orders
  // it as well).
  Pipeline.StopRequested.store(0, std::memory_order_release);
  try {
    Pipeline.AudioThread = std::thread(RunAudioPump, std::move(context), std::cref(Pipeline.StopRequested),
                                       std::ref(Mixer), std::ref(Stats));
  } catch (const std::system_error&) {
    Pipeline.StopRequested.store(1, std::memory_order_release);
    Loudness.Stop();
    return Status::Failed(E_OUTOFMEMORY, "");
  }
  return Status::Ok();
}

void InstanceCore::PublishMixerSettings() { Mixer.Publish(MixerPartOf(Settings)); }

void InstanceCore::StopPipeline() {
  // Release: pairs with the pump's acquire load at the top of its pass.
  Pipeline.StopRequested.store(1, std::memory_order_release);
  if (Pipeline.AudioThread.joinable()) Pipeline.AudioThread.join();
  Loudness.Stop();  // after the pump: nothing offers any more
  ReleasePipeline(Pipeline);
}

int64_t InstanceCore::HistoryNowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - createdAt_).count();
}

void InstanceCore::SampleStripHistory() {
  if (RelayRunning()) StripHistory.Take(Stats, HistoryNowMs());
}

Status InstanceCore::AssemblePipeline() {
  return ::quellvox::AssemblePipeline(Pipeline, Settings, CaptureSources, TitleEngines);
}

std::string InstanceCore::BuildStatisticsText() const {
  return ::quellvox::BuildStatisticsText(Stats, Pipeline.TargetCount, Settings);
}

}  // namespace quellvox
