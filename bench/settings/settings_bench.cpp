// Time of what a user waits for on OK: a full SaveSettings (instance key,
// record, logon entry) followed by a LoadSettings, on the SQLite store and
// the autostart folder in a temporary $XDG_CONFIG_HOME on this machine's
// disk, with the catalogues of the default virtual studio.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/instance_core.h"
#include "app/user_messages.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"
#include "platform/registry/registry_component.h"

namespace quellvox {
namespace {

class SilentMessages : public UserMessages {
 public:
  int32_t Show(std::string_view text, std::string_view, uint32_t) override {
    std::fprintf(stderr, "unexpected message: %.*s\n", static_cast<int>(text.size()), text.data());
    return IDOK;
  }
};

void SaveAndLoadSettings(benchmark::State& state) {
  char pattern[] = "/var/tmp/quellvox-settings-bench-XXXXXX";
  if (!::mkdtemp(pattern)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string home = pattern;
  ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  RegisterRegistryAccess();
  RegisterVirtualStudio();
  studio_test::LoadDefaultDescription();

  SilentMessages messages;
  InstanceCore core("#1", "/opt/quellvox/bin/quellvox", messages);
  if (core.TitleEngines.Refresh() != S_OK || core.CaptureSources.Refresh() != S_OK) {
    state.SkipWithError("empty studio");
    return;
  }
  core.Settings.TitleEngineMask = (1u << core.TitleEngines.Count()) - 1;
  core.Settings.RegionName = "Lower third";
  core.Settings.CaptureSource = 0;
  for (VoiceOverLine& line : core.Settings.Lines) line = {true, {Stereo, 1}, {Left, 2}, -6};
  core.AutoStart = true;
  core.RunOnLogon = true;

  for (auto _ : state) {
    core.SaveSettings();
    core.LoadSettings();
  }
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
}
BENCHMARK(SaveAndLoadSettings)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace quellvox

BENCHMARK_MAIN();
