// The command line of quellvox-render: the settings of the mixer rows and
// the floor, the capture frame rate, the planes written and the files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/com/status.h"

namespace quellvox {

struct RenderOptions {
  DuckerSettings Settings;       // Lines, UseCommon, CommonLine, DecreaseDB, NoiseLevelDB, TimeoutInFrames
  int64_t RateNumerator = 25;    // capture frames per second, as a fraction
  int64_t RateDenominator = 1;
  int32_t Planes = 0;            // stereo planes written; 0 until resolved
  bool PlanesGiven = false;
  std::string GainLog;           // empty: none
  bool Loudness = false;         // meter every plane and report at the end
  std::string Input;
  std::string Output;
  bool Help = false;
};

// Reads the arguments after the program name into `options`. On a mistake
// fails with a sentence for the user and leaves `options` as it was.
Status ParseRenderOptions(const std::vector<std::string>& args, RenderOptions& options);

// Whether `text` is a line text as the program writes it: "Stereo#n",
// "Left#n" or "Right#n" (any case) with one digit n from 1 to 9.
bool IsLineText(const std::string& text);

// Rate text: a decimal number ("25", "29.97") or a fraction ("30000/1001").
bool ParseFrameRate(const std::string& text, int64_t& numerator, int64_t& denominator);

extern const char* const kRenderUsage;

}  // namespace quellvox
