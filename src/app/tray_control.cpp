#include "app/tray_control.h"

#include <QApplication>
#include <QMessageBox>

#include "app/load_res_string.h"
#include "app/main_frame.h"
#include "res/resource_ids.h"

namespace quellvox {

TrayControl::TrayControl(CMainFrame& frame) : frame_(frame), server_(*this) {}

TrayControl::~TrayControl() { server_.Stop(); }

void TrayControl::Start() { server_.Start(ReadControlSettings(frame_.Core().InstanceKeyPath)); }

void TrayControl::Post(std::function<void()> task) {
  // A queued call on the frame: it runs from the frame's thread's event
  // loop, also inside a dialog's modal loop, and is dropped with the frame.
  QMetaObject::invokeMethod(&frame_, std::move(task), Qt::QueuedConnection);
}

InstanceCore& TrayControl::Core() { return frame_.Core(); }

bool TrayControl::PipelineRunning() const { return frame_.PipelineRunning; }

std::string TrayControl::StateText() const {
  return LoadResString(StateStringId(frame_.PipelineRunning ? PipelineState::Running : PipelineState::Stopped));
}

ControlAnswer TrayControl::CheckCommand(ControlCommand command) const {
  if (frame_.ExitRequested()) return {409, "The program is ending."};
  // A message box waits for the operator's answer inside a command: nothing
  // may change under it.
  if (qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr) {
    return {409, "A message box of the tray program waits for an answer; commands wait until it is closed."};
  }
  switch (command) {
    case ControlCommand::Start:
      if (frame_.SettingsDialogOpen) return {409, LoadResString(IDS_CLOSE_CONFIGURATION)};
      if (!frame_.IsCommandEnabled(ID_FILE_START)) return {409, "Start is not enabled: the relay runs."};
      if (!IsComplete(frame_.Core().Settings)) return {409, LoadResString(IDS_WRONG_CONFIGURATION)};
      return {};
    case ControlCommand::Stop:
      if (!frame_.IsCommandEnabled(ID_FILE_STOP)) return {409, "Stop is not enabled: the relay is stopped."};
      return {};
    case ControlCommand::Restart:
      if (!frame_.IsCommandEnabled(ID_FILE_RESTART)) return {409, "Restart is not enabled: the relay is stopped."};
      return {};
    case ControlCommand::ResetSkips:
      // The statistics dialog's Reset: there only while the relay runs.
      if (!frame_.IsCommandEnabled(ID_FILE_LOG)) return {409, "Reset is not enabled: the relay is stopped."};
      return {};
    case ControlCommand::ChangeSettings:
      if (frame_.SettingsDialogOpen) return {409, LoadResString(IDS_CLOSE_CONFIGURATION)};
      return {};
  }
  return {409, "Unknown command."};
}

ControlAnswer TrayControl::RunCommand(ControlCommand command) {
  frame_.EnterHandler();
  struct Leave {
    CMainFrame& frame;
    ~Leave() { frame.LeaveHandler(); }
  } leave{frame_};
  ControlAnswer answer;
  InstanceCore& core = frame_.Core();
  switch (command) {
    case ControlCommand::Start:
    case ControlCommand::Restart: {
      if (command == ControlCommand::Restart) {
        core.StopPipeline();
        frame_.PipelineRunning = false;
        if (!IsComplete(core.Settings)) {
          answer = {409, LoadResString(IDS_WRONG_CONFIGURATION)};
          break;
        }
      }
      if (const Status started = core.StartPipelineQuietly(); started.IsOk()) {
        frame_.PipelineRunning = true;
      } else {
        core.StopPipeline();  // releases what the failed start left behind
        answer = {409, started.Message()};
      }
      break;
    }
    case ControlCommand::Stop: frame_.OnStop(); break;
    case ControlCommand::ResetSkips:
    case ControlCommand::ChangeSettings: break;
  }
  const PipelineState wanted = frame_.PipelineRunning ? PipelineState::Running : PipelineState::Stopped;
  if (wanted != frame_.ShownState) frame_.UpdateShownState(wanted);
  return answer;
}

}  // namespace quellvox
