// Messages the user must see: the application shows them as message boxes,
// tests record them.
#pragma once

#include <cstdint>
#include <string_view>

namespace quellvox {

inline constexpr uint32_t MB_OK = 0x0;
inline constexpr uint32_t MB_YESNO = 0x4;
inline constexpr uint32_t MB_ICONERROR = 0x10;
inline constexpr uint32_t MB_ICONEXCLAMATION = 0x30;
inline constexpr uint32_t MB_TOPMOST = 0x40000;
inline constexpr int32_t IDOK = 1;
inline constexpr int32_t IDYES = 6;
inline constexpr int32_t IDNO = 7;

inline constexpr const char* kProgramName = "Quellvox";

class UserMessages {
 public:
  virtual ~UserMessages() = default;
  // Shows `text` with `caption` and the box style; returns the answer (IDOK, IDYES, IDNO).
  virtual int32_t Show(std::string_view text, std::string_view caption, uint32_t style) = 0;
  // Brings the box that is open now, if any, to the front: a click on the
  // notification-area icon while a command waits for the user's answer.
  virtual void BringToFront() {}
};

}  // namespace quellvox
