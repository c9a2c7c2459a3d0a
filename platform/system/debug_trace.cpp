#include "platform/system/debug_trace.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace quellvox {

void DebugTrace(const char* format, ...) {
  // vsnprintf into a stack buffer: no heap, no lock, and the whole line
  // leaves in one write so that traces of several threads never interleave.
  char line[4096];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  const int savedErrno = errno;
  ssize_t written;
  do {
    written = ::write(STDERR_FILENO, line, len);
  } while (written < 0 && errno == EINTR);
  errno = savedErrno;
}

}  // namespace quellvox
