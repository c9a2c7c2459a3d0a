// The remote interface's token made by several at once: the program starting
// and quellvox-reg token show run side by side, and the server's threads
// read it while it is made. All of them end with the one token on disk.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "control/control_token.h"

namespace quellvox {
namespace {

TEST(ControlToken, MadeByManyAtOnceIsOneTokenThatEveryMakerHolds) {
  char pattern[] = "/tmp/quellvox-token-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  for (int round = 0; round < 20; ++round) {
    const std::string id = "#race" + std::to_string(round);
    constexpr int kMakers = 8;
    std::vector<std::string> tokens(kMakers);
    std::vector<std::string> errors(kMakers);
    std::atomic<int> ready{0};
    std::vector<std::thread> makers;
    for (int i = 0; i < kMakers; ++i) {
      makers.emplace_back([&, i] {
        ready.fetch_add(1);
        while (ready.load() < kMakers) std::this_thread::yield();
        errors[static_cast<size_t>(i)] = LoadOrCreateControlToken(id, tokens[static_cast<size_t>(i)]).Message();
      });
    }
    for (std::thread& t : makers) t.join();
    std::string onDisk;
    std::ifstream(ControlTokenPath(id)) >> onDisk;
    ASSERT_EQ(onDisk.size(), 32u) << id;
    for (int i = 0; i < kMakers; ++i) {
      EXPECT_EQ(tokens[static_cast<size_t>(i)], onDisk) << id << " maker " << i << ": " << errors[static_cast<size_t>(i)];
    }
  }
  // Nothing half-made is left beside the tokens.
  for (const auto& entry : std::filesystem::directory_iterator(dir + "/quellvox")) {
    EXPECT_EQ(entry.path().extension(), ".token") << entry.path();
  }
  ::unsetenv("XDG_CONFIG_HOME");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quellvox
