// The outcome of a control-plane call inside the program: ok, or a result
// code with the message the user is shown. Component interfaces keep their
// bare result codes; this is what the assembly, the store, the description
// readers, the encoder and the tools hand back to their callers.
#pragma once

#include <string>
#include <utility>

#include "platform/com/com.h"

namespace quellvox {

// A result code as the program prints it: the same bits unsigned in hex and
// signed in decimal, "0x80004005/-2147467259".
std::string ResultCodeText(HResult code);

class Status {
 public:
  Status() = default;  // ok

  static Status Ok() { return Status(); }
  // A failure with its message exactly as given; E_FAIL unless a code is named.
  static Status Failed(std::string message) { return Status(E_FAIL, std::move(message)); }
  static Status Failed(HResult code, std::string message) { return Status(code < 0 ? code : E_FAIL, std::move(message)); }
  // A component call that failed: "<what>, error = 0x%X/%d."
  static Status CallFailed(HResult code, const std::string& what);

  bool IsOk() const { return code_ >= 0; }
  HResult Code() const { return code_; }
  // Empty when ok.
  const std::string& Message() const { return message_; }

 private:
  Status(HResult code, std::string message) : code_(code), message_(std::move(message)) {}

  HResult code_ = S_OK;
  std::string message_;
};

}  // namespace quellvox
