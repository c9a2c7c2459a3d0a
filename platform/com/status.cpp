#include "platform/com/status.h"

#include <cstdint>
#include <cstdio>

namespace quellvox {

std::string ResultCodeText(HResult code) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%X/%d", static_cast<unsigned>(static_cast<uint32_t>(code)), code);
  return text;
}

Status Status::CallFailed(HResult code, const std::string& what) {
  return Failed(code, what + ", error = " + ResultCodeText(code) + ".");
}

}  // namespace quellvox
