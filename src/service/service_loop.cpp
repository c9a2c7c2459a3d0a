#include "service/service_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

namespace quellvox {

namespace {

sigset_t LoopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

ServiceLoop::ServiceLoop() {
  const sigset_t set = LoopSignals();
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  eventFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ServiceLoop::~ServiceLoop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    posted_.clear();
  }
  if (signalFd_ >= 0) ::close(signalFd_);
  if (eventFd_ >= 0) ::close(eventFd_);
  const sigset_t set = LoopSignals();
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool ServiceLoop::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || posted_.size() >= kMaxPostedTasks) return false;
    posted_.push_back(std::move(task));
  }
  const uint64_t one = 1;
  // A counter that is already non-zero wakes the loop as well; the write
  // cannot block (EFD_NONBLOCK) and only fails when the counter is full.
  [[maybe_unused]] const ssize_t n = ::write(eventFd_, &one, sizeof one);
  return true;
}

void ServiceLoop::Quit(int code) {
  quit_ = true;
  code_ = code;
}

void ServiceLoop::RunPosted() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(eventFd_, &count, sizeof count);
  std::deque<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks.swap(posted_);
  }
  for (auto& task : tasks) {
    if (quit_) break;
    if (task) task();
  }
}

int ServiceLoop::Run() {
  if (!Ready()) return code_;
  using Clock = std::chrono::steady_clock;
  Clock::time_point nextTick = Clock::now() + period_;
  while (!quit_) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now());
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {eventFd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(std::max<int64_t>(0, wait.count())));
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (onSignal_) onSignal_(static_cast<int>(info.ssi_signo));
        if (quit_) break;
      }
    }
    if (quit_) break;
    if (ready > 0 && (fds[1].revents & POLLIN) != 0) RunPosted();
    if (quit_) break;
    if (Clock::now() >= nextTick) {
      if (onTick_) onTick_();
      nextTick = Clock::now() + period_;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  posted_.clear();
  return code_;
}

}  // namespace quellvox
