// The application object: turns the command line into the instance
// identifier, holds the instance guard, creates the hidden main frame and
// undoes its own steps at the end. It also owns the About dialog.
//
// User-interface thread only; a QApplication must exist.
#pragma once

#include <memory>
#include <string>

#include "app/main_frame.h"
#include "app/system_tray.h"
#include "app/user_messages.h"
#include "platform/system/instance_guard.h"

namespace quellvox {

// Exit codes of the program.
inline constexpr int kExitOk = 0;                // Exit, a signal, or the identifier already runs
inline constexpr int kExitNoMedia = 1;           // no title engine or no capture source
inline constexpr int kExitBadCommandLine = 2;    // the command line does not begin with "#"

class CBrenmoorApp {
 public:
  // Sets the application's name (string 57344), identity and organisation.
  CBrenmoorApp(UserMessages& messages, NotificationArea& area, std::string programPath);
  ~CBrenmoorApp();
  CBrenmoorApp(const CBrenmoorApp&) = delete;
  CBrenmoorApp& operator=(const CBrenmoorApp&) = delete;

  // `commandLine`: everything after the program path, as one text. True:
  // the frame runs and the message loop may start; false: the process ends
  // through ExitInstance.
  bool InitInstance(const std::string& commandLine);
  // Takes the frame down if it still exists (the pipeline stopped, the icon
  // removed), closes the guard; returns the process's exit code.
  int ExitInstance();

  // ID_APP_ABOUT: the About dialog (template 100), modal over the frame.
  void OnAppAbout();

  // Exit by a signal or the session's end: the frame's Exit path, or, before
  // there is a frame, the end of start-up.
  void RequestExit();

  CMainFrame* MainFrame() { return frame_.get(); }

 private:
  UserMessages& messages_;
  NotificationArea& area_;
  std::string programPath_;
  // Held from the instance check until ExitInstance; not held (Fd -1)
  // when another process had it or none could be made.
  ::quellvox::InstanceGuard InstanceGuard;
  std::unique_ptr<CMainFrame> frame_;
  int exitCode_ = kExitOk;
  bool exitRequested_ = false;
  bool aboutOpen_ = false;
};

}  // namespace quellvox
