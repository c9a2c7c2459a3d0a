// The command line of quellvox-demo: how long the main job runs and where
// its files go.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quellvox::demo {

struct DemoOptions {
  int32_t Seconds = 20;                     // real seconds of relay and mixing
  std::string OutDir = "quellvox-demo-out"; // recordings, reports, pictures and the store
  bool Help = false;
};

inline constexpr int32_t kMaxSeconds = 600;

// Reads the arguments after the program name. On a mistake returns nothing
// and sets `error` to a sentence for the user.
std::optional<DemoOptions> ParseDemoOptions(const std::vector<std::string>& args, std::string& error);

extern const char* const kDemoUsage;

}  // namespace quellvox::demo
