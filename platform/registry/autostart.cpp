#include "platform/registry/autostart.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/com/case_fold.h"
#include "platform/registry/folders.h"
#include "platform/registry/registry_component.h"
#include "platform/system/sha256.h"

namespace quellvox {

namespace {

constexpr std::string_view kPrefix = "quellvox-run-";
constexpr std::string_view kSuffix = ".desktop";
constexpr std::string_view kGroup = "[Desktop Entry]";
constexpr std::string_view kValueKey = "X-Quellvox-RunValue";
constexpr std::string_view kCommandKey = "X-Quellvox-RunCommand";
// Longest file name most file systems take (NAME_MAX).
constexpr size_t kMaxFileName = 255;
// A shortened file name keeps this much of the encoded name: with the
// prefix, "_z", 64 hex digits and the suffix it stays within kMaxFileName.
constexpr size_t kKeptEncoding = 160;
// The Name key is only what a session's settings show: a longer value name
// is shown cut to this many bytes (whole characters) and "...".
constexpr size_t kMaxShownName = 200;
// Entries of ours are a few hundred bytes; a bigger one is not read as a
// value, and none is written.
constexpr off_t kMaxEntrySize = 64 * 1024;
// An entry of ours larger than that (written before the limit was kept) is
// still recognised up to this size, so that it can be replaced or removed.
constexpr off_t kMaxRecognisedSize = 16 * 1024 * 1024;

// An entry holds text; NUL and the control characters a string value cannot
// carry are refused, as are unpaired surrogates (they have no UTF-8 form).
bool Representable(std::u16string_view text) {
  for (char16_t c : text) {
    if ((c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c == 0x7F) return false;
  }
  return IsWellFormedUtf16(text);
}

enum class EntryState { Missing, Ours, Foreign };

struct Entry {
  EntryState State = EntryState::Missing;
  bool Oversized = false;  // ours, but too large to be read as a value
  std::string ValueName;   // unescaped, UTF-8
  std::string Command;     // unescaped, UTF-8
};

// Reads the entry at `path` without following a link and without blocking
// on anything that is not a regular file.
Entry ReadEntry(const std::string& path) {
  Entry e;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    e.State = errno == ENOENT ? EntryState::Missing : EntryState::Foreign;
    return e;
  }
  e.State = EntryState::Foreign;
  struct stat st {};
  std::string content;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxRecognisedSize) {
    content.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < content.size()) {
      const ssize_t n = ::read(fd, content.data() + got, content.size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    content.resize(got);
  }
  ::close(fd);

  bool inGroup = false;
  bool hasValue = false;
  bool hasCommand = false;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    std::string_view line(content.data() + pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inGroup = line == kGroup;
      continue;
    }
    if (!inGroup) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = line.substr(0, eq);
    while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
    std::string_view value = line.substr(eq + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (key == kValueKey) {
      e.ValueName = UnescapeDesktopString(value);
      hasValue = true;
    } else if (key == kCommandKey) {
      e.Command = UnescapeDesktopString(value);
      hasCommand = true;
    }
  }
  if (hasValue && hasCommand) e.State = EntryState::Ours;
  e.Oversized = content.size() > static_cast<size_t>(kMaxEntrySize);
  return e;
}

// Ours and for this very value (the file name is derived from the folded
// name, so anything else was put there by hand).
bool IsEntryOf(const Entry& e, std::u16string_view name) {
  return e.State == EntryState::Ours && FoldName(Utf8ToUtf16(e.ValueName)) == FoldName(name);
}

// `text` (UTF-8) cut to at most kMaxShownName bytes on a character
// boundary, with "..." when something was cut.
std::string ShownName(const std::string& text) {
  if (text.size() <= kMaxShownName) return text;
  size_t end = kMaxShownName;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "...";
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void SyncFolder(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

std::string AutostartEntryFileName(std::u16string_view valueName) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::string folded = FoldName(valueName);
  std::string encoded;
  for (const char ch : folded) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded.push_back('_');
      encoded.push_back(kHex[c >> 4]);
      encoded.push_back(kHex[c & 0xF]);
    }
  }
  if (kPrefix.size() + encoded.size() + kSuffix.size() > kMaxFileName) {
    size_t keep = kKeptEncoding;
    // Not inside a "_xx" triple.
    if (encoded[keep - 1] == '_') keep -= 1;
    else if (encoded[keep - 2] == '_') keep -= 2;
    encoded = encoded.substr(0, keep) + "_z" + Sha256Hex(folded);
  }
  return std::string(kPrefix) + encoded + std::string(kSuffix);
}

RunCommandParts SplitRunCommand(std::string_view text) {
  RunCommandParts parts;
  size_t rest = std::string_view::npos;
  if (!text.empty() && text[0] == '"') {
    // The program ends at the quote before " #" (an identifier begins with
    // "#"), else at the first quote followed by a blank or the end.
    size_t close = text.find("\" #", 1);
    if (close == std::string_view::npos) {
      close = 1;
      while ((close = text.find('"', close)) != std::string_view::npos) {
        if (close + 1 == text.size() || text[close + 1] == ' ') break;
        ++close;
      }
    }
    if (close == std::string_view::npos) {
      parts.Program = std::string(text.substr(1));
    } else {
      parts.Program = std::string(text.substr(1, close - 1));
      if (close + 1 < text.size()) rest = close + 2;
    }
  } else {
    const size_t blank = text.find(' ');
    parts.Program = std::string(text.substr(0, blank));
    if (blank != std::string_view::npos) rest = blank + 1;
  }
  if (rest != std::string_view::npos && rest < text.size()) {
    parts.Argument = std::string(text.substr(rest));
    parts.HasArgument = true;
  }
  return parts;
}

std::string DesktopExecValue(const std::vector<std::string>& argv) {
  std::string out;
  for (const std::string& arg : argv) {
    if (!out.empty()) out.push_back(' ');
    out.push_back('"');
    for (const char c : arg) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') {
        out.push_back('\\');
        out.push_back(c);
      } else if (c == '%') {
        out.append("%%");
      } else {
        out.push_back(c);
      }
    }
    out.push_back('"');
  }
  return out;
}

