// The event loop of the headless service: one thread (the instance's own)
// waits in poll() on a signal descriptor, an event descriptor for posted
// tasks and a period, and runs everything the instance does from there.
// Other threads (a control server, say) reach the instance only through
// Post.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace quellvox {

class ServiceLoop {
 public:
  // Tasks waiting to run at most; Post refuses beyond it, so that a flood
  // of requests cannot grow the queue without bound.
  static constexpr size_t kMaxPostedTasks = 256;

  // Blocks SIGTERM, SIGINT and SIGHUP in the calling thread and receives
  // them through a signal descriptor instead. Construct it before any other
  // thread starts: threads inherit the blocked set, so none of them takes a
  // signal meant for the loop.
  ServiceLoop();
  // Closes the descriptors and unblocks the signals again.
  ~ServiceLoop();
  ServiceLoop(const ServiceLoop&) = delete;
  ServiceLoop& operator=(const ServiceLoop&) = delete;

  // False when a descriptor could not be made; Run then returns at once.
  bool Ready() const { return signalFd_ >= 0 && eventFd_ >= 0; }

  // Any thread. Queues `task` to run on the loop's thread and wakes the
  // loop; false (task dropped) when kMaxPostedTasks wait already or the loop
  // has ended. Never blocks on the loop.
  bool Post(std::function<void()> task);

  // Loop thread (or before Run). `onSignal` gets SIGTERM, SIGINT and SIGHUP,
  // one call per signal delivered; `onTick` runs every `period`, measured
  // from the end of the previous tick.
  void OnSignal(std::function<void(int)> onSignal) { onSignal_ = std::move(onSignal); }
  void OnTick(std::chrono::milliseconds period, std::function<void()> onTick) {
    period_ = period;
    onTick_ = std::move(onTick);
  }

  // Runs until Quit; returns the code given to Quit. Posted tasks still
  // queued when it ends are dropped.
  int Run();
  // Loop thread. Ends Run after the current task.
  void Quit(int code);

 private:
  void RunPosted();

  int signalFd_ = -1;
  int eventFd_ = -1;
  bool quit_ = false;
  int code_ = 0;
  std::chrono::milliseconds period_{1000};
  std::function<void(int)> onSignal_;
  std::function<void()> onTick_;
  std::mutex mutex_;  // guards posted_ and closed_; never held while a task runs
  std::deque<std::function<void()>> posted_;
  bool closed_ = false;
};

}  // namespace quellvox
