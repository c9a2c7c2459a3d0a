#include "platform/media/studio_clock.h"

#include <atomic>
#include <chrono>

namespace quellvox::studio {

namespace {

std::chrono::steady_clock::time_point Epoch() {
  static const std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
  return epoch;
}

// Relaxed is enough for both: the clock value carries no other data, and
// every reader only needs some recent value, never more than the newest.
std::atomic<bool> g_manual{false};
std::atomic<int64_t> g_manualNow{0};

}  // namespace

int64_t ClockNow() {
  if (g_manual.load(std::memory_order_acquire)) return g_manualNow.load(std::memory_order_acquire);
  const auto elapsed = std::chrono::steady_clock::now() - Epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

void ClockUseManual(int64_t time100ns) {
  g_manualNow.store(time100ns, std::memory_order_release);
  g_manual.store(true, std::memory_order_release);
}

void ClockUseSteady() {
  Epoch();
  g_manual.store(false, std::memory_order_release);
}

bool ClockIsManual() { return g_manual.load(std::memory_order_acquire); }

void ClockSet(int64_t time100ns) {
  int64_t cur = g_manualNow.load(std::memory_order_relaxed);
  while (time100ns > cur && !g_manualNow.compare_exchange_weak(cur, time100ns, std::memory_order_acq_rel)) {
  }
}

}  // namespace quellvox::studio
