#include "service/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace quellvox {

SystemdNotifier::SystemdNotifier() {
  uint64_t usec = 0;
  // 0: the variables stay, so that a reload of the program (none today)
  // could read them again; > 0: WATCHDOG_USEC is set for this process.
  if (sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec);
}

void SystemdNotifier::Ready(const std::string& status) {
  sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void SystemdNotifier::Status(const std::string& status) { sd_notify(0, ("STATUS=" + status).c_str()); }

void SystemdNotifier::Watchdog() { sd_notify(0, "WATCHDOG=1"); }

void SystemdNotifier::Stopping() { sd_notify(0, "STOPPING=1\nSTATUS=Stopped"); }

}  // namespace quellvox
