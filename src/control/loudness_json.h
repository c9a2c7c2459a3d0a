// The loudness figures of the relay as the interface's JSON carries them:
// in /api/v1/status and in the statistics event (twice a second).
#pragma once

#include <nlohmann/json.hpp>

#include "audio/loudness_meter.h"

namespace quellvox {

// {"planes": [{"plane": 1, "momentaryLufs": ..., "shortTermLufs": ...,
// "integratedLufs": ..., "rangeLu": ..., "truePeakMaxDbtp": ...}, ...],
// "blocksMetered": n, "blocksDropped": n}, one row per metered plane while
// the relay runs, none while it is stopped. JSON has no infinities: a
// figure not known yet is null.
nlohmann::json LoudnessJson(const LoudnessSnapshot& loudness, bool running);

}  // namespace quellvox
