// The video relay: one thread per target copies each new capture frame (or
// two capture frames as the fields of one, for a woven target) straight from
// the main capture object into a buffer its layer lends, and submits it.
#pragma once

#include <atomic>
#include <cstdint>

#include "pipeline/audio_pump.h"
#include "audio/pipeline_stats.h"

namespace quellvox {

// Video thread of row `row`: runs until the context's VideoStop is set.
// Adds its skipped frames to skipVideo (atomic add) after each submitted
// frame and publishes its fullness every 100 frames. Allocates nothing,
// takes no lock; after a pass that submitted nothing it sleeps until the
// capture's next frame is due (see FramePacer). latePasses, when given,
// counts the passes that found newest two or more frames beyond the frame to
// copy (written by this thread only); relayed, when given, counts the
// target frames submitted (likewise).
void RunVideoRelay(const PumpContext& ctx, int32_t row, std::atomic<int32_t>& skipVideo, FullnessRecord& fullness,
                   std::atomic<uint32_t>* latePasses = nullptr, std::atomic<uint32_t>* relayed = nullptr);

// Video thread. Copies capture frame `next` into the row's layer when
// `newest` lies beyond it, jumping to two frames behind newest when trailing
// by more than MaxLag. True when a frame was submitted; skipped receives the
// frames jumped over, fill the submitted frame number.
bool CopyVideoFrame(const PumpContext& ctx, int32_t row, int64_t newest, int64_t& next, int64_t& skipped,
                    int32_t& fill);

// Video thread. Weaves capture frames next and next + 1 into one target
// frame as its two fields (the earlier on the first line when the target's
// field order is top first), jumping an even number of frames when trailing
// by more than MaxLag. Same results as CopyVideoFrame.
bool CopyVideoFields(const PumpContext& ctx, int32_t row, int64_t newest, int64_t& next, int64_t& skipped,
                     int32_t& fill);

}  // namespace quellvox
