#include "tools/demo/demo_options.h"

#include <cerrno>
#include <cstdlib>

namespace quellvox::demo {

const char* const kDemoUsage =
    "usage: quellvox-demo [--seconds N] [--out DIR]\n"
    "  Runs the main job on the virtual studio's default description: the capture's\n"
    "  video relayed into a layer of both title engines, two voice-over lines mixed\n"
    "  over the ducked floor, statistics once a second; then writes each engine's\n"
    "  program audio (engine-N.wav), report (engine-N.json) and picture (engine-N.png)\n"
    "  into DIR and prints a one-line verdict.\n"
    "  --seconds N  how long to run, 1 to 600 (default 20)\n"
    "  --out DIR    where the files go (default ./quellvox-demo-out); the demo's\n"
    "               settings store lives in DIR/config, never in the user's own\n"
    "  --help       this text\n"
    "Exit code: 0 verdict good, 1 frames missing or the floor attenuation off by\n"
    "more than 0.5 dB, 2 bad usage, 3 the job could not run or its files not be written.\n";

Status ParseDemoOptions(const std::vector<std::string>& args, DemoOptions& options) {
  DemoOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      o.Help = true;
      continue;
    }
    if (a != "--seconds" && a != "--out") {
      return Status::Failed("unknown argument \"" + a + "\"");
    }
    if (i + 1 >= args.size()) {
      return Status::Failed(a + " needs a value");
    }
    const std::string& value = args[++i];
    if (a == "--out") {
      if (value.empty()) {
        return Status::Failed("--out needs a folder");
      }
      o.OutDir = value;
      continue;
    }
    errno = 0;
    char* end = nullptr;
    const long long n = std::strtoll(value.c_str(), &end, 10);
    if (value.empty() || value[0] < '0' || value[0] > '9' || errno != 0 || *end != '\0' || n < 1 ||
        n > kMaxSeconds) {
      return Status::Failed("--seconds takes a whole number from 1 to " + std::to_string(kMaxSeconds) + ", not \"" +
                            value + "\"");
    }
    o.Seconds = static_cast<int32_t>(n);
  }
  options = o;
  return Status::Ok();
}

}  // namespace quellvox::demo
