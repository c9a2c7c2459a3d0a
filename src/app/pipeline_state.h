// The state shown to the user in the icon and its tooltip.
#pragma once

#include <cstdint>

namespace quellvox {

enum class PipelineState : int32_t {
  NotInitialized = 0,
  StartRecording = 1,
  Running = 2,
  StopRecording = 3,
  Stopped = 4,
  ErrorState = 5,
};

// String resource of a state's text: 501, 503..507, and 502 ("Unknown
// state") for a value outside 0..5.
uint32_t StateStringId(PipelineState state);

}  // namespace quellvox
