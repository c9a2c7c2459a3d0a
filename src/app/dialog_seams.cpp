// The settings and statistics dialogs as the frame's Settings and Log
// commands run them: modal to the frame, on the frame's instance.
#include "app/core_settings_frame.h"
#include "app/log_dlg.h"
#include "app/main_frame.h"
#include "config/dialog/settings_dlg.h"

namespace quellvox {

int32_t RunSettingsDialog(CMainFrame& frame) {
  InstanceCore& core = frame.Core();
  CoreSettingsFrame settingsFrame(core);
  CSettingsDlg dialog(settingsFrame, core.RunOnLogon, core.AutoStart, core.Settings, core.TitleEngines,
                      core.CaptureSources, frame.PipelineRunning, &frame);
  MakeModalToFrame(dialog, frame);
  return dialog.exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

void RunLogDialog(CMainFrame& frame) {
  // Restart is the frame's own command, run directly (no enabling rule);
  // the window stays open across it.
  CLogDlg dialog(frame.Core(), [&frame] { frame.OnRestart(); }, &frame);
  MakeModalToFrame(dialog, frame);
  dialog.exec();
}

}  // namespace quellvox
