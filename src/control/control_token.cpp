#include "control/control_token.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quellvox {

namespace {

constexpr size_t kTokenBytes = 16;  // 128 bits
constexpr size_t kTokenDigits = kTokenBytes * 2;

std::string ConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config";
  return {};
}

bool IsToken(std::string_view text) {
  if (text.size() != kTokenDigits) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

Status MakeToken(std::string& token) {
  uint8_t bytes[kTokenBytes];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::Failed(std::string("no random bits: ") + std::strerror(errno));
    }
    got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  token.clear();
  for (uint8_t b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 0xF]);
  }
  return Status::Ok();
}

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Writes `token` to a file of this process's own beside `path` (mode 0600,
// synced), then puts it in place: over the old token when `replace` (a
// reader sees the old token or the new one whole), else only where no token
// is yet, so that of two processes making the first token at once (the
// program starting and quellvox-reg token show) both end with the one that
// got there first. `raced` says a token was already there (and the token
// given was not put in place).
Status WriteToken(const std::string& path, const std::string& token, bool replace, bool& raced) {
  raced = false;
  const std::string parent = Folder(path);
  ::mkdir(Folder(parent).c_str(), 0700);
  ::mkdir(parent.c_str(), 0700);
  static std::atomic<unsigned> made{0};  // two threads of one process make two files
  const std::string temporary =
      path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(made.fetch_add(1, std::memory_order_relaxed));
  ::unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Status::Failed("cannot create " + temporary + ": " + std::strerror(errno));
  const std::string line = token + "\n";
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && ::fsync(fd) == 0;
  ::close(fd);
  const bool placed = written && (replace ? ::rename(temporary.c_str(), path.c_str()) == 0
                                          : ::link(temporary.c_str(), path.c_str()) == 0);
  const int why = errno;
  ::unlink(temporary.c_str());
  if (!placed && written && !replace && why == EEXIST) {
    raced = true;
    return Status::Failed("another process made " + path + " meanwhile");
  }
  if (!placed) return Status::Failed("cannot write " + path + ": " + std::strerror(why));
  return Status::Ok();
}

const char* const kNoFolder = "no configuration folder ($XDG_CONFIG_HOME and $HOME unset)";

}  // namespace

std::string ControlTokenPath(std::string_view instanceId) {
  const std::string folder = ConfigFolder();
  if (folder.empty()) return {};
  std::string name;
  for (unsigned char c : instanceId) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
      name.push_back(static_cast<char>(c));
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      name.push_back('%');
      name.push_back(kHex[c >> 4]);
      name.push_back(kHex[c & 0xF]);
    }
  }
  return folder + "/quellvox/control-" + name + ".token";
}

Status LoadOrCreateControlToken(std::string_view instanceId, std::string& token) {
  const std::string path = ControlTokenPath(instanceId);
  if (path.empty()) return Status::Failed(kNoFolder);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno != ENOENT) return Status::Failed("cannot read " + path + ": " + std::strerror(errno));
    if (Status made = MakeToken(token); !made.IsOk()) return made;
    bool raced = false;
    Status written = WriteToken(path, token, false, raced);
    if (!raced) return written;
    return LoadOrCreateControlToken(instanceId, token);  // another process made it meanwhile: read that
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    ::close(fd);
    return Status::Failed(path + " is not a file of this user");
  }
  if ((info.st_mode & 077) != 0) ::fchmod(fd, 0600);
  char buffer[64] = {};
  const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  std::string_view text(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  if (!IsToken(text)) return Status::Failed(path + " holds no token (quellvox-reg token renew makes one)");
  token.assign(text);
  return Status::Ok();
}

Status RenewControlToken(std::string_view instanceId, std::string& token) {
  const std::string path = ControlTokenPath(instanceId);
  if (path.empty()) return Status::Failed(kNoFolder);
  if (Status made = MakeToken(token); !made.IsOk()) return made;
  bool raced = false;
  return WriteToken(path, token, true, raced);
}

bool TokensEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace quellvox
