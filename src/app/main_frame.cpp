#include "app/main_frame.h"

#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <QTimerEvent>
#include <chrono>
#include <thread>
#include <utility>

#include "app/load_res_string.h"
#include "app/tray_control.h"
#include "platform/system/debug_trace.h"
#include "res/resource_ids.h"

namespace quellvox {

namespace {

// Set while a state update runs, for the whole process: a tick that
// arrives during one (from a nested message loop) leaves it alone.
bool stateUpdateInProgress = false;

constexpr uint32_t kErrorBox = MB_ICONERROR | MB_TOPMOST;               // 0x00040010
constexpr uint32_t kQuestionBox = MB_YESNO | MB_ICONEXCLAMATION | MB_TOPMOST;  // 0x00040034
constexpr uint32_t kWarningBox = MB_ICONEXCLAMATION;                     // 0x30

void PauseAfterSettingsChange() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

}  // namespace

CMainFrame::CMainFrame(std::string instanceId, std::string programPath, UserMessages& messages, NotificationArea& area)
    : tray_(area), core_(std::move(instanceId), std::move(programPath), messages), messages_(messages) {
  tray_.SetOwner(this);
  setWindowTitle(QString::fromUtf8(LoadResString(IDR_MAINFRAME).c_str()));
}

CMainFrame::~CMainFrame() {
  if (!destroyed_) OnDestroy();
  core_.StopPipeline();
}

bool CMainFrame::OnCreate() {
  EnterHandler();
  struct Leave {
    CMainFrame* frame;
    ~Leave() { frame->LeaveHandler(); }
  } leave{this};

  const char* id = core_.InstanceId.c_str();
  HResult hr = core_.TitleEngines.Refresh();
  if (hr != S_OK) {
    DebugTrace("Quellvox%s::OnCreate ERROR - No any title engine  hres=0x%X/%d.\n", id, hr, hr);
    ShowMessage(IDS_NO_TITLE_ENGINE, kErrorBox);
    return false;
  }
  hr = core_.CaptureSources.Refresh();
  if (hr != S_OK) {
    DebugTrace("Quellvox%s::OnCreate ERROR - No any capture  hres=0x%X/%d.\n", id, hr, hr);
    ShowMessage(IDS_NO_CAPTURE_SOURCE, kErrorBox);
    return false;
  }
  core_.LoadSettings();
  control_ = std::make_unique<TrayControl>(*this);
  control_->Start();
  TrayCreated = CreateTrayIcon();
  StateTimer = startTimer(kStateTimerPeriodMs);
  // The statistics window's history is sampled here, window open or not.
  historyTimer_ = new QTimer(this);
  connect(historyTimer_, &QTimer::timeout, this, [this] { core_.SampleStripHistory(); });
  historyTimer_->start(static_cast<int>(FloorGainHistory::kPeriodMs));
  if (core_.AutoStart && !exitRequested_) OnStart();
  return true;
}

bool CMainFrame::CreateTrayIcon() {
  if (!tray_.AddIcon(kProgramName)) return false;
  tray_.SetDefaultItem(0, true);
  return true;
}

void CMainFrame::timerEvent(QTimerEvent* event) {
  OnTimer(event->timerId());
  QWidget::timerEvent(event);
}

void CMainFrame::OnTimer(int id) {
  if (id == 0 || id != StateTimer) return;
  if (!stateUpdateInProgress) {
    stateUpdateInProgress = true;
    const PipelineState wanted = PipelineRunning ? PipelineState::Running : PipelineState::Stopped;
    if (wanted != ShownState) UpdateShownState(wanted);
    stateUpdateInProgress = false;
  }
  if (!TrayCreated) TrayCreated = CreateTrayIcon();
}

void CMainFrame::UpdateShownState(PipelineState state) {
  if (!TrayCreated) return;
  ShownState = state;
  const std::string text = LoadResString(StateStringId(state));
  const std::string tooltip = FormatTooltip(kProgramName, core_.InstanceId, text);
  if (tray_.IsAdded()) tray_.SetTipText(tooltip);
  tray_.SetStateIcon(static_cast<int32_t>(state));
}

void CMainFrame::OnDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  control_.reset();  // every server thread joined before the pipeline and the icon go
  if (StateTimer != 0) {
    killTimer(StateTimer);
    StateTimer = 0;
  }
  if (historyTimer_ != nullptr) historyTimer_->stop();
  tray_.RemoveIcon();
}

int32_t CMainFrame::ShowMessage(uint32_t id, uint32_t style) {
  return messages_.Show(LoadResString(id), kProgramName, style);
}

// ---------------------------------------------------------------------------
// Commands

bool CMainFrame::IsCommandEnabled(uint32_t id) const {
  if (exitRequested_) return false;
  switch (id) {
    case ID_FILE_START: return !PipelineRunning;
    case ID_FILE_STOP:
    case ID_FILE_RESTART:
    case ID_FILE_LOG: return PipelineRunning;
    case ID_FILE_SETTINGS:
    case ID_APP_ABOUT:
    case ID_APP_EXIT: return true;
    default: return false;
  }
}

