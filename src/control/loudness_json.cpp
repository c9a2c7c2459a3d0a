#include "control/loudness_json.h"

#include <algorithm>
#include <cmath>

namespace quellvox {

namespace {

nlohmann::json Figure(double value) { return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr); }

}  // namespace

nlohmann::json LoudnessJson(const LoudnessSnapshot& loudness, bool running) {
  nlohmann::json planes = nlohmann::json::array();
  const int32_t n = running ? std::clamp<int32_t>(loudness.Planes, 0, kMeteredPlanes) : 0;
  for (int32_t k = 0; k < n; ++k) {
    const LoudnessFigures& f = loudness.Plane[static_cast<size_t>(k)];
    planes.push_back({{"plane", k + 1},
                      {"momentaryLufs", Figure(f.MomentaryLufs)},
                      {"shortTermLufs", Figure(f.ShortTermLufs)},
                      {"integratedLufs", Figure(f.IntegratedLufs)},
                      {"rangeLu", Figure(f.RangeLu)},
                      {"truePeakMaxDbtp", Figure(f.TruePeakDbtp)}});
  }
  return {{"planes", planes}, {"blocksMetered", loudness.BlocksMetered}, {"blocksDropped", loudness.BlocksDropped}};
}

}  // namespace quellvox
