#include "platform/ffmpeg/local_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/log.h>
}

namespace quellvox::realmedia {

namespace {

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool IsDeviceFormat(const std::string& format) {
  if (format.empty()) return false;
  const AVInputFormat* f = av_find_input_format(format.c_str());
  return f && f->priv_class && AV_IS_INPUT_DEVICE(f->priv_class->category);
}

// `named`: the path is a part of the URL, so the reason names it.
Status CheckRegular(const std::string& path, bool named) {
  const std::string what = named ? "\"" + path + "\" " : std::string("it ");
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int e = errno;
    const std::string reason = (named ? "\"" + path + "\": " : std::string()) + std::strerror(e);
    if (e == ENOENT || e == ENOTDIR) return Status::Failed(E_NOTFOUND, reason);
    if (e == EACCES || e == EPERM) return Status::Failed(E_ACCESSDENIED, reason);
    return Status::Failed(reason);
  }
  if (S_ISREG(st.st_mode)) return Status::Ok();
  return Status::Failed(E_INVALIDARG, what + "is " +
          (S_ISDIR(st.st_mode)    ? std::string("a folder")
           : S_ISFIFO(st.st_mode) ? std::string("a FIFO")
           : S_ISCHR(st.st_mode)  ? std::string("a device")
                                  : std::string("not a regular file")) +
          ", and a file input reads only regular files (a stream wants a URL, a device its \"format\")");
}

// One URL, unwrapped; depth bounds a concat inside a concat.
Status Collect(const std::string& url, const std::string& whole, std::vector<std::string>& files, int depth) {
  if (depth > 8) return Status::Failed(E_INVALIDARG, "\"" + url + "\" wraps too many protocols");
  const char* name = avio_find_protocol_name(url.c_str());
  const std::string protocol = name ? name : "";
  if (protocol == "file") {
    std::string path = StartsWith(url, "file:") ? url.substr(5) : url;
    if (StartsWith(path, "//")) path = path.substr(2);  // file://PATH
    Status regular = CheckRegular(path, path != whole);
    if (regular.IsOk()) files.push_back(path);
    return regular;
  }
  if (protocol == "cache" || protocol == "async") return Collect(url.substr(protocol.size() + 1), whole, files, depth + 1);
  if (protocol == "concat") {
    const std::string list = url.substr(7);
    size_t from = 0;
    for (;;) {
      const size_t bar = list.find('|', from);
      Status part = Collect(list.substr(from, bar == std::string::npos ? std::string::npos : bar - from), whole, files,
                            depth + 1);
      if (!part.IsOk()) return part;
      if (bar == std::string::npos) return Status::Ok();
      from = bar + 1;
    }
  }
  if (protocol == "pipe" || protocol == "fd") {
    return Status::Failed(E_INVALIDARG, (url == whole ? std::string("it") : "\"" + url + "\"") +
                                            " reads a pipe, and a read waiting on a pipe cannot be stopped");
  }
  return Status::Ok();  // a stream (or a protocol the open will judge)
}

}  // namespace

Status InputFiles(const InputSettings& input, std::vector<std::string>& files) {
  files.clear();
  if (IsDeviceFormat(input.Format)) return Status::Ok();
  return Collect(input.Url, input.Url, files, 0);
}

std::string OutputFile(const std::string& url) {
  const char* name = avio_find_protocol_name(url.c_str());
  if (!name || std::strcmp(name, "file") != 0) return {};
  std::string path = StartsWith(url, "file:") ? url.substr(5) : url;
  if (StartsWith(path, "//")) path = path.substr(2);
  return path;
}

bool SameExistingFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool SameOutput(const std::string& a, const std::string& b) {
  const std::string fa = OutputFile(a);
  const std::string fb = OutputFile(b);
  if (fa.empty() || fb.empty()) return fa.empty() && fb.empty() && a == b;
  if (SameExistingFile(fa, fb)) return true;
  std::error_code ec;
  const auto ca = std::filesystem::weakly_canonical(std::filesystem::absolute(fa, ec), ec);
  const auto cb = std::filesystem::weakly_canonical(std::filesystem::absolute(fb, ec), ec);
  return !ec && ca == cb;
}

}  // namespace quellvox::realmedia
