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
HResult CheckRegular(const std::string& path, bool named, std::string& error) {
  const std::string what = named ? "\"" + path + "\" " : std::string("it ");
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int e = errno;
    error = (named ? "\"" + path + "\": " : std::string()) + std::strerror(e);
    if (e == ENOENT || e == ENOTDIR) return E_NOTFOUND;
    if (e == EACCES || e == EPERM) return E_ACCESSDENIED;
    return E_FAIL;
  }
  if (S_ISREG(st.st_mode)) return S_OK;
  error = what + "is " +
          (S_ISDIR(st.st_mode)    ? std::string("a folder")
           : S_ISFIFO(st.st_mode) ? std::string("a FIFO")
           : S_ISCHR(st.st_mode)  ? std::string("a device")
                                  : std::string("not a regular file")) +
          ", and a file input reads only regular files (a stream wants a URL, a device its \"format\")";
  return E_INVALIDARG;
}

// One URL, unwrapped; depth bounds a concat inside a concat.
HResult Collect(const std::string& url, const std::string& whole, std::vector<std::string>& files, std::string& error,
                int depth) {
  if (depth > 8) {
    error = "\"" + url + "\" wraps too many protocols";
    return E_INVALIDARG;
  }
  const char* name = avio_find_protocol_name(url.c_str());
  const std::string protocol = name ? name : "";
  if (protocol == "file") {
    std::string path = StartsWith(url, "file:") ? url.substr(5) : url;
    if (StartsWith(path, "//")) path = path.substr(2);  // file://PATH
    const HResult hr = CheckRegular(path, path != whole, error);
    if (hr == S_OK) files.push_back(path);
    return hr;
  }
  if (protocol == "cache" || protocol == "async") return Collect(url.substr(protocol.size() + 1), whole, files, error, depth + 1);
  if (protocol == "concat") {
    const std::string list = url.substr(7);
    size_t from = 0;
    for (;;) {
      const size_t bar = list.find('|', from);
      const HResult hr = Collect(list.substr(from, bar == std::string::npos ? std::string::npos : bar - from), whole,
                                 files, error, depth + 1);
      if (hr != S_OK) return hr;
      if (bar == std::string::npos) return S_OK;
      from = bar + 1;
    }
  }
  if (protocol == "pipe" || protocol == "fd") {
    error = (url == whole ? std::string("it") : "\"" + url + "\"") +
            " reads a pipe, and a read waiting on a pipe cannot be stopped";
    return E_INVALIDARG;
  }
  return S_OK;  // a stream (or a protocol the open will judge)
}

}  // namespace

HResult InputFiles(const InputSettings& input, std::vector<std::string>& files, std::string& error) {
  files.clear();
  if (IsDeviceFormat(input.Format)) return S_OK;
  return Collect(input.Url, input.Url, files, error, 0);
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
