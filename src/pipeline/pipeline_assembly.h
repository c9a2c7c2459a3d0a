// Assembly and teardown of the pipeline's component objects: the main
// capture object, and for every selected title engine a target, its layer,
// its audio fifos and a capture object of its own that paces its video.
#pragma once

#include <cstdint>
#include <string>

#include "config/catalogues.h"
#include "config/settings.h"
#include "pipeline/media_pipeline.h"
#include "platform/com/status.h"

namespace quellvox {

// The layer numbers tried on every engine: -1000, then downwards, sixteen
// in all; the first one the engine does not refuse is the relay's layer.
inline constexpr int32_t kFirstLayerNumber = -1000;
inline constexpr int32_t kLayerNumbersTried = 16;

// Fills `pipeline` from the settings, checking on the way that the source
// and every target fit together, step by step: open the capture, check the
// source lines, add a row per selected engine, add the row captures. Stops
// at the first failure and returns it with its message (a failed component
// call's reason on a line under it); ok when everything is in place. References stored before a
// failure stay in `pipeline` until ReleasePipeline. User-interface thread,
// no pipeline thread running.
Status AssemblePipeline(MediaPipeline& pipeline, const DuckerSettings& settings, const CaptureSourceCatalogue& captures,
                        const TitleEngineCatalogue& engines);

// Releases the main capture references and, for all 32 rows whatever
// TargetCount says, the layer, fifos, clock and row capture; TargetCount 0.
void ReleasePipeline(MediaPipeline& pipeline);

}  // namespace quellvox
