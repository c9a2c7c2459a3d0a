// Pictures of the settings and statistics windows for the documentation,
// drawn on the virtual studio with a registry folder of their own:
//
//   quellvox-dialog-shots OUTPUT_FOLDER
//
// writes settings-default.png, settings-complete.png and
// statistics-running.png (the pipeline relaying into two engines for about
// twelve seconds). Without a platform chosen, Qt's offscreen one is used.
#include <QApplication>
#include <QEventLoop>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/core_settings_frame.h"
#include "app/instance_core.h"
#include "app/log_dlg.h"
#include "config/dialog/settings_dlg.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"
#include "platform/registry/registry_component.h"

namespace {

using namespace quellvox;

constexpr const char* kStudio = R"({
  "devices": [
    {"kind": 2, "name": "Studio A", "board": "SDI 1", "width": 640, "height": 360, "rate": 25, "channels": 8,
     "audio": [{"source": "floor", "seed": 3}, {"source": "speech", "seed": 1}, {"source": "speech", "seed": 6}]},
    {"kind": 2, "name": "Studio B", "board": "SDI 2", "width": 640, "height": 360, "rate": 25, "channels": 8},
    {"kind": 9, "name": "Replay", "board": "Network", "width": 640, "height": 360, "rate": 50, "channels": 8},
    {"kind": 12, "name": "Auxiliary"}
  ],
  "engines": [
    {"name": "Lower Thirds", "width": 640, "height": 360, "rate": 25, "stereoLines": 3},
    {"name": "Newsroom Graphics", "width": 640, "height": 360, "rate": 25, "stereoLines": 3},
    {"name": "Ticker", "width": 640, "height": 360, "rate": 25, "stereoLines": 1},
    {"name": "Sports Playout", "width": 640, "height": 360, "rate": 50, "stereoLines": 4}
  ]
})";

class SilentMessages final : public UserMessages {
 public:
  int32_t Show(std::string_view text, std::string_view, uint32_t) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    return IDOK;
  }
};

bool Save(QWidget& w, const std::filesystem::path& file) {
  const bool ok = w.grab().save(QString::fromStdString(file.string()));
  std::fprintf(stderr, "%s %s\n", ok ? "wrote" : "could not write", file.c_str());
  return ok;
}

void Pause(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

void CompleteConfiguration(InstanceCore& core) {
  core.RunOnLogon = true;
  core.AutoStart = true;
  DuckerSettings& s = core.Settings;
  s.CpuPriority = 1;
  s.CaptureSource = 0;
  s.DelayInFrames = 12;
  s.RegionName = "Voice-over relay";
  s.ShowOnStartType = 1;
  s.TitleEngineMask = 0b11;
  s.Lines[0] = {true, {Stereo, 1}, {Stereo, 0}, 0};
  s.Lines[1] = {true, {Left, 2}, {Stereo, 1}, -3};
  s.Lines[2] = {false, {Stereo, 3}, {Right, 2}, 6};
  s.UseCommon = true;
  s.CommonLine = {Stereo, 0};
  s.DecreaseDB = 18;
  s.NoiseLevelDB = 32;
  s.TimeoutInFrames = 30;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quellvox-dialog-shots OUTPUT_FOLDER\n");
    return 2;
  }
  const std::filesystem::path out = argv[1];
  std::filesystem::create_directories(out);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const std::filesystem::path config = std::filesystem::temp_directory_path() / "quellvox-dialog-shots";
  std::filesystem::remove_all(config);
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  QApplication app(argc, argv);

  RegisterRegistryAccess();
  RegisterVirtualStudio();
  std::string error;
  if (!studio_test::LoadDescriptionText(kStudio, &error)) {
    std::fprintf(stderr, "studio: %s\n", error.c_str());
    return 1;
  }
  SilentMessages messages;
  InstanceCore core("#1", "/usr/bin/quellvox", messages);
  if (core.TitleEngines.Refresh() != 0 || core.CaptureSources.Refresh() != 0) return 1;
  CoreSettingsFrame frame(core);
  bool ok = true;
  {
    CSettingsDlg dlg(frame, core.RunOnLogon, core.AutoStart, core.Settings, core.TitleEngines, core.CaptureSources,
                     false);
    dlg.show();
    Pause(200);
    ok = Save(dlg, out / "settings-default.png") && ok;
  }
  CompleteConfiguration(core);
  core.SaveSettings();
  {
    CSettingsDlg dlg(frame, core.RunOnLogon, core.AutoStart, core.Settings, core.TitleEngines, core.CaptureSources,
                     false);
    dlg.show();
    Pause(200);
    ok = Save(dlg, out / "settings-complete.png") && ok;
  }
  if (!core.StartPipeline()) return 1;
  {
    CLogDlg dlg(core, [&core] {
      core.StopPipeline();
      core.StartPipeline();
    });
    dlg.show();
    Pause(12'000);
    ok = Save(dlg, out / "statistics-running.png") && ok;
  }
  core.StopPipeline();
  std::filesystem::remove_all(config);
  return ok ? 0 : 1;
}
