#include "platform/system/module_path.h"

#include <gtest/gtest.h>

#include <string>

namespace quellvox {
namespace {

TEST(ModulePath, NamesTheRunningProgramByItsFullPath) {
  const std::string path = ModulePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(path.substr(path.rfind('/') + 1), "system_test");
}

}  // namespace
}  // namespace quellvox
