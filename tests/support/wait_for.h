// Waiting in tests for what other threads make happen: polls a condition
// until it holds or a bound of real time has passed. The bound only ends a
// test that would otherwise hang; it is set far beyond what a loaded machine
// needs, and no test relies on it for timing.
#pragma once

#include <chrono>
#include <thread>

namespace quellvox::test_support {

// Polls `done` every 200 us until it holds; false after `limit`.
template <class Done>
bool WaitFor(Done done, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace quellvox::test_support
