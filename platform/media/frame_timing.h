// The studio's frame and sample timing is the engines' own (engine_core).
#pragma once

#include "platform/engine_core/timing.h"

namespace quellvox::studio {

using engine::CeilDiv;
using engine::ClockSkew;
using engine::ExtendPosition;
using engine::FloorDiv;
using engine::FrameRate;
using engine::FrameRateFromNumber;
using engine::FrameRateFromText;
using engine::Int128;
using engine::kTicksPerSecond;

}  // namespace quellvox::studio
