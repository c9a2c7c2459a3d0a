#include "platform/system/thread_priority.h"

#include <pthread.h>
#include <sched.h>

#include <gtest/gtest.h>

#include <thread>

namespace quellvox {
namespace {

TEST(ThreadPriorityFor, MapsUnknownValuesToHighest) {
  EXPECT_EQ(ThreadPriorityFor(0), 0);
  EXPECT_EQ(ThreadPriorityFor(1), 1);
  EXPECT_EQ(ThreadPriorityFor(2), 2);
  EXPECT_EQ(ThreadPriorityFor(3), 15);
  EXPECT_EQ(ThreadPriorityFor(7), 2);
  EXPECT_EQ(ThreadPriorityFor(-1), 2);
}

// Whether or not the system grants the real-time class, going back to
// Normal leaves the thread in the ordinary class.
TEST(ApplyThreadPriority, NormalAfterRealtimeReturnsToTheOrdinaryClass) {
  int policy = -1;
  std::thread t([&] {
    ApplyThreadPriority(3);
    ApplyThreadPriority(0);
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
  });
  t.join();
  EXPECT_EQ(policy, SCHED_OTHER);
}

}  // namespace
}  // namespace quellvox
