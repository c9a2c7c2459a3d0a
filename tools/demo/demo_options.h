// The command line of quellvox-demo: how long the main job runs and where
// its files go.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/status.h"

namespace quellvox::demo {

struct DemoOptions {
  int32_t Seconds = 20;                     // real seconds of relay and mixing
  std::string OutDir = "quellvox-demo-out"; // recordings, reports, pictures and the store
  bool Help = false;
};

inline constexpr int32_t kMaxSeconds = 600;

// Reads the arguments after the program name into `options`. On a mistake
// fails with a sentence for the user and leaves `options` as it was.
Status ParseDemoOptions(const std::vector<std::string>& args, DemoOptions& options);

extern const char* const kDemoUsage;

}  // namespace quellvox::demo
