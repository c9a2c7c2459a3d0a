// The machine-wide guard that lets one identifier run once per machine,
// whichever user started it: an exclusive lock on a file named after the
// guard's name (for instance Global\Quellvox#1) in a folder that every user
// shares. The kernel drops the lock when the process ends, also on a crash,
// so a new instance can start at once. A holder that ends cleanly removes
// its lock file while it still holds it; a process that locked a file
// removed meanwhile finds out and starts over on the file now in place, so
// the removal never lets two processes hold one guard. A crash leaves the
// file behind, unlocked; the folder is emptied at every boot.
#pragma once

#include <string>
#include <string_view>

namespace quellvox {

enum class GuardResult {
  Acquired,        // this process now holds the guard
  AlreadyExists,   // another live process holds it
  CouldNotCreate,  // no guard could be made; start-up goes on without one
};

// The open lock file of a held guard, or -1, and the path it was taken at.
struct InstanceGuard {
  int Fd = -1;
  std::string Path;
};

// The shared folder: /run/lock, else /dev/shm, else /tmp, whichever is
// first a directory that every user may create files in (world-writable
// with the sticky bit).
std::string InstanceGuardFolder();

// The file name for a guard name: the name folded as the registry folds
// key names (so "#hxCase" and "#HXCASE", which share one settings key, share
// one guard), then every byte outside A-Z, a-z, 0-9, "_" and "-" written as
// "%" and two upper-case hexadecimal digits, so that names that differ in
// more than case give distinct file names and none is ".", "..", holds a
// "/" or means anything to a shell. An encoding over 200 bytes keeps its
// first 128 bytes, then "~" and the SHA-256 of the whole folded name (the
// "~" keeps the two forms apart). Bytes that are not UTF-8 fold as U+FFFD.
std::string InstanceGuardFileName(std::string_view name);

// User-interface thread. Takes the guard named `name` in InstanceGuardFolder().
// On Acquired, `guard` holds it until CloseInstanceGuard or the process ends.
GuardResult CreateInstanceGuard(std::string_view name, InstanceGuard& guard);

// The same in a given folder.
GuardResult CreateInstanceGuardIn(const std::string& folder, std::string_view name, InstanceGuard& guard);

// Releases a held guard and removes its lock file when the file at the
// guard's path is still the one it holds (a file another user made stays);
// a guard not held is left as it is.
void CloseInstanceGuard(InstanceGuard& guard);

}  // namespace quellvox