std::string EscapeDesktopString(std::string_view text) {
  std::string out;
  bool leading = true;
  for (const char c : text) {
    if (c != ' ') leading = false;
    switch (c) {
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\r':
        out.append("\\r");
        break;
      case ' ':
        out.append(leading ? "\\s" : " ");
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string UnescapeDesktopString(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    switch (text[++i]) {
      case 's':
        out.push_back(' ');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case '\\':
        out.push_back('\\');
        break;
      default:  // not an escape of a string value: kept as written
        out.push_back('\\');
        out.push_back(text[i]);
    }
  }
  return out;
}

HResult AutostartFolder::Read(std::u16string_view name, std::u16string& text) const {
  const std::string file = AutostartEntryFileName(name);
  if (file.empty() || dir_.empty()) return E_NOTFOUND;
  const Entry e = ReadEntry(dir_ + "/" + file);
  if (!IsEntryOf(e, name) || e.Oversized) return E_NOTFOUND;
  text = Utf8ToUtf16(e.Command);
  return S_OK;
}

HResult AutostartFolder::Write(std::u16string_view name, std::u16string_view text) const {
  if (!Representable(name) || !Representable(text)) return E_INVALIDARG;
  const std::string file = AutostartEntryFileName(name);
  if (file.empty()) return E_INVALIDARG;
  const std::string command = Utf16ToUtf8(text);
  const RunCommandParts parts = SplitRunCommand(command);
  if (parts.Program.empty()) return E_INVALIDARG;

  const std::string target = dir_ + "/" + file;
  const Entry existing = ReadEntry(target);
  if (existing.State == EntryState::Foreign || (existing.State == EntryState::Ours && !IsEntryOf(existing, name))) {
    return E_ACCESSDENIED;
  }

  std::vector<std::string> argv{parts.Program};
  if (parts.HasArgument) argv.push_back(parts.Argument);
  // A replaced entry keeps the name's case as first written.
  const std::string valueName = existing.State == EntryState::Ours ? existing.ValueName : Utf16ToUtf8(name);
  std::string content;
  content.append(kGroup).append("\n");
  content.append("Type=Application\n");
  content.append("Name=").append(EscapeDesktopString(valueName.empty() ? "Quellvox" : ShownName(valueName))).append("\n");
  content.append("Exec=").append(EscapeDesktopString(DesktopExecValue(argv))).append("\n");
  content.append("Icon=").append(kAutostartIcon).append("\n");
  content.append(kValueKey).append("=").append(EscapeDesktopString(valueName)).append("\n");
  content.append(kCommandKey).append("=").append(EscapeDesktopString(command)).append("\n");
  // What could not be read back is never written.
  if (content.size() > static_cast<size_t>(kMaxEntrySize)) return E_INVALIDARG;

  if (!MakeFolders(dir_)) return E_REG_CANTWRITE;
  // Written beside the entry under a name no desktop reads (leading dot, no
  // .desktop suffix), then renamed over it.
  std::string temp = dir_ + "/.quellvox-run-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return E_REG_CANTWRITE;
  const bool written = WriteAll(fd, content) && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !written || ::rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return E_REG_CANTWRITE;
  }
  SyncFolder(dir_);
  return S_OK;
}

HResult AutostartFolder::Remove(std::u16string_view name) const {
  const std::string file = AutostartEntryFileName(name);
  if (file.empty() || dir_.empty()) return E_NOTFOUND;
  const std::string target = dir_ + "/" + file;
  const Entry e = ReadEntry(target);
  if (e.State == EntryState::Missing) return E_NOTFOUND;
  if (!IsEntryOf(e, name)) return E_ACCESSDENIED;
  if (::unlink(target.c_str()) != 0) return errno == ENOENT ? E_NOTFOUND : E_REG_CANTWRITE;
  SyncFolder(dir_);
  return S_OK;
}

HResult AutostartFolder::List(std::vector<std::u16string>& names) const {
  names.clear();
  DIR* d = dir_.empty() ? nullptr : ::opendir(dir_.c_str());
  if (!d) return errno == ENOENT ? S_OK : E_REG_CANTREAD;
  std::vector<std::string> files;
  while (const dirent* de = ::readdir(d)) {
    const std::string_view f(de->d_name);
    if (f.size() >= kPrefix.size() + kSuffix.size() && f.substr(0, kPrefix.size()) == kPrefix &&
        f.substr(f.size() - kSuffix.size()) == kSuffix) {
      files.emplace_back(f);
    }
  }
  ::closedir(d);
  std::sort(files.begin(), files.end());
  for (const std::string& f : files) {
    const Entry e = ReadEntry(dir_ + "/" + f);
    const std::u16string name = Utf8ToUtf16(e.ValueName);
    if (e.State == EntryState::Ours && !e.Oversized && AutostartEntryFileName(name) == f) names.push_back(name);
  }
  return S_OK;
}

}  // namespace quellvox
