// guard_probe FOLDER NAME [hold]
// Takes the instance guard NAME in FOLDER and prints "acquired", "exists"
// or "failed" on a line of its own. With "hold" it keeps the guard until
// its standard input ends (or it is killed); otherwise it exits at once.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/system/instance_guard.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  quellvox::InstanceGuard guard;
  const quellvox::GuardResult result = quellvox::CreateInstanceGuardIn(argv[1], argv[2], guard);
  const char* word = result == quellvox::GuardResult::Acquired        ? "acquired\n"
                     : result == quellvox::GuardResult::AlreadyExists ? "exists\n"
                                                                       : "failed\n";
  if (::write(STDOUT_FILENO, word, std::strlen(word)) < 0) return 3;
  if (argc > 3 && std::strcmp(argv[3], "hold") == 0) {
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
  }
  quellvox::CloseInstanceGuard(guard);
  return 0;
}
