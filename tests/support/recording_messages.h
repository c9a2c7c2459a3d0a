// The message boxes of an instance as tests see them: every box shown is
// recorded, and the answers a user would give are queued beforehand.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "app/user_messages.h"

namespace quellvox {

class RecordingMessages final : public UserMessages {
 public:
  struct Message {
    std::string Text;
    std::string Caption;
    uint32_t Style = 0;
  };
  int32_t Show(std::string_view text, std::string_view caption, uint32_t style) override {
    Shown.push_back({std::string(text), std::string(caption), style});
    if (Answers.empty()) return IDOK;
    const int32_t answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
  std::vector<Message> Shown;
  std::deque<int32_t> Answers;  // given in turn; IDOK once they run out
};

}  // namespace quellvox
