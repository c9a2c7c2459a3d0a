// The debug-output channel: standard error, one write call per trace, the
// text unchanged (no time stamp, no prefix, no line end added).
#pragma once

namespace quellvox {

// printf-style with the conversions the program's traces use: %s (UTF-8
// text), %d (32-bit signed), %X (32-bit hexadecimal, upper case), %lld
// (64-bit signed) and %%. Keeps no state, takes no lock and allocates
// nothing: safe from any thread, the audio and video threads included.
// A trace longer than 4095 bytes is cut there.
void DebugTrace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace quellvox
