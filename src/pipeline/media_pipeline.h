// The live component objects of a started pipeline, held by the instance
// while it runs: the main capture object and one row per title target.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "config/settings.h"
#include "platform/media_api/media_components.h"

namespace quellvox {

struct MediaPipeline {
  // Written by the user-interface thread (release), polled by the audio
  // pump at the top of every pass (acquire).
  std::atomic<uint8_t> StopRequested{1};
  std::thread AudioThread;
  ComPtr<IZRCaptureVideoEx> MainVideo;
  ComPtr<IZRCaptureAudio> MainAudio;
  ComPtr<IZRCaptureVideoEx> RegionCapture[kMaxTargets];
  int32_t InputChannels = 0;
  ComPtr<IZRLayer> Layer[kMaxTargets];
  ComPtr<IZRLayerAudio> LayerAudio[kMaxTargets];
  ComPtr<IZRTitleClock> Clock[kMaxTargets];
  int32_t FirstFifo[kMaxTargets] = {};
  int32_t FifoCount[kMaxTargets] = {};
  int32_t TargetCount = 0;
  bool WeaveFields[kMaxTargets] = {};
  bool TopFieldFirst[kMaxTargets] = {};
  double SamplesPerFrame = 0.0;
  int32_t SampleRate = 0;  // the capture's audio, sample frames per second
};

}  // namespace quellvox
