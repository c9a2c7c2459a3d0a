// The loudness lines of the statistics window, from the meters' figures.
#include <cmath>
#include <cstdio>

#include "app/instance_core.h"

namespace quellvox {

namespace {

// One figure with one decimal; "--" while it is not known yet.
std::string Figure(double value) {
  if (!std::isfinite(value)) return "--";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

}  // namespace

std::string BuildLoudnessText(const LoudnessSnapshot& figures, const DuckerSettings& settings) {
  std::string text;
  for (int32_t k = 0; k < figures.Planes; ++k) {
    bool used = false;
    for (const VoiceOverLine& line : settings.Lines) used = used || (line.Use && line.To.Pair == k);
    if (!used) continue;
    const LoudnessFigures& f = figures.Plane[static_cast<size_t>(k)];
    text += "Stereo#" + std::to_string(k + 1) + ":\tM " + Figure(f.MomentaryLufs) + "\tS " + Figure(f.ShortTermLufs) +
            "\tI " + Figure(f.IntegratedLufs) + " LUFS\tTP max " + Figure(f.TruePeakDbtp) + " dBTP\n";
  }
  if (figures.BlocksDropped > 0) text += "Loudness: " + std::to_string(figures.BlocksDropped) + " blocks not metered\n";
  if (!text.empty()) text.pop_back();
  return text;
}

std::string InstanceCore::BuildLoudnessText() const {
  return ::quellvox::BuildLoudnessText(Loudness.Figures(), Settings);
}

}  // namespace quellvox
