// SIGTERM, SIGINT and SIGHUP as the user's Exit: the signal handler only
// writes a byte to a socket; the user-interface thread reads it in its
// message loop and takes the Exit path from there.
//
// The handlers go in first thing in main, before Qt starts, so that a
// signal sent while the program is still starting is not lost and does not
// end it the hard way: the byte waits in the socket until the loop runs.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>

class QSocketNotifier;

namespace quellvox {

// Installs the handlers of `handled` and unblocks them (a launcher may have
// left them blocked). A signal that was ignored when the program started
// (nohup ignores SIGHUP) stays ignored. Once per process, before any thread
// is started; false when the socket could not be made (the default
// handling then stays).
bool InstallExitSignalHandlers(std::initializer_list<int> handled);

class ExitSignals {
 public:
  // Delivers the signals caught by the handlers above (installing them for
  // SIGTERM and SIGINT when that was not done yet); `onSignal` runs on the
  // user-interface thread, once per arrival of signals. A QCoreApplication
  // must exist. One object per process.
  explicit ExitSignals(std::function<void()> onSignal);
  // Restores the default handling.
  ~ExitSignals();
  ExitSignals(const ExitSignals&) = delete;
  ExitSignals& operator=(const ExitSignals&) = delete;

  bool Installed() const { return notifier_ != nullptr; }

  // Runs `onSignal` now when a signal arrived before the loop could see it
  // (for instance during start-up); true when it did.
  bool DeliverPending();

 private:
  std::function<void()> onSignal_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace quellvox
