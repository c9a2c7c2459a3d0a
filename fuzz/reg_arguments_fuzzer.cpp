// quellvox-reg's arguments, run as the program runs them against a store
// and an autostart folder of its own in a fresh temporary folder: every
// argument list ends with one of the documented exit codes.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "tools/reg/reg_command.h"

namespace {

std::string gHome;

void RemoveHome() {
  std::error_code ec;
  std::filesystem::remove_all(gHome, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/quellvox-reg-fuzz-XXXXXX";
  if (!::mkdtemp(pattern)) std::abort();
  gHome = pattern;
  // The store and the autostart folder follow XDG_CONFIG_HOME: nothing of
  // the user's own is ever touched.
  ::setenv("XDG_CONFIG_HOME", gHome.c_str(), 1);
  std::atexit(RemoveHome);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> args = quellvox::fuzz::Arguments(data, size, 8);
  std::vector<const char*> argv{"quellvox-reg"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  const int code = quellvox::RunRegCommand(static_cast<int>(argv.size()), argv.data());
  if (code < 0 || code > 5) std::abort();
  return 0;
}
