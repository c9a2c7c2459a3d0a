// What the service tells its service manager: ready, a one-line status, the
// watchdog's keep-alive and that it is stopping. The program speaks
// libsystemd's notification protocol; tests may record the calls instead.
#pragma once

#include <chrono>
#include <string>

namespace quellvox {

class ServiceNotifier {
 public:
  virtual ~ServiceNotifier() = default;
  // The settings are loaded: READY=1 with the first status line.
  virtual void Ready(const std::string& status) = 0;
  virtual void Status(const std::string& status) = 0;
  virtual void Watchdog() = 0;
  virtual void Stopping() = 0;
  // The keep-alive period the manager asked for (WatchdogSec=), or 0 when it
  // watches nothing.
  virtual std::chrono::microseconds WatchdogInterval() const = 0;
};

// sd_notify on $NOTIFY_SOCKET; without the variable every call does
// nothing. The interval is read once, at construction (sd_watchdog_enabled).
class SystemdNotifier final : public ServiceNotifier {
 public:
  SystemdNotifier();
  void Ready(const std::string& status) override;
  void Status(const std::string& status) override;
  void Watchdog() override;
  void Stopping() override;
  std::chrono::microseconds WatchdogInterval() const override { return watchdog_; }

 private:
  std::chrono::microseconds watchdog_{0};
};

}  // namespace quellvox
