// What tests and tools may ask of the real-media provider beyond the
// component interfaces: load a description and read the counts of its
// inputs and outputs. Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ffmpeg/output_engine.h"

namespace quellvox::realmedia_test {

// Loads a description (relative paths from baseDir); the problem lines, if
// any, go to `problems` (and to standard error). True when the text was a
// description at all.
bool LoadDescriptionText(std::string_view json, const std::string& baseDir, std::string* problems = nullptr);
// The next use reads QUELLVOX_STUDIO again.
void LoadFromEnvironment();

struct InputReport {
  bool Played = false;  // the device names an input
  bool Open = false;
  int64_t Newest = -1;  // of the running feed, or -1
  int64_t Captured = 0;
  int64_t Gaps = 0;
  int64_t Dropped = 0;
  int64_t AudioFilled = 0;
  int64_t OpenFailures = 0;
  int64_t Reconnects = 0;
  int64_t Ends = 0;
  int64_t Stalls = 0;
  int64_t DecodeErrors = 0;
};
InputReport GetInputReport(int32_t deviceIndex);

// An engine without an output reports an empty Url.
realmedia::OutputReport GetOutputReport(int32_t engineIndex);
// Waits until the engine's encoder threads have ended (a stop leaves an
// encoder busy with one long frame to finish on its own); false on timeout.
bool WaitForOutputClosed(int32_t engineIndex, int32_t milliseconds);

}  // namespace quellvox::realmedia_test
