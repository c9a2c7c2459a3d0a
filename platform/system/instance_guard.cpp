#include "platform/system/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/com/case_fold.h"
#include "platform/com/com.h"
#include "platform/system/sha256.h"

namespace quellvox {

namespace {

constexpr size_t kMaxPlainName = 200;  // well below NAME_MAX (255)
constexpr size_t kKeptPrefix = 128;

bool IsShared(const char* folder) {
  struct stat st {};
  if (::stat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return (st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) != 0;
}

bool Plain(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

int CloseKeepingErrno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return -1;
}

// Opens the lock file without following a link and without blocking on
// anything that is not a plain file. An existing file is opened without
// O_CREAT: in a sticky world-writable folder the kernel may refuse O_CREAT
// on another user's file (fs.protected_regular), while a plain open for
// reading is allowed, and reading is all that flock needs.
int OpenLockFile(const std::string& path) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = ::open(path.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
      if (fd < 0 && errno == EEXIST) continue;  // another process made it first
      // Readable by every user whatever the umask, so that their instances
      // can test the same guard.
      if (fd >= 0) (void)::fchmod(fd, 0644);
    }
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return CloseKeepingErrno(fd);
    return fd;
  }
  return -1;
}

// Whether `path` names, without following a link, the very file open as `fd`.
bool SameFile(const std::string& path, int fd) {
  struct stat atPath {};
  struct stat held {};
  if (::lstat(path.c_str(), &atPath) != 0 || ::fstat(fd, &held) != 0) return false;
  return atPath.st_dev == held.st_dev && atPath.st_ino == held.st_ino;
}

}  // namespace

std::string InstanceGuardFolder() {
  for (const char* folder : {"/run/lock", "/dev/shm", "/tmp"}) {
    if (IsShared(folder)) return folder;
  }
  return "/tmp";
}

std::string InstanceGuardFileName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string folded = FoldName(Utf8ToUtf16(name));
  std::string encoded;
  for (char ch : folded) {
    const auto c = static_cast<unsigned char>(ch);
    if (Plain(c)) {
      encoded += ch;
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  if (encoded.empty()) return "%";  // no name at all: still a name of its own
  if (encoded.size() <= kMaxPlainName) return encoded;
  size_t keep = kKeptPrefix;
  // Do not cut inside a "%XX" triple.
  if (encoded[keep - 1] == '%') keep -= 1;
  else if (encoded[keep - 2] == '%') keep -= 2;
  return encoded.substr(0, keep) + "~" + Sha256Hex(folded);
}

GuardResult CreateInstanceGuard(std::string_view name, InstanceGuard& guard) {
  return CreateInstanceGuardIn(InstanceGuardFolder(), name, guard);
}

GuardResult CreateInstanceGuardIn(const std::string& folder, std::string_view name, InstanceGuard& guard) {
  guard.Fd = -1;
  guard.Path.clear();
  const std::string path = folder + "/" + InstanceGuardFileName(name);
  // A holder removes its file while it still holds it; a lock taken on the
  // file after that guards nothing, and the file now at the path (or none)
  // is tried instead. Each round means another process ended its instance
  // meanwhile, so a few rounds are plenty.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = OpenLockFile(path);
    if (fd < 0) return GuardResult::CouldNotCreate;
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      const bool held = errno == EWOULDBLOCK;
      ::close(fd);
      return held ? GuardResult::AlreadyExists : GuardResult::CouldNotCreate;
    }
    if (!SameFile(path, fd)) {
      ::close(fd);
      continue;
    }
    guard.Fd = fd;
    guard.Path = path;
    return GuardResult::Acquired;
  }
  return GuardResult::CouldNotCreate;
}

void CloseInstanceGuard(InstanceGuard& guard) {
  if (guard.Fd < 0) return;
  // Removed while still locked: a process that opened the file before the
  // removal finds, once it gets the lock, that the path no longer names it.
  // In the shared sticky folder only the file's owner may remove it; for
  // anyone else the unlink fails and the file stays, as before.
  if (!guard.Path.empty() && SameFile(guard.Path, guard.Fd)) (void)::unlink(guard.Path.c_str());
  ::close(guard.Fd);
  guard.Fd = -1;
  guard.Path.clear();
}

}  // namespace quellvox
