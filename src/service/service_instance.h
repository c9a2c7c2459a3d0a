// One instance run as a service, with nobody watching: it loads the
// settings and starts the relay whatever AutoStart says; settings that are
// incomplete or an assembly that fails make it wait and try again with a
// bounded back-off, so that a device that appears later is taken up by
// itself; while the relay runs it watches the capture and the pump and
// restarts the relay when either stops; a reload hands the mixer part to
// the running pump or restarts the relay when the relay part changed.
// Pipeline control itself is InstanceCore's, as in the tray program.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "app/instance_core.h"
#include "app/user_messages.h"
#include "service/service_notifier.h"

namespace quellvox {

enum class InstancePhase : int32_t {
  Stopped,  // before the first try and after Stop
  Waiting,  // the relay does not run; Reason says why, another try is due
  Running,  // the relay runs
};

const char* InstancePhaseName(InstancePhase phase);  // "stopped", "waiting", "running"

struct InstanceState {
  InstancePhase Phase = InstancePhase::Stopped;
  std::string Reason;    // while waiting: the message of the last try, one line
  int32_t Restarts = 0;  // relay restarts after a stalled capture or pump
  int32_t FailedTries = 0;  // tries in a row that ended waiting; 0 once running
};

struct ServiceTimings {
  std::chrono::milliseconds FirstRetry{1000};  // the wait after the first failed try
  std::chrono::milliseconds MaxRetry{30000};   // the wait doubles up to this
  // A capture without a new frame, or a pump without a pass, for this long
  // restarts the relay.
  std::chrono::milliseconds StallTimeout{5000};
};

// The waits between tries: the first, then doubled after each further
// failure up to the maximum; Reset starts again from the first.
class RetryBackoff {
 public:
  RetryBackoff(std::chrono::milliseconds first, std::chrono::milliseconds max) : first_(first), max_(max) {}
  std::chrono::milliseconds Next();
  void Reset() { next_ = std::chrono::milliseconds{0}; }

 private:
  std::chrono::milliseconds first_;
  std::chrono::milliseconds max_;
  std::chrono::milliseconds next_{0};
};

// The messages InstanceCore would show in a box: kept as text, since nobody
// would see a box. The text of the last Show is the reason of a failed try.
class ServiceMessages final : public UserMessages {
 public:
  int32_t Show(std::string_view text, std::string_view caption, uint32_t style) override;
  void Clear() { texts_.clear(); }
  const std::vector<std::string>& Texts() const { return texts_; }

 private:
  std::vector<std::string> texts_;
};

// `text` on one line: every run of CR and LF becomes one blank.
std::string OneLine(std::string_view text);

class ServiceInstance {
 public:
  using Clock = std::chrono::steady_clock;

  ServiceInstance(std::string instanceId, std::string programPath, ServiceNotifier& notifier,
                  ServiceTimings timings = {});
  ~ServiceInstance();  // stops the relay
  ServiceInstance(const ServiceInstance&) = delete;
  ServiceInstance& operator=(const ServiceInstance&) = delete;

  // Every call below runs on the instance's own thread (the service loop).

  // The first try; tells the manager READY=1 once the settings are loaded.
  void Begin(Clock::time_point now);
  // Called often (every 250 ms by the program): a try when one is due, the
  // stall watch, the watchdog's keep-alive, the status line when it changed.
  void Tick(Clock::time_point now);
  // The settings again from the store (SIGHUP).
  void Reload(Clock::time_point now);
  // Stops the relay (joins every thread); nothing is tried after it.
  void Stop();
  // A remote Stop: the relay stops and nothing is tried until Resume.
  void Hold();
  // A remote Start or Restart: a try now (the relay restarts when it runs),
  // and the usual retries after it. Fails with the reason when it ended
  // waiting (a waiting state without a reason counts as no failure).
  Status Resume(Clock::time_point now);

  // Any thread: a copy of the state, taken under a lock that only this
  // object's own updates hold, and never on a pipeline thread.
  InstanceState State() const;
  // The status line as the manager last received it.
  std::string StatusLine() const;

  InstanceCore& Core() { return core_; }

 private:
  void Try(Clock::time_point now);
  void WaitFor(const std::string& reason, Clock::time_point now);
  void RestartRelay(const std::string& why, Clock::time_point now);
  void WatchRelay(Clock::time_point now);
  void KeepAlive(Clock::time_point now);
  void SendStatus();
  std::string BuildStatusLine() const;
  void SetState(const InstanceState& state);

  ServiceMessages messages_;
  InstanceCore core_;
  ServiceNotifier& notifier_;
  const ServiceTimings timings_;
  RetryBackoff backoff_;

  InstanceState state_;  // this thread's copy; State() reads shared_
  mutable std::mutex sharedMutex_;
  InstanceState shared_;
  std::string sharedStatus_;

  bool stopped_ = false;
  bool held_ = false;  // stopped by a remote Stop; Resume ends it
  Clock::time_point nextTry_{};
  std::chrono::milliseconds lastWait_{0};
  std::string lastTraced_;  // the waiting reason traced last; cleared once running
  std::string lastStatus_;
  // The stall watch: the values at their last change, and when.
  uint32_t lastPasses_ = 0;
  Clock::time_point lastPassTime_{};
  int64_t lastNewest_ = 0;
  Clock::time_point lastNewestTime_{};
  bool passedSinceKeepAlive_ = false;
  Clock::time_point nextKeepAlive_{};
};

}  // namespace quellvox
