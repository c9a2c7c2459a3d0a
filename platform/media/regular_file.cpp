#include "platform/media/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quellvox::studio {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileDescriptor OpenRegularFile(const std::string& path, std::string& error) {
  // O_NONBLOCK: opening a FIFO that has no writer returns at once instead of
  // waiting for one; the type is then checked on what was really opened.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    error = std::strerror(errno);
    return {};
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) {
    error = std::strerror(errno);
    return {};
  }
  if (S_ISDIR(st.st_mode)) {
    error = "is a folder, not a file";
    return {};
  }
  if (!S_ISREG(st.st_mode)) {
    error = "is not a regular file";
    return {};
  }
  const int flags = ::fcntl(fd.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    error = std::strerror(errno);
    return {};
  }
  return fd;
}

Status ReadRegularFile(const std::string& path, size_t maxBytes, std::string& text) {
  text.clear();
  std::string error;
  const FileDescriptor fd = OpenRegularFile(path, error);
  if (!fd) return Status::Failed(E_INVALIDARG, error);
  // Read to the end, refusing as soon as the text passes the limit: the
  // size the file had when it was opened is not trusted (it may grow).
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::Failed(E_INVALIDARG, std::strerror(errno));
    if (n == 0) return Status::Ok();
    if (text.size() + static_cast<size_t>(n) > maxBytes) {
      text.clear();
      return Status::Failed(E_INVALIDARG, "is larger than " + std::to_string(maxBytes) + " bytes");
    }
    text.append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace quellvox::studio
