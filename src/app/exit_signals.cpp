#include "app/exit_signals.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <vector>

#include "platform/com/com.h"

namespace quellvox {

namespace {

// [0] written by the handler, [1] read by the user-interface thread.
int signalPipe[2] = {-1, -1};
// The signals whose handlers are ours, for the restore at the end.
std::vector<int> handledSignals;

extern "C" void OnExitSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // A load or save that waits for a store held by another process gives up
  // now, so that the user-interface thread gets to the exit at once.
  AbandonComponentWaits();
  // Async-signal-safe; a full socket already holds a pending exit.
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[0], &byte, 1);
  errno = saved;
}

void SetHandler(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(signal, &action, nullptr);
}

// Empties the socket; true when it held anything.
bool Drain() {
  bool any = false;
  char bytes[16];
  while (::read(signalPipe[1], bytes, sizeof bytes) > 0) any = true;
  return any;
}

}  // namespace

bool InstallExitSignalHandlers(std::initializer_list<int> handled) {
  if (signalPipe[0] >= 0) return true;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
    signalPipe[0] = signalPipe[1] = -1;
    return false;
  }
  sigset_t unblock;
  sigemptyset(&unblock);
  for (const int signal : handled) {
    struct sigaction old {};
    ::sigaction(signal, nullptr, &old);
    // The terminal's hang-up ignored on purpose (nohup) stays ignored.
    if (signal == SIGHUP && old.sa_handler == SIG_IGN) continue;
    SetHandler(signal, OnExitSignal);
    handledSignals.push_back(signal);
    sigaddset(&unblock, signal);
  }
  ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  return true;
}

ExitSignals::ExitSignals(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
  if (!InstallExitSignalHandlers({SIGTERM, SIGINT})) return;
  notifier_ = std::make_unique<QSocketNotifier>(signalPipe[1], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
    if (Drain() && onSignal_) onSignal_();
  });
}

bool ExitSignals::DeliverPending() {
  if (!notifier_ || !Drain()) return false;
  if (onSignal_) onSignal_();
  return true;
}

ExitSignals::~ExitSignals() {
  if (!notifier_) return;
  for (const int signal : handledSignals) SetHandler(signal, SIG_DFL);
  handledSignals.clear();
  notifier_.reset();
  ::close(signalPipe[0]);
  ::close(signalPipe[1]);
  signalPipe[0] = signalPipe[1] = -1;
}

}  // namespace quellvox
