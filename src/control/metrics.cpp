#include "control/metrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

namespace quellvox {

void MonotonicCount::FeedResettable(uint32_t value) {
  Total += value >= Last ? value - Last : value;
  Last = value;
}

void MonotonicCount::FeedWrapping(uint32_t value) {
  Total += static_cast<uint32_t>(value - Last);
  Last = value;
}

namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::Labels;

const char* const kStates[] = {"running", "stopped"};

double Load(const std::atomic<int32_t>& v) { return static_cast<double>(v.load(std::memory_order_relaxed)); }

// A loudness figure as a gauge's value: NaN while it is not known.
double Figure(double value) { return std::isfinite(value) ? value : std::numeric_limits<double>::quiet_NaN(); }

}  // namespace

std::string MetricsExporter::Render(const PipelineStats& stats, const InstanceSnapshot& snapshot,
                                    const LoudnessSnapshot& loudness) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A fresh registry per answer: the engines and lines in use change with
  // each start, and a series that no longer exists must go.
  prometheus::Registry registry;
  const Labels instance{{"instance", snapshot.InstanceId}};

  BuildGauge().Name("quellvox_build_info").Help("Build of the program; always 1").Register(registry)
      .Add({{"instance", snapshot.InstanceId}, {"version", QUELLVOX_VERSION}}).Set(1);
  auto& state = BuildGauge().Name("quellvox_state").Help("1 for the state the relay is in").Register(registry);
  for (const char* s : kStates) {
    const bool on = snapshot.Running == (std::string_view(s) == "running");
    state.Add({{"instance", snapshot.InstanceId}, {"state", s}}).Set(on ? 1 : 0);
  }
  BuildGauge().Name("quellvox_processing_seconds").Help("Time the running relay has processed, in seconds")
      .Register(registry).Add(instance).Set(snapshot.Running ? Load(stats.ProcessingSeconds) : 0);
  BuildCounter().Name("quellvox_pipeline_starts_total").Help("Starts of the relay").Register(registry)
      .Add(instance).Increment(static_cast<double>(snapshot.Starts));
  BuildCounter().Name("quellvox_restarts_total").Help("Restarts of the relay by command").Register(registry)
      .Add(instance).Increment(static_cast<double>(snapshot.Restarts));

  passes_.FeedWrapping(stats.PassCount.load(std::memory_order_relaxed));
  BuildCounter().Name("quellvox_pump_passes_total").Help("Passes of the audio pump").Register(registry)
      .Add(instance).Increment(static_cast<double>(passes_.Total));
  audioSkips_.FeedResettable(static_cast<uint32_t>(stats.SkipAudio.load(std::memory_order_relaxed)));
  BuildCounter().Name("quellvox_audio_skips_total").Help("Audio blocks the pump skipped").Register(registry)
      .Add(instance).Increment(static_cast<double>(audioSkips_.Total));

  auto& relayed = BuildCounter().Name("quellvox_engine_frames_relayed_total")
                      .Help("Video frames relayed per title engine (a woven pair counts once)").Register(registry);
  auto& skipped = BuildCounter().Name("quellvox_engine_frames_skipped_total")
                      .Help("Video frames skipped per title engine").Register(registry);
  auto& slips = BuildCounter().Name("quellvox_engine_clock_slips_total")
                    .Help("Frames repeated or dropped with their audio to follow a drifting engine clock")
                    .Register(registry);
  auto& videoMean = BuildGauge().Name("quellvox_engine_video_fullness_frames")
                        .Help("Mean video frames queued ahead of the engine's output").Register(registry);
  auto& videoMin = BuildGauge().Name("quellvox_engine_video_fullness_min_frames")
                       .Help("Fewest video frames queued in the last 100 samples").Register(registry);
  auto& videoMax = BuildGauge().Name("quellvox_engine_video_fullness_max_frames")
                       .Help("Most video frames queued in the last 100 samples").Register(registry);
  auto& audioMean = BuildGauge().Name("quellvox_engine_audio_fullness_frames")
                        .Help("Mean audio frames queued ahead of the engine's output").Register(registry);
  auto& audioMin = BuildGauge().Name("quellvox_engine_audio_fullness_min_frames")
                       .Help("Fewest audio frames queued in the last 100 samples").Register(registry);
  auto& audioMax = BuildGauge().Name("quellvox_engine_audio_fullness_max_frames")
                       .Help("Most audio frames queued in the last 100 samples").Register(registry);
  const int32_t targets = snapshot.Running ? std::min<int32_t>(snapshot.TargetCount, kMaxTargets) : 0;
  for (int32_t i = 0; i < kMaxTargets; ++i) {
    videoSkips_[i].FeedResettable(static_cast<uint32_t>(stats.SkipVideo[i].load(std::memory_order_relaxed)));
    relayed_[i].FeedWrapping(stats.RelayedFrames[i].load(std::memory_order_relaxed));
    slips_[i].FeedResettable(static_cast<uint32_t>(stats.ClockSlips[i].load(std::memory_order_relaxed)));
  }
  for (int32_t i = 0; i < targets; ++i) {
    const size_t t = static_cast<size_t>(i);
    const std::string engine = t < snapshot.EngineNames.size() ? snapshot.EngineNames[t] : std::to_string(i + 1);
    const Labels labels{{"instance", snapshot.InstanceId}, {"engine", engine}};
    relayed.Add(labels).Increment(static_cast<double>(relayed_[i].Total));
    skipped.Add(labels).Increment(static_cast<double>(videoSkips_[i].Total));
    slips.Add(labels).Increment(static_cast<double>(slips_[i].Total));
    const FullnessRecord& v = stats.VideoFullness[i];
    const FullnessRecord& a = stats.AudioFullness[i];
    videoMean.Add(labels).Set(Load(v.MeanWhole) + Load(v.MeanTenth) / 10.0);
    videoMin.Add(labels).Set(Load(v.Min) > Load(v.Max) ? 0 : Load(v.Min));
    videoMax.Add(labels).Set(Load(v.Max));
    audioMean.Add(labels).Set(Load(a.MeanWhole) + Load(a.MeanTenth) / 10.0);
    audioMin.Add(labels).Set(Load(a.Min) > Load(a.Max) ? 0 : Load(a.Min));
    audioMax.Add(labels).Set(Load(a.Max));
  }

  auto& floor = BuildGauge().Name("quellvox_line_floor_gain_db")
                    .Help("Gain of the floor under each voice-over line, in decibels").Register(registry);
  auto& voice = BuildGauge().Name("quellvox_line_voice_detected")
                    .Help("1 while voice is detected on the line").Register(registry);
  for (int n = 0; n < kVoiceOverLines; ++n) {
    if (!snapshot.Running || !snapshot.LineInUse[static_cast<size_t>(n)]) continue;
    const Labels labels{{"instance", snapshot.InstanceId}, {"line", std::to_string(n + 1)}};
    floor.Add(labels).Set(Load(stats.FloorGainCentiDB[n]) / 100.0);
    voice.Add(labels).Set(stats.VoiceDetected[n].load(std::memory_order_relaxed) != 0 ? 1 : 0);
  }

  auto& momentary = BuildGauge().Name("quellvox_loudness_momentary_lufs")
                        .Help("Momentary loudness (400 ms) of each plane, in LUFS; NaN while not known").Register(registry);
  auto& shortTerm = BuildGauge().Name("quellvox_loudness_short_term_lufs")
                        .Help("Short-term loudness (3 s) of each plane, in LUFS; NaN while not known").Register(registry);
  auto& integrated = BuildGauge().Name("quellvox_loudness_integrated_lufs")
                         .Help("Integrated loudness of each plane since the relay started, in LUFS; NaN while not known")
                         .Register(registry);
  auto& range = BuildGauge().Name("quellvox_loudness_range_lu")
                    .Help("Loudness range of each plane since the relay started, in LU").Register(registry);
  auto& truePeak = BuildGauge().Name("quellvox_loudness_true_peak_max_dbtp")
                       .Help("Largest true peak of each plane since the relay started, in dBTP; NaN while silent")
                       .Register(registry);
  loudnessDropped_.FeedResettable(static_cast<uint32_t>(loudness.BlocksDropped));
  BuildCounter().Name("quellvox_loudness_blocks_dropped_total").Help("Audio blocks the loudness meters missed")
      .Register(registry).Add(instance).Increment(static_cast<double>(loudnessDropped_.Total));
  const int32_t planes = snapshot.Running ? std::clamp<int32_t>(loudness.Planes, 0, kMeteredPlanes) : 0;
  for (int32_t k = 0; k < planes; ++k) {
    const LoudnessFigures& f = loudness.Plane[static_cast<size_t>(k)];
    const Labels labels{{"instance", snapshot.InstanceId}, {"plane", std::to_string(k + 1)}};
    momentary.Add(labels).Set(Figure(f.MomentaryLufs));
    shortTerm.Add(labels).Set(Figure(f.ShortTermLufs));
    integrated.Add(labels).Set(Figure(f.IntegratedLufs));
    range.Add(labels).Set(Figure(f.RangeLu));
    truePeak.Add(labels).Set(Figure(f.TruePeakDbtp));
  }

  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, registry.Collect());
  return out.str();
}

}  // namespace quellvox
