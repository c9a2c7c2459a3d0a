#include "audio/pipeline_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>

namespace quellvox {

namespace {

void AppendFormat(std::string& out, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

void AppendFormat(std::string& out, const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) out.append(buffer, std::min(static_cast<size_t>(n), sizeof buffer - 1));
}

void AppendFullness(std::string& out, const FullnessRecord& r) {
  AppendFormat(out, "%d.%d [%d..%d]  ", r.MeanWhole.load(std::memory_order_relaxed),
               r.MeanTenth.load(std::memory_order_relaxed), r.Min.load(std::memory_order_relaxed),
               r.Max.load(std::memory_order_relaxed));
}

}  // namespace

int64_t FullnessTenths(int64_t sum, int32_t count) {
  if (count < 1) return 0;
  return (sum * 10 + count / 2) / count;
}

bool FullnessAccumulator::Add(int32_t sample, FullnessRecord& record, int32_t* publishedMin) {
  if (sample < Min) Min = sample;
  if (sample > Max) Max = sample;
  Sum += sample;
  Count += 1;
  if (Count < kFullnessSamples) return false;
  const int64_t m = FullnessTenths(Sum, Count);
  const int64_t whole = m / 10;
  record.Min.store(Min, std::memory_order_relaxed);
  record.Max.store(Max, std::memory_order_relaxed);
  record.MeanWhole.store(static_cast<int32_t>(std::clamp<int64_t>(whole, std::numeric_limits<int32_t>::min(),
                                                                  std::numeric_limits<int32_t>::max())),
                         std::memory_order_relaxed);
  record.MeanTenth.store(static_cast<int32_t>(m - 10 * whole), std::memory_order_relaxed);
  if (publishedMin) *publishedMin = Min;
  *this = FullnessAccumulator{};
  return true;
}

std::string BuildStatisticsText(const PipelineStats& stats, int32_t targetCount, const DuckerSettings& settings) {
  const int32_t targets = std::clamp<int32_t>(targetCount, 0, kMaxTargets);
  std::string text;
  AppendFormat(text, "Processing time: \t%d sec.\r\nSkip audio: \t%d\r\nSkip video: \t",
               stats.ProcessingSeconds.load(std::memory_order_relaxed),
               stats.SkipAudio.load(std::memory_order_relaxed));
  for (int32_t i = 0; i < targets; ++i) AppendFormat(text, "%d  ", stats.SkipVideo[i].load(std::memory_order_relaxed));
  text += "\r\nFullness video: \t";
  for (int32_t i = 0; i < targets; ++i) AppendFullness(text, stats.VideoFullness[i]);
  text += "\r\nFullness audio: \t";
  for (int32_t i = 0; i < targets; ++i) AppendFullness(text, stats.AudioFullness[i]);
  if (settings.UseCommon) {
    AppendFormat(text, "\r\nInternoise level: \t%ddB\r\n", stats.InterNoiseDB.load(std::memory_order_relaxed));
    for (int32_t i = 0; i < kVoiceOverLines; ++i) {
      if (!settings.Lines[i].Use) continue;
      AppendFormat(text, "VoiceOver #%d: \t%s (%ddB)\r\n", i + 1,
                   stats.VoiceDetected[i].load(std::memory_order_relaxed) ? "voice detected" : "no voice",
                   stats.VoiceLevelDB[i].load(std::memory_order_relaxed));
    }
  }
  // Shown once an engine's clock has slipped against the capture's, after
  // every other line.
  bool slipped = false;
  for (int32_t i = 0; i < targets; ++i) slipped = slipped || stats.ClockSlips[i].load(std::memory_order_relaxed) != 0;
  if (slipped) {
    if (!settings.UseCommon) text += "\r\n";
    text += "Clock slips: \t";
    for (int32_t i = 0; i < targets; ++i) AppendFormat(text, "%d  ", stats.ClockSlips[i].load(std::memory_order_relaxed));
  }
  return text;
}

int32_t FloorGainToCentiDb(float gain) {
  // The floor gain lies between DbToGain(-24) and 1; anything far below is
  // shown at the bottom of the scale.
  if (!(gain > 1e-6f)) return -12000;
  return static_cast<int32_t>(std::lround(2000.0 * std::log10(static_cast<double>(std::min(gain, 1e6f)))));
}

}  // namespace quellvox
