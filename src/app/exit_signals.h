// SIGTERM and SIGINT as the user's Exit: the signal handler only writes a
// byte to a pipe; the user-interface thread reads it in its message loop
// and takes the Exit path from there.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace quellvox {

class ExitSignals {
 public:
  // Installs the handlers; `onSignal` runs on the user-interface thread,
  // once per signal received. One object per process.
  explicit ExitSignals(std::function<void()> onSignal);
  // Restores the default handling.
  ~ExitSignals();
  ExitSignals(const ExitSignals&) = delete;
  ExitSignals& operator=(const ExitSignals&) = delete;

  bool Installed() const { return notifier_ != nullptr; }

 private:
  std::function<void()> onSignal_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace quellvox
