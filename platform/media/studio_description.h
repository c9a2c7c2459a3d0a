// What the virtual studio holds: capture devices, title engines, faults and
// recordings, read from a JSON description (format in README).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/status.h"
#include "platform/engine_core/picture.h"
#include "platform/media/audio_generators.h"
#include "platform/media/frame_timing.h"
#include "platform/media/studio_test_api.h"

namespace quellvox::studio {

// The picture (size, rate, fields, sample rate) comes first, from the base.
struct DeviceDescription : engine::Picture {
  int32_t Kind = 2;  // 2 primary input, 9 secondary input, 12 auxiliary
  std::string Name;  // the device's own name (the second part of its stored name)
  std::string Board = "Quellvox Virtual";
  std::string Label;  // the display part; built from the format when empty
  int32_t Channels = 8;
  double RingSeconds = 4.0;
  int64_t StartPosition = 1'000'000;
  ClockSkew Clock;  // the device's own clock against the studio's
  std::vector<PairSource> Pairs;  // one per stereo pair; missing pairs are silent
  studio_test::CaptureReports Reports;
  // Names an "input" (a file or stream): another provider plays the device,
  // the studio only lists it.
  bool External = false;
};

struct EngineDescription : engine::Picture {
  std::string Name;
  bool Usable = true;
  int32_t StereoLines = 1;
  int64_t StartPosition = 0;
  ClockSkew Clock;  // the engine's output clock against the studio's; its audio runs on it too
  bool Record = false;
  // Lend buffers that exist and are paged in from the layer's creation on, as
  // a real engine's are; otherwise each buffer is made on its first lend.
  bool Preallocate = false;
  studio_test::EngineReports Reports;
  // Names an "output": another provider plays the engine, the studio only lists it.
  bool External = false;
};

struct StudioDescription {
  std::vector<DeviceDescription> Devices;
  std::vector<EngineDescription> Engines;
  std::vector<studio_test::FaultRule> Faults;
  std::string RecordingFolder = ".";
  double RecordMaxSeconds = 60.0;
  int64_t LogMaxFrames = 100'000;
};

// Parses and checks a description; relative file paths are taken relative
// to `baseDir`. A failure names the problem (and where it is).
Status ParseStudioDescription(std::string_view text, const std::string& baseDir, StudioDescription& out);

// The most programme audio a recording engine may hold: 2 GiB, some 31
// minutes of three stereo lines at 48 kHz.
inline constexpr int64_t kMaxRecordingBytes = int64_t{2} << 30;

// A description is a small text: a longer file is refused unread.
inline constexpr size_t kMaxDescriptionBytes = size_t{1} << 20;

// The text of the description file at `path`: a regular file (never a FIFO,
// a device or a folder, which could block or never end) of at most
// kMaxDescriptionBytes. A failure says what the file is instead.
Status ReadStudioDescriptionFile(const std::string& path, std::string& text);

// The built-in description.
std::string DefaultDescriptionText();

}  // namespace quellvox::studio
