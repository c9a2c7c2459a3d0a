// Opening the files a description names without ever blocking: a FIFO
// without a writer would hold an open() forever and a device such as
// /dev/zero never ends, so only regular files are read.
#pragma once

#include <cstddef>
#include <string>

#include "platform/com/status.h"

namespace quellvox::studio {

// An open descriptor, closed when the holder goes.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Opens `path` for reading when it is a regular file (following links), in
// blocking mode; otherwise an empty holder and `error` saying why ("is not a
// regular file", "is a folder", or the system's reason).
FileDescriptor OpenRegularFile(const std::string& path, std::string& error);

// The whole of a regular file of at most `maxBytes`; refused for anything
// else (a longer file is refused, not cut), the message saying why as
// OpenRegularFile does.
Status ReadRegularFile(const std::string& path, size_t maxBytes, std::string& text);

}  // namespace quellvox::studio
