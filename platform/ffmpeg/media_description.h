// The part of the studio's JSON description that the real-media provider
// plays: devices with an "input" object and engines with an "output" object
// (format in README). Every other device and engine stays the studio's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/engine_core/picture.h"
#include "platform/ffmpeg/av_support.h"

namespace quellvox::realmedia {

using OptionList = std::vector<std::pair<std::string, std::string>>;

struct InputSettings {
  std::string Url;
  std::string Format;  // empty: probed
  OptionList Options;  // demuxer and protocol options
  bool Loop = false;   // a file starts again at its end
  bool Live = false;   // frames are captured when they arrive; otherwise paced by the clock
  bool Reconnect = true;
  int32_t BackoffMinMs = 200;  // reconnect waits, doubled after each failure up to the maximum
  int32_t BackoffMaxMs = 3000;
  int32_t StallMs = 2000;   // a live input without a packet this long is dropped and reconnected
  int32_t RingFrames = 16;  // captured frames held for readers
};

struct OutputSettings {
  std::string Url;
  std::string Format;  // empty: from the file name
  std::string VideoCodec = "ffv1";
  std::string AudioCodec = "pcm_f32le";
  std::string PixelFormat;  // empty: the codec's first 4:2:2, else 4:2:0, else its first
  OptionList VideoOptions;
  OptionList AudioOptions;
  OptionList FormatOptions;
  int32_t QueueFrames = 8;  // frames waiting for the encoder; beyond them frames are dropped and counted
};

// The picture and sound of a device or engine as the description gives them.
struct MediaPicture : engine::Picture {
  int32_t Channels = 8;     // devices
  int32_t StereoLines = 1;  // engines
  int64_t StartPosition = 0;
};

struct DeviceEntry {
  std::string Name;
  int32_t Kind = 2;
  MediaPicture Picture;
  std::optional<InputSettings> Input;  // none: the studio plays the device
  std::string Problem;             // not empty: a bad input, the device fails to open
  bool Played() const { return Input.has_value() || !Problem.empty(); }
};

struct EngineEntry {
  std::string Name;
  MediaPicture Picture;
  std::optional<OutputSettings> Output;
  std::string Problem;
  bool Played() const { return Output.has_value() || !Problem.empty(); }
};

struct MediaDescription {
  std::string Source;  // file name, or "default"
  std::vector<DeviceEntry> Devices;
  std::vector<EngineEntry> Engines;
};

// Reads the devices and engines of a description. A bad input or output
// leaves only that device or engine failing (its Problem set, one line in
// `problems` naming the file, the entry and the fault); a description that
// is no JSON object gives no entries and one line. Values outside the
// inputs and outputs are the studio's to check; here they are only read.
MediaDescription ReadMediaDescription(std::string_view text, const std::string& source, const std::string& baseDir,
                                      std::vector<std::string>& problems);

}  // namespace quellvox::realmedia
