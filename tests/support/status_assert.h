// A Status in a test's assertion: ASSERT_TRUE(IsOk(call())) prints the
// failure's message and code when it is not ok.
#pragma once

#include <gtest/gtest.h>

#include "platform/com/status.h"

namespace quellvox::test_support {

inline ::testing::AssertionResult IsOk(const Status& status) {
  if (status.IsOk()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << status.Message() << " (" << ResultCodeText(status.Code()) << ")";
}

}  // namespace quellvox::test_support
