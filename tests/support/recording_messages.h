// The message boxes of an instance as tests see them: every box shown is
// recorded, the answers a user would give are queued beforehand, and
// `WhileOpen` runs once while the next box is "open" (as a user would click
// elsewhere meanwhile).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
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
    if (WhileOpen) {
      auto action = std::move(WhileOpen);
      WhileOpen = nullptr;
      action();
    }
    if (Answers.empty()) return (style & 0xF) == MB_YESNO ? IDNO : IDOK;
    const int32_t answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
  void BringToFront() override { ++BroughtToFront; }

  std::vector<Message> Shown;
  std::deque<int32_t> Answers;  // given in turn; once they run out, No to a question and OK to the rest
  std::function<void()> WhileOpen;
  int BroughtToFront = 0;
};

}  // namespace quellvox
