// The hidden main frame: owner of everything that outlives one command (the
// instance with its catalogues, settings, pipeline and statistics, and the
// notification-area icon) and the target of every menu command. It is a
// window only so that dialogs and message boxes have an owner; it is never
// shown.
//
// User-interface thread only.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/instance_core.h"
#include "app/pipeline_state.h"
#include "app/system_tray.h"
#include "app/user_messages.h"

class QDialog;
class QTimer;

namespace quellvox {

class TrayControl;

// Timer 101: one tick a second (shown state, retry of the icon).
inline constexpr int kStateTimerPeriodMs = 1000;

class CMainFrame : public QWidget, public TrayOwner {
 public:
  CMainFrame(std::string instanceId, std::string programPath, UserMessages& messages, NotificationArea& area);
  // Stops the pipeline (every thread joined, every reference released),
  // then the members go in reverse order, the icon last.
  ~CMainFrame() override;
  CMainFrame(const CMainFrame&) = delete;
  CMainFrame& operator=(const CMainFrame&) = delete;

  // The frame's creation: both catalogues (either one empty shows its
  // message and fails the creation), the settings, the icon, the timer and
  // the automatic start. False: the program ends.
  bool OnCreate();
  // A tick of the timer `id`.
  void OnTimer(int id);
  // The frame's window goes: stops the timer, removes the icon.
  void OnDestroy();

  // Command handlers, without the enabling rule (OnCommand applies it).
  void OnStart();
  void OnStop();
  void OnRestart();  // also the statistics dialog's Restart button
  void OnSettings();
  void OnLog();

  // The enabling rule of a menu command at this moment.
  bool IsCommandEnabled(uint32_t id) const override;
  // A command from the menu or the double-click: ignored unless enabled.
  void OnCommand(uint32_t id) override;
  void BringToFront() override;
  void EnterHandler() override;
  void LeaveHandler() override;

  // Exit, from the menu, a signal or the session's end. An open dialog or
  // message box is closed first and its handler ends; then the window
  // goes (OnDestroy) and `WindowDestroyed` runs. Never takes the frame
  // down under a running handler.
  void RequestExit();
  bool ExitRequested() const { return exitRequested_; }

  void UpdateShownState(PipelineState state);
  bool CreateTrayIcon();

  // Shows string resource `id` as a message box captioned "Quellvox".
  int32_t ShowMessage(uint32_t id, uint32_t style);

  // The remote interface, or nullptr before the creation and after the end.
  TrayControl* Control() { return control_.get(); }
  InstanceCore& Core() { return core_; }
  const InstanceCore& Core() const { return core_; }
  CSystemTray& Tray() { return tray_; }
  const std::string& InstanceId() const { return core_.InstanceId; }

  // ID_APP_ABOUT goes to the application object.
  std::function<void()> AboutHandler;
  // Runs once the window is gone after an exit: the message loop may end.
  std::function<void()> WindowDestroyed;

  bool TrayCreated = false;
  int StateTimer = 0;
  PipelineState ShownState = PipelineState::NotInitialized;
  bool PipelineRunning = false;
  bool LogDialogOpen = false;
  bool SettingsDialogOpen = false;

 protected:
  void timerEvent(QTimerEvent* event) override;

 private:
  void FinishExit();

  CSystemTray tray_;
  InstanceCore core_;
  // The remote interface, listening from the creation to the window's end.
  std::unique_ptr<TrayControl> control_;
  UserMessages& messages_;
  int handlerDepth_ = 0;
  QTimer* historyTimer_ = nullptr;  // every FloorGainHistory::kPeriodMs: the strip's history
  bool exitRequested_ = false;
  bool destroyed_ = false;
};

// Makes `dialog` modal to the frame and places it in the middle of the
// screen: the frame is never shown, so the dialog is not placed over it.
// The icon's own window stays reachable, as the menu must be while the
// settings and statistics dialogs run.
void MakeModalToFrame(QWidget& dialog, CMainFrame& frame);

// Closes every open dialog, message box and menu of the program, each as
// its Cancel (or No) would: the way out of the modal loops for an exit.
void CloseOpenWindows();

// The settings dialog (template 321) and the statistics dialog (template
// 322) as the frame's Settings and Log commands run them, modally, with the
// frame as parent and data source. RunSettingsDialog returns IDOK when the
// dialog ended with OK.
int32_t RunSettingsDialog(CMainFrame& frame);
void RunLogDialog(CMainFrame& frame);

}  // namespace quellvox
