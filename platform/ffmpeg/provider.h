// The inside of the real-media provider: the loaded description with one
// slot per device (its running feed, shared by the device's capture
// objects) and one engine per output.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ffmpeg/input_feed.h"
#include "platform/ffmpeg/media_description.h"
#include "platform/ffmpeg/output_engine.h"
#include "platform/media_api/media_components.h"

namespace quellvox::realmedia {

class Provider {
 public:
  explicit Provider(MediaDescription desc);

  const DeviceEntry* Device(int32_t i) const {
    return i >= 0 && i < static_cast<int32_t>(desc_.Devices.size()) ? &desc_.Devices[static_cast<size_t>(i)] : nullptr;
  }
  const EngineEntry* Engine(int32_t i) const {
    return i >= 0 && i < static_cast<int32_t>(desc_.Engines.size()) ? &desc_.Engines[static_cast<size_t>(i)] : nullptr;
  }
  // The engine object of an engine with a good output, or nullptr.
  const std::shared_ptr<OutputEngine>& Output(int32_t i) const { return outputs_[static_cast<size_t>(i)]; }

  // Set-up thread: the running feed of device i, started by the first
  // capture object (S_OK and the feed, or the failure code of the open).
  HResult Feed(int32_t i, std::shared_ptr<InputFeed>& out);
  std::shared_ptr<InputFeed> RunningFeed(int32_t i);
  // Set-up thread, when engine i with an output is attached: S_OK, or
  // E_INVALIDARG (a line, and the reason as the thread's error description)
  // when its output is the file of an input, or the output another engine
  // writes now.
  HResult CheckOutput(int32_t i);
  const std::shared_ptr<InputCounters>& Counters(int32_t i) const { return counters_[static_cast<size_t>(i)]; }

 private:
  MediaDescription desc_;
  std::vector<std::shared_ptr<InputCounters>> counters_;
  std::vector<std::shared_ptr<OutputEngine>> outputs_;
  std::mutex feedMu_;
  std::vector<std::weak_ptr<InputFeed>> feeds_;
};

// The provider new components are made from: loaded on first use from
// QUELLVOX_STUDIO (no file: no inputs, no outputs). Never null.
std::shared_ptr<Provider> CurrentProvider();
void ReplaceProvider(std::shared_ptr<Provider> provider);

// The component objects (real_media_objects.cpp).
HResult CreateDeviceEnumerator(const Guid& iid, void** out);
HResult CreateTitleTarget(const Guid& iid, void** out);
// The factories that play everything else (the studio's).
extern ClassFactoryFn gInnerDeviceEnumerator;
extern ClassFactoryFn gInnerTitleTarget;

}  // namespace quellvox::realmedia
