#include "app/exit_signals.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

#include "platform/com/com.h"

namespace quellvox {

namespace {

// [0] written by the handler, [1] read by the user-interface thread.
int signalPipe[2] = {-1, -1};

extern "C" void OnExitSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // A load or save that waits for a store held by another process gives up
  // now, so that the user-interface thread gets to the exit at once.
  AbandonComponentWaits();
  // Async-signal-safe; a full pipe already holds a pending exit.
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

}  // namespace

ExitSignals::ExitSignals(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(signalPipe[1], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
    char bytes[16];
    while (::read(signalPipe[1], bytes, sizeof bytes) > 0) {
    }
    if (onSignal_) onSignal_();
  });
  SetHandler(SIGTERM, OnExitSignal);
  SetHandler(SIGINT, OnExitSignal);
}

ExitSignals::~ExitSignals() {
  if (!notifier_) return;
  SetHandler(SIGTERM, SIG_DFL);
  SetHandler(SIGINT, SIG_DFL);
  notifier_.reset();
  ::close(signalPipe[0]);
  ::close(signalPipe[1]);
  signalPipe[0] = signalPipe[1] = -1;
}

}  // namespace quellvox
