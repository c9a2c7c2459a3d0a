// The live component objects of a started pipeline, held by the instance
// while it runs: the main capture object and one row per title target.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "config/settings.h"
#include "platform/media_api/media_components.h"

namespace quellvox {

// One selected title engine as the assembly left it: its layer and fifos,
// its clock, the capture object that paces its video, and how its frames
// are built.
struct TargetRow {
  ComPtr<IZRCaptureVideoEx> RegionCapture;
  ComPtr<IZRLayer> Layer;
  ComPtr<IZRLayerAudio> LayerAudio;
  ComPtr<IZRTitleClock> Clock;
  int32_t FirstFifo = 0;  // line 0 of a target with more than one line is not written
  int32_t FifoCount = 0;
  bool WeaveFields = false;  // two progressive capture frames make one interlaced target frame
  bool TopFieldFirst = false;
};

struct MediaPipeline {
  // Written by the user-interface thread (release), polled by the audio
  // pump at the top of every pass (acquire).
  std::atomic<uint8_t> StopRequested{1};
  std::thread AudioThread;
  ComPtr<IZRCaptureVideoEx> MainVideo;
  ComPtr<IZRCaptureAudio> MainAudio;
  int32_t InputChannels = 0;
  TargetRow Rows[kMaxTargets];
  int32_t TargetCount = 0;  // rows filled, from Rows[0] on
  double SamplesPerFrame = 0.0;
  int32_t SampleRate = 0;  // the capture's audio, sample frames per second
};

}  // namespace quellvox
