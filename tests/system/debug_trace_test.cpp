#include "platform/system/debug_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quellvox {
namespace {

// Standard error sent to a temporary file (appending, so that concurrent
// writes land whole) for the life of the fixture.
class DebugTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quellvox-trace-XXXXXX";
    const int fd = ::mkstemp(pattern);
    ASSERT_GE(fd, 0);
    path_ = pattern;
    ::close(fd);
    const int appending = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(appending, 0);
    savedStderr_ = ::dup(STDERR_FILENO);
    ::dup2(appending, STDERR_FILENO);
    ::close(appending);
  }
  void TearDown() override {
    ::dup2(savedStderr_, STDERR_FILENO);
    ::close(savedStderr_);
    ::unlink(path_.c_str());
  }
  std::string Written() const {
    std::string text;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return text;
  }
  std::string path_;
  int savedStderr_ = -1;
};

TEST_F(DebugTraceTest, WritesTheFormattedTextUnchanged) {
  DebugTrace("Quellvox%s::CopyAudio -- Skip#1 %lld frames  %lld --> %lld\n", "#1", 4LL, 100LL, 106LL);
  DebugTrace("Quellvox%s::failed 0x%X/%d\n", "#2", 0x80004005u, static_cast<int>(0x80004005u));
  DebugTrace("no line end");
  EXPECT_EQ(Written(),
            "Quellvox#1::CopyAudio -- Skip#1 4 frames  100 --> 106\n"
            "Quellvox#2::failed 0x80004005/-2147467259\n"
            "no line end");
}

TEST_F(DebugTraceTest, TracesOfManyThreadsNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string body(200, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) DebugTrace("Quellvox#%d::%s %d\n", t, body.c_str(), i);
    });
  }
  for (std::thread& th : threads) th.join();
  std::istringstream lines(Written());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_GE(line.size(), 214u) << line;
    const char c = line[12];
    EXPECT_EQ(line.substr(0, 12), "Quellvox#" + std::to_string(c - 'a') + "::") << line;
    EXPECT_EQ(line.substr(12, 201), std::string(200, c) + " ") << line;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace quellvox
