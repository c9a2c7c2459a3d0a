// quellvox-reg: reads and changes the settings store from a shell, through
// the same registry component the program uses.
#pragma once

namespace quellvox {

// The whole program for its arguments (argv[0] is the program's name): does
// the command, writes its output and messages, and returns the exit code.
int RunRegCommand(int argc, const char* const* argv);

}  // namespace quellvox