void CMainFrame::OnCommand(uint32_t id) {
  if (!IsCommandEnabled(id)) return;
  EnterHandler();
  switch (id) {
    case ID_FILE_START: OnStart(); break;
    case ID_FILE_STOP: OnStop(); break;
    case ID_FILE_RESTART: OnRestart(); break;
    case ID_FILE_LOG: OnLog(); break;
    case ID_FILE_SETTINGS: OnSettings(); break;
    case ID_APP_ABOUT:
      if (AboutHandler) AboutHandler();
      break;
    case ID_APP_EXIT: RequestExit(); break;
    default: break;
  }
  LeaveHandler();
}

void CMainFrame::OnStart() {
  DebugTrace("Quellvox%s::Menu File->Start.\n", core_.InstanceId.c_str());
  if (SettingsDialogOpen) {
    ShowMessage(IDS_CLOSE_CONFIGURATION, kWarningBox);
    return;
  }
  tray_.ClicksEnabled = false;
  bool offer = false;
  if (IsComplete(core_.Settings)) {
    if (core_.StartPipeline()) {
      PipelineRunning = true;
    } else {
      core_.StopPipeline();  // releases what the failed start left behind; its message was shown
    }
  } else {
    offer = ShowMessage(IDS_WRONG_CONFIGURATION, kQuestionBox) == IDYES;
  }
  tray_.ClicksEnabled = true;
  if (offer && !SettingsDialogOpen && !exitRequested_) OnSettings();
}

void CMainFrame::OnStop() {
  DebugTrace("Quellvox%s::Menu File->Stop.\n", core_.InstanceId.c_str());
  tray_.ClicksEnabled = false;
  core_.StopPipeline();
  PipelineRunning = false;
  tray_.ClicksEnabled = true;
}

void CMainFrame::OnRestart() {
  DebugTrace("Quellvox%s::Menu File->Restart.\n", core_.InstanceId.c_str());
  tray_.ClicksEnabled = false;
  core_.StopPipeline();
  PipelineRunning = false;
  PauseAfterSettingsChange();
  if (IsComplete(core_.Settings) && !exitRequested_) {
    if (core_.StartPipeline()) {
      PipelineRunning = true;
    } else {
      core_.StopPipeline();
    }
  }
  tray_.ClicksEnabled = true;
}

void CMainFrame::OnSettings() {
  if (SettingsDialogOpen || exitRequested_) return;
  SettingsDialogOpen = true;
  DebugTrace("Quellvox%s::Menu File->Settings.\n", core_.InstanceId.c_str());
  // The dialog opens on what is stored: a change another program made
  // meanwhile is not overwritten by values the operator never saw.
  if (core_.TakeStoreChanges()) core_.PublishMixerSettings();
  if (RunSettingsDialog(*this) == IDOK && !exitRequested_) {
    core_.SaveSettings();
    core_.PublishMixerSettings();
    PauseAfterSettingsChange();
  }
  SettingsDialogOpen = false;
}

void CMainFrame::OnLog() {
  if (!PipelineRunning || LogDialogOpen || exitRequested_) return;
  LogDialogOpen = true;
  RunLogDialog(*this);
  LogDialogOpen = false;
}

void CMainFrame::BringToFront() {
  QWidget* modal = QApplication::activeModalWidget();
  if (modal != nullptr) {
    modal->raise();
    modal->activateWindow();
  }
  messages_.BringToFront();
}

// ---------------------------------------------------------------------------
// Exit

void CMainFrame::EnterHandler() { ++handlerDepth_; }

void CMainFrame::LeaveHandler() {
  if (--handlerDepth_ == 0 && exitRequested_ && !destroyed_) {
    // From the message loop, once every handler's frames are gone.
    QMetaObject::invokeMethod(this, [this] { FinishExit(); }, Qt::QueuedConnection);
  }
}

void CMainFrame::RequestExit() {
  if (exitRequested_) return;
  exitRequested_ = true;
  if (handlerDepth_ > 0) {
    // A command waits in a dialog, a message box or the menu: close them;
    // the last handler to end finishes the exit (LeaveHandler).
    CloseOpenWindows();
    return;
  }
  QMetaObject::invokeMethod(this, [this] { FinishExit(); }, Qt::QueuedConnection);
}

void CMainFrame::FinishExit() {
  if (destroyed_ || handlerDepth_ > 0) return;
  OnDestroy();
  if (WindowDestroyed) WindowDestroyed();
}

// ---------------------------------------------------------------------------

void MakeModalToFrame(QWidget& dialog, CMainFrame& frame) {
  if (dialog.parentWidget() != &frame) dialog.setParent(&frame, dialog.windowFlags() | Qt::Dialog);
  dialog.setWindowModality(Qt::WindowModal);
  dialog.adjustSize();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    QRect frameRect = dialog.frameGeometry();
    frameRect.moveCenter(area.center());
    dialog.move(frameRect.topLeft());
  }
}

void CloseOpenWindows() {
  while (QWidget* popup = QApplication::activePopupWidget()) {
    popup->close();
    if (QApplication::activePopupWidget() == popup) break;
  }
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (dialog != nullptr && dialog->isVisible()) dialog->reject();
  }
}

}  // namespace quellvox
