#include "service/service_instance.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "config/settings.h"
#include "platform/system/debug_trace.h"

namespace quellvox {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

std::string Printf(const char* format, auto... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

// The texts of the tray program's messages 509 and 510, with the code.
std::string NoMediaReason(const char* what, HResult hr) {
  return Printf("There is no one %s!  hres=0x%X/%d", what, static_cast<uint32_t>(hr), static_cast<int32_t>(hr));
}

constexpr const char* kIncompleteReason =
    "the settings are incomplete (a title engine, a layer name, a capture source and a voice-over line in use are "
    "needed)";
constexpr const char* kNoPumpReason = "the audio pump could not be started";

}  // namespace

const char* InstancePhaseName(InstancePhase phase) {
  switch (phase) {
    case InstancePhase::Stopped:
      return "stopped";
    case InstancePhase::Waiting:
      return "waiting";
    case InstancePhase::Running:
      return "running";
  }
  return "stopped";
}

milliseconds RetryBackoff::Next() {
  next_ = next_.count() == 0 ? first_ : std::min(next_ * 2, max_);
  return next_;
}

int32_t ServiceMessages::Show(std::string_view text, std::string_view, uint32_t) {
  texts_.emplace_back(text);
  return IDOK;  // a question would wait for nobody: the service takes the default
}

std::string OneLine(std::string_view text) {
  std::string line;
  bool inBreak = false;
  for (const char c : text) {
    if (c == '\r' || c == '\n') {
      if (!inBreak) line += ' ';
      inBreak = true;
    } else {
      line += c;
      inBreak = false;
    }
  }
  return line;
}

ServiceInstance::ServiceInstance(std::string instanceId, std::string programPath, ServiceNotifier& notifier,
                                 ServiceTimings timings)
    : core_(std::move(instanceId), std::move(programPath), messages_),
      notifier_(notifier),
      timings_(timings),
      backoff_(timings.FirstRetry, timings.MaxRetry) {}

ServiceInstance::~ServiceInstance() { core_.StopPipeline(); }

void ServiceInstance::Begin(Clock::time_point now) {
  DebugTrace("Quellvox%s::Service start.\n", core_.InstanceId.c_str());
  Try(now);
  lastStatus_ = BuildStatusLine();
  notifier_.Ready(lastStatus_);
  {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    sharedStatus_ = lastStatus_;
  }
  nextKeepAlive_ = now;
  KeepAlive(now);
}

void ServiceInstance::Try(Clock::time_point now) {
  core_.StopPipeline();
  messages_.Clear();
  // Both catalogues again at every try: a device or an engine that appeared
  // since is taken up, and the settings are resolved against what exists now.
  HResult hr = core_.TitleEngines.Refresh();
  if (hr != 0) return WaitFor(NoMediaReason("title engine", hr), now);
  hr = core_.CaptureSources.Refresh();
  if (hr != 0) return WaitFor(NoMediaReason("capture source", hr), now);
  core_.LoadSettings();
  for (const std::string& warning : messages_.Texts()) {
    // The store's own problems; the try goes on with what was read.
    DebugTrace("Quellvox%s::Service settings - %s\n", core_.InstanceId.c_str(), OneLine(warning).c_str());
  }
  if (!IsComplete(core_.Settings)) return WaitFor(kIncompleteReason, now);

  messages_.Clear();
  if (!core_.StartPipeline()) {
    // The start's own message is its assembly's; none: the thread refused.
    const std::string reason = messages_.Texts().empty() ? kNoPumpReason : OneLine(messages_.Texts().back());
    core_.StopPipeline();  // releases what the failed start left behind
    return WaitFor(reason, now);
  }
  DebugTrace("Quellvox%s::Service running.\n", core_.InstanceId.c_str());
  lastTraced_.clear();
  backoff_.Reset();
  lastPasses_ = core_.Stats.PassCount.load(std::memory_order_relaxed);
  lastNewest_ = core_.Stats.NewestCapturePosition.load(std::memory_order_relaxed);
  lastPassTime_ = lastNewestTime_ = now;
  InstanceState next = state_;
  next.Phase = InstancePhase::Running;
  next.Reason.clear();
  next.FailedTries = 0;
  SetState(next);
}

void ServiceInstance::WaitFor(const std::string& reason, Clock::time_point now) {
  lastWait_ = backoff_.Next();
  nextTry_ = now + lastWait_;
  if (reason != lastTraced_) {
    DebugTrace("Quellvox%s::Service waiting - %s\n", core_.InstanceId.c_str(), reason.c_str());
    lastTraced_ = reason;
  }
  InstanceState next = state_;
  next.Phase = InstancePhase::Waiting;
  next.Reason = reason;
  ++next.FailedTries;
  SetState(next);
}

void ServiceInstance::RestartRelay(const std::string& why, Clock::time_point now) {
  InstanceState next = state_;
  ++next.Restarts;
  SetState(next);
  DebugTrace("Quellvox%s::Service restart %d - %s\n", core_.InstanceId.c_str(), next.Restarts, why.c_str());
  backoff_.Reset();
  Try(now);
}

void ServiceInstance::Tick(Clock::time_point now) {
  if (stopped_) return;
  if (held_) {
    KeepAlive(now);
    SendStatus();
    return;
  }
  if (state_.Phase == InstancePhase::Waiting && now >= nextTry_) Try(now);
  if (state_.Phase == InstancePhase::Running) WatchRelay(now);
  KeepAlive(now);
  SendStatus();
}

void ServiceInstance::WatchRelay(Clock::time_point now) {
  const uint32_t passes = core_.Stats.PassCount.load(std::memory_order_relaxed);
  if (passes != lastPasses_) {
    lastPasses_ = passes;
    lastPassTime_ = now;
    passedSinceKeepAlive_ = true;
  }
  const int64_t newest = core_.Stats.NewestCapturePosition.load(std::memory_order_relaxed);
  if (newest != lastNewest_) {
    lastNewest_ = newest;
    lastNewestTime_ = now;
  }
  const auto ms = [](Clock::duration d) { return static_cast<int32_t>(duration_cast<milliseconds>(d).count()); };
  if (now - lastPassTime_ >= timings_.StallTimeout) {
    RestartRelay(Printf("the audio pump made no pass for %d ms", ms(now - lastPassTime_)), now);
  } else if (now - lastNewestTime_ >= timings_.StallTimeout) {
    RestartRelay(Printf("the capture delivered no new frame for %d ms", ms(now - lastNewestTime_)), now);
  }
}

void ServiceInstance::KeepAlive(Clock::time_point now) {
  const auto interval = notifier_.WatchdogInterval();
  if (interval.count() <= 0 || now < nextKeepAlive_) return;
  // Only a pump that made passes since the last keep-alive earns the next:
  // a pump stuck so hard that even stopping it hangs gets the process
  // restarted by the manager. Waiting for a device is healthy.
  if (state_.Phase == InstancePhase::Running && !passedSinceKeepAlive_) return;
  notifier_.Watchdog();
  passedSinceKeepAlive_ = false;
  nextKeepAlive_ = now + interval / 2;
}

void ServiceInstance::Reload(Clock::time_point now) {
  if (stopped_) return;
  DebugTrace("Quellvox%s::Service reload.\n", core_.InstanceId.c_str());
  if (held_) {
    // Stopped by a remote Stop: the settings are taken, the relay stays off.
    messages_.Clear();
    core_.ReloadSettings();
    return;
  }
  if (state_.Phase != InstancePhase::Running) {
    // A change may be what the waiting try needed: try at once.
    backoff_.Reset();
    Try(now);
    SendStatus();
    return;
  }
  messages_.Clear();
  const InstanceCore::SettingsChange change = core_.ReloadSettings();
  for (const std::string& warning : messages_.Texts()) {
    DebugTrace("Quellvox%s::Service settings - %s\n", core_.InstanceId.c_str(), OneLine(warning).c_str());
  }
  if (!IsComplete(core_.Settings)) {
    core_.StopPipeline();
    backoff_.Reset();
    WaitFor(kIncompleteReason, now);
  } else if (change == InstanceCore::SettingsChange::Relay) {
    DebugTrace("Quellvox%s::Service reload - the relay restarts.\n", core_.InstanceId.c_str());
    backoff_.Reset();
    Try(now);
  } else if (change == InstanceCore::SettingsChange::Mixer) {
    DebugTrace("Quellvox%s::Service reload - the mixer takes the new settings.\n", core_.InstanceId.c_str());
    core_.PublishMixerSettings();
  }
  SendStatus();
}

void ServiceInstance::Stop() {
  if (stopped_) return;
  stopped_ = true;
  notifier_.Stopping();
  core_.StopPipeline();
  DebugTrace("Quellvox%s::Service stop.\n", core_.InstanceId.c_str());
  InstanceState next = state_;
  next.Phase = InstancePhase::Stopped;
  next.Reason.clear();
  SetState(next);
  std::lock_guard<std::mutex> lock(sharedMutex_);
  sharedStatus_ = "Stopped";
}

void ServiceInstance::Hold() {
  if (stopped_ || held_) return;
  held_ = true;
  core_.StopPipeline();
  DebugTrace("Quellvox%s::Service held - stopped by a remote command.\n", core_.InstanceId.c_str());
  InstanceState next = state_;
  next.Phase = InstancePhase::Stopped;
  next.Reason.clear();
  next.FailedTries = 0;
  SetState(next);
  SendStatus();
}

Status ServiceInstance::Resume(Clock::time_point now) {
  if (stopped_) return Status::Failed("the service is ending");
  held_ = false;
  backoff_.Reset();
  Try(now);
  SendStatus();
  if (state_.Phase == InstancePhase::Running || state_.Reason.empty()) return Status::Ok();
  return Status::Failed(state_.Reason);
}

std::string ServiceInstance::BuildStatusLine() const {
  switch (state_.Phase) {
    case InstancePhase::Running: {
      int64_t video = 0;
      for (int32_t i = 0; i < core_.Pipeline.TargetCount; ++i) {
        video += core_.Stats.SkipVideo[i].load(std::memory_order_relaxed);
      }
      return Printf("Running; skipped frames: audio %d, video %lld; relay restarts %d",
                    core_.Stats.SkipAudio.load(std::memory_order_relaxed), static_cast<long long>(video),
                    state_.Restarts);
    }
    case InstancePhase::Waiting:
      return "Waiting for a device: " + state_.Reason +
             Printf("; try %d, the next in %d s", state_.FailedTries,
                    static_cast<int32_t>((lastWait_.count() + 999) / 1000));
    case InstancePhase::Stopped:
      break;
  }
  return "Stopped";
}

void ServiceInstance::SendStatus() {
  const std::string line = BuildStatusLine();
  if (line == lastStatus_) return;
  lastStatus_ = line;
  notifier_.Status(line);
  std::lock_guard<std::mutex> lock(sharedMutex_);
  sharedStatus_ = line;
}

void ServiceInstance::SetState(const InstanceState& state) {
  state_ = state;
  std::lock_guard<std::mutex> lock(sharedMutex_);
  shared_ = state;
}

InstanceState ServiceInstance::State() const {
  std::lock_guard<std::mutex> lock(sharedMutex_);
  return shared_;
}

std::string ServiceInstance::StatusLine() const {
  std::lock_guard<std::mutex> lock(sharedMutex_);
  return sharedStatus_;
}

}  // namespace quellvox
