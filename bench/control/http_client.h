// A small HTTP/1.1 client on one keep-alive connection to 127.0.0.1, for
// the benchmarks of the remote interface: sends GET requests and reads each
// answer whole (by its Content-Length).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace quellvox::bench {

class HttpClient {
 public:
  explicit HttpClient(int port) : port_(port) {}
  ~HttpClient() { Close(); }

  // The status of the answer, 0 when the connection failed.
  int Get(const std::string& path, std::string* body = nullptr) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (fd_ < 0 && !Connect()) return 0;
      const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
      if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        const int status = ReadAnswer(body);
        if (status != 0) return status;
      }
      Close();
    }
    return 0;
  }

 private:
  bool Connect() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      Close();
      return false;
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
  }
  int ReadAnswer(std::string* body) {
    size_t headerEnd;
    while ((headerEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!Fill()) return 0;
    }
    const int status = std::atoi(buffer_.c_str() + 9);
    size_t length = 0;
    const size_t at = buffer_.find("Content-Length: ");
    if (at != std::string::npos && at < headerEnd) length = std::strtoul(buffer_.c_str() + at + 16, nullptr, 10);
    while (buffer_.size() < headerEnd + 4 + length) {
      if (!Fill()) return 0;
    }
    if (body != nullptr) body->assign(buffer_, headerEnd + 4, length);
    buffer_.erase(0, headerEnd + 4 + length);
    return status;
  }
  bool Fill() {
    char chunk[16384];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  int port_;
  int fd_ = -1;
  std::string buffer_;
};

}  // namespace quellvox::bench
