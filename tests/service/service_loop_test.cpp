// The service's event loop and the pieces of its life that need no
// process: the back-off between tries, the one-line messages.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

#include "service/service_instance.h"
#include "service/service_loop.h"

namespace quellvox {
namespace {

using namespace std::chrono_literals;

TEST(RetryBackoff, DoublesFromOneSecondToThirtyAndStartsOverAfterAReset) {
  RetryBackoff backoff(1000ms, 30000ms);
  const std::vector<int64_t> expected = {1000, 2000, 4000, 8000, 16000, 30000, 30000};
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(backoff.Next().count(), expected[i]) << "wait " << i;
  backoff.Reset();
  EXPECT_EQ(backoff.Next().count(), 1000);
}

TEST(OneLine, TurnsEveryRunOfLineBreaksIntoOneBlank) {
  EXPECT_EQ(OneLine("Need reinstall software !\r\nNo class for registry access."),
            "Need reinstall software ! No class for registry access.");
  EXPECT_EQ(OneLine("a\n\n\nb\rc"), "a b c");
  EXPECT_EQ(OneLine("plain"), "plain");
}

TEST(ServiceLoop, RunsTasksPostedFromManyThreadsOnItsOwnThreadEachOnce) {
  ServiceLoop loop;
  ASSERT_TRUE(loop.Ready());
  const std::thread::id loopThread = std::this_thread::get_id();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;
  int ran = 0;  // loop thread only
  int offThread = 0;
  std::atomic<int> refused{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&] {
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i) {
        // A full queue refuses: wait until the loop has drained some.
        while (!loop.Post([&] {
          ++ran;
          if (std::this_thread::get_id() != loopThread) ++offThread;
        })) {
          refused.fetch_add(1, std::memory_order_relaxed);
          std::this_thread::yield();
        }
      }
    });
  }
  loop.OnTick(1ms, [&] {
    if (ran == kThreads * kPerThread) loop.Quit(7);
  });
  go.store(true, std::memory_order_release);
  EXPECT_EQ(loop.Run(), 7);
  for (auto& p : posters) p.join();
  EXPECT_EQ(ran, kThreads * kPerThread);
  EXPECT_EQ(offThread, 0);
  // Tasks after the end are refused, not queued for nobody.
  EXPECT_FALSE(loop.Post([] {}));
}

TEST(ServiceLoop, RefusesPostsBeyondItsBound) {
  ServiceLoop loop;
  size_t accepted = 0;
  while (loop.Post([] {}) && accepted <= ServiceLoop::kMaxPostedTasks) ++accepted;
  EXPECT_EQ(accepted, ServiceLoop::kMaxPostedTasks);
}

TEST(ServiceLoop, DeliversTermAndHangupToItsHandlerInsteadOfEndingTheProcess) {
  ServiceLoop loop;
  std::vector<int> signals;
  loop.OnSignal([&](int s) {
    signals.push_back(s);
    if (s == SIGTERM) loop.Quit(0);
  });
  loop.Post([] {
    pthread_kill(pthread_self(), SIGHUP);
    pthread_kill(pthread_self(), SIGTERM);
  });
  EXPECT_EQ(loop.Run(), 0);
  EXPECT_EQ(signals, (std::vector<int>{SIGHUP, SIGTERM}));
}

}  // namespace
}  // namespace quellvox
