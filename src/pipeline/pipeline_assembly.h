// Assembly and teardown of the pipeline's component objects: the main
// capture object, and for every selected title engine a target, its layer,
// its audio fifos and a capture object of its own that paces its video.
#pragma once

#include <cstdint>
#include <string>

#include "config/catalogues.h"
#include "config/settings.h"
#include "pipeline/media_pipeline.h"

namespace quellvox {

// The layer numbers tried on every engine: -1000, then downwards, sixteen
// in all; the first one the engine does not refuse is the relay's layer.
inline constexpr int32_t kFirstLayerNumber = -1000;
inline constexpr int32_t kLayerNumbersTried = 16;

// Fills `pipeline` from the settings, checking on the way that the source
// and every target fit together. Returns the message of the first failure,
// or an empty text when everything is in place. References stored before a
// failure stay in `pipeline` until ReleasePipeline. User-interface thread,
// no pipeline thread running.
std::string AssemblePipeline(MediaPipeline& pipeline, const DuckerSettings& settings,
                             const CaptureSourceCatalogue& captures, const TitleEngineCatalogue& engines);

// Releases the main capture references and, for all 32 rows whatever
// TargetCount says, the layer, fifos, clock and row capture; TargetCount 0.
void ReleasePipeline(MediaPipeline& pipeline);

}  // namespace quellvox
