#include "tools/reg/reg_command.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "control/control_token.h"
#include "platform/registry_api/registry_access.h"
#include "platform/com/com.h"
#include "platform/registry/registry_component.h"

namespace quellvox {
namespace {

// Exit codes.
constexpr int kDone = 0;
constexpr int kNotFound = 1;
constexpr int kUsage = 2;
constexpr int kStoreUnavailable = 3;
constexpr int kRefused = 4;
constexpr int kFailed = 5;

constexpr const char* kHelp =
    "Usage: quellvox-reg [--signed] COMMAND ...\n"
    "Reads and changes the Quellvox settings store.\n"
    "\n"
    "Commands:\n"
    "  list KEY                    every value of KEY, one per line: NAME<TAB>TYPE<TAB>DATA\n"
    "  get KEY NAME                the data of one value, alone on one line\n"
    "  set KEY NAME --dword VALUE  writes a 32-bit value (creates KEY when missing)\n"
    "  set KEY NAME --string TEXT  writes a text value (creates KEY when missing)\n"
    "  delete KEY NAME             removes one value\n"
    "  where                       the store file and the autostart folder\n"
    "  token show ID               the remote interface's token of instance ID (made when missing)\n"
    "  token renew ID              replaces that token with a new one; the old one stops working\n"
    "\n"
    "KEY is a key path as the program uses it, relative to HKEY_LOCAL_MACHINE\\Software:\n"
    "  'Quellvox\\#1' holds the settings of instance #1,\n"
    "  'Microsoft\\Windows\\CurrentVersion\\Run' the logon entries (one autostart entry each).\n"
    "The remote interface of an instance listens where its key's ControlPort (DWORD, 0 or\n"
    "missing: off) and ControlAddress (text, 127.0.0.1 when missing) say, e.g.\n"
    "  quellvox-reg set 'Quellvox\\#1' ControlPort --dword 8480\n"
    "A path starting with HKEY_LOCAL_MACHINE\\ or HKLM\\ (HKEY_CURRENT_USER\\, HKCU\\) is taken\n"
    "from that hive instead. Key and value names ignore case.\n"
    "\n"
    "Output: TYPE is 'dword' or 'string'. DWORDs are unsigned decimal, or signed with\n"
    "--signed (gains, window positions). In list output backslash, tab, line feed and\n"
    "carriage return in NAME and DATA are written \\\\, \\t, \\n, \\r; get prints a text as it is.\n"
    "VALUE is decimal (a negative number is stored as its two's complement) or 0x hexadecimal.\n"
    "\n"
    "Exit codes:\n"
    "  0  done\n"
    "  1  the key or the value does not exist\n"
    "  2  bad usage\n"
    "  3  the store cannot be opened (not a store of Quellvox, damaged, or no place for it)\n"
    "  4  the value was refused (a text an entry cannot hold, an autostart entry that is not\n"
    "     Quellvox's, a DWORD in the Run key, an argument that is not UTF-8, a key path\n"
    "     with an empty name in it such as a trailing backslash)\n"
    "  5  reading or writing the store failed, or the written value did not read back\n"
    "\n"
    "The store is $XDG_CONFIG_HOME/quellvox/registry.sqlite3 (default ~/.config); the token\n"
    "of instance ID is $XDG_CONFIG_HOME/quellvox/control-ID.token, readable by its user only.\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "quellvox-reg: %s\nTry 'quellvox-reg --help'.\n", problem);
  return kUsage;
}

int ExitFor(HResult hr) {
  if (hr == E_NOTFOUND) return kNotFound;
  if (hr == E_REG_BADDB || hr == E_REG_CANTOPEN || hr == REGDB_E_CLASSNOTREG) return kStoreUnavailable;
  if (hr == E_ACCESSDENIED || hr == E_INVALIDARG || hr == E_REG_UNSUPPORTED_TYPE) return kRefused;
  return kFailed;
}

int Report(HResult hr, const std::string& what) {
  const int code = ExitFor(hr);
  const char* reason = code == kNotFound           ? "does not exist"
                       : code == kStoreUnavailable ? "store cannot be opened"
                       : code == kRefused          ? "refused"
                                                   : "failed";
  std::fprintf(stderr, "quellvox-reg: %s: %s (0x%X/%d)\n", what.c_str(), reason, static_cast<unsigned>(hr),
               static_cast<int>(hr));
  return code;
}

// Splits a hive prefix off `key`: the hive and the path below it, or the
// default root (no hive) and the path as given.
bool SplitHive(std::string_view key, uint32_t& hive, std::string_view& rest) {
  const size_t slash = key.find('\\');
  const std::string first(key.substr(0, slash));
  std::string upper;
  for (char c : first) upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  if (upper == "HKEY_LOCAL_MACHINE" || upper == "HKLM") {
    hive = HKEY_LOCAL_MACHINE_HIVE;
  } else if (upper == "HKEY_CURRENT_USER" || upper == "HKCU") {
    hive = HKEY_CURRENT_USER_HIVE;
  } else {
    hive = 0;
    rest = key;
    return false;
  }
  rest = slash == std::string_view::npos ? std::string_view() : key.substr(slash + 1);
  return true;
}

// A fresh instance with `key` open; creates the key for writing when asked.
HResult OpenInstance(std::string_view key, uint32_t access, bool create, ComPtr<IKTRegistryAccess>& reg) {
  HResult hr = CreateInstance(kClsidRegistryAccess, reg);
  if (hr != S_OK) return hr;
  uint32_t hive = 0;
  std::string_view path;
  if (SplitHive(key, hive, path)) {
    ComPtr<IKTRegRoot> root;
    if ((hr = reg.As(root)) != S_OK) return hr;
    if ((hr = root->SetRoot(hive, ComText(""))) != S_OK) return hr;
  }
  const ComText keyPath(path);
  hr = reg->OpenKey(keyPath, access);
  if (hr == E_NOTFOUND && create) hr = reg->CreateKey(keyPath);
  return hr;
}

// Whether `key` names the logon-start key, with or without its hive.
bool IsRunKey(std::string_view key) {
  constexpr std::string_view kRun = "microsoft\\windows\\currentversion\\run";
  if (key.size() < kRun.size()) return false;
  const std::string_view tail = key.substr(key.size() - kRun.size());
  for (size_t i = 0; i < kRun.size(); ++i) {
    const char c = tail[i] >= 'A' && tail[i] <= 'Z' ? static_cast<char>(tail[i] - 'A' + 'a') : tail[i];
    if (c != kRun[i]) return false;
  }
  return key.size() == kRun.size() || key[key.size() - kRun.size() - 1] == '\\';
}

bool ParseDword(const char* text, uint32_t& out) {
  std::string_view t(text);
  bool negative = false;
  if (!t.empty() && t[0] == '-') {
    negative = true;
    t.remove_prefix(1);
  }
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    t.remove_prefix(2);
  }
  if (t.empty()) return false;
  uint64_t v = 0;
  for (char c : t) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) return false;
  }
  if (negative) {
    if (v > 0x80000000ull) return false;
    out = static_cast<uint32_t>(-static_cast<int64_t>(v));
  } else {
    out = static_cast<uint32_t>(v);
  }
  return true;
}

std::string Escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string DwordText(uint32_t v, bool asSigned) {
  char text[16];
  if (asSigned) {
    std::snprintf(text, sizeof text, "%" PRId32, static_cast<int32_t>(v));
  } else {
    std::snprintf(text, sizeof text, "%" PRIu32, v);
  }
  return text;
}

// The data of one value as text, and its type.
HResult ReadValue(IKTRegistryAccess* reg, const char* name, bool asSigned, std::string& data, uint32_t& type) {
  ComPtr<IRegistryBrowse> browse;
  ComPtr<IKTRegistryAccess> r(reg);
  HResult hr = r.As(browse);
  if (hr != S_OK) return hr;
  if ((hr = browse->QueryValueType(ComText(name), &type)) != S_OK) return hr;
  if (type == REG_DWORD) {
    uint32_t v = 0;
    if ((hr = reg->ReadDword(ComText(name), &v)) != S_OK) return hr;
    data = DwordText(v, asSigned);
    return S_OK;
  }
  ComStringHolder text;
  if ((hr = reg->ReadString(ComText(name), text.Put())) != S_OK) return hr;
  data = ComStringToUtf8(text.Get());
  return S_OK;
}

int List(const char* key, bool asSigned) {
  ComPtr<IKTRegistryAccess> reg;
  HResult hr = OpenInstance(key, KEY_READ, false, reg);
  if (hr != S_OK) return Report(hr, key);
  ComPtr<IRegistryBrowse> browse;
  if ((hr = reg.As(browse)) != S_OK) return Report(hr, key);
  std::string out;
  for (uint32_t i = 0;; ++i) {
    ComStringHolder name;
    uint32_t type = 0;
    hr = browse->EnumValue(i, name.Put(), &type);
    if (hr == E_NOTFOUND) break;
    if (hr != S_OK) return Report(hr, key);
    const std::string n = ComStringToUtf8(name.Get());
    std::string data;
    if ((hr = ReadValue(reg.Get(), n.c_str(), asSigned, data, type)) != S_OK) return Report(hr, n);
    out += Escaped(n) + "\t" + (type == REG_DWORD ? "dword" : "string") + "\t" + Escaped(data) + "\n";
  }
  std::fputs(out.c_str(), stdout);
  return kDone;
}

int Get(const char* key, const char* name, bool asSigned) {
  ComPtr<IKTRegistryAccess> reg;
  HResult hr = OpenInstance(key, KEY_READ, false, reg);
  if (hr != S_OK) return Report(hr, key);
  std::string data;
  uint32_t type = 0;
  if ((hr = ReadValue(reg.Get(), name, asSigned, data, type)) != S_OK) return Report(hr, name);
  std::fwrite(data.data(), 1, data.size(), stdout);
  std::fputc('\n', stdout);
  return kDone;
}

int Set(const char* key, const char* name, bool dword, const char* value) {
  uint32_t number = 0;
  if (dword && !ParseDword(value, number)) return Usage("VALUE must be a 32-bit decimal or 0x hexadecimal number");
  {
    ComPtr<IKTRegistryAccess> reg;
    HResult hr = OpenInstance(key, KEY_WRITE, true, reg);
    if (hr != S_OK) return Report(hr, key);
    hr = dword ? reg->WriteDword(ComText(name), number) : reg->WriteString(ComText(name), ComText(value), REG_SZ);
    if (hr == E_INVALIDARG && !dword && IsRunKey(key)) {
      std::fprintf(stderr,
                   "quellvox-reg: %s: refused: a logon entry holds a command of a program and its argument, "
                   "no control character but tab and line ends, and at most 64 KiB (0x%X/%d)\n",
                   name, static_cast<unsigned>(hr), static_cast<int>(hr));
      return kRefused;
    }
    if (hr != S_OK) return Report(hr, name);
  }  // released: the save is committed
  // Read it back through a new instance: a save that did not reach the store is a failure.
  ComPtr<IKTRegistryAccess> reg;
  HResult hr = OpenInstance(key, KEY_READ, false, reg);
  if (hr != S_OK) return Report(hr, key);
  if (dword) {
    uint32_t back = 0;
    hr = reg->ReadDword(ComText(name), &back);
    if (hr == S_OK && back != number) hr = E_FAIL;
  } else {
    ComStringHolder back;
    hr = reg->ReadString(ComText(name), back.Put());
    if (hr == S_OK && ComStringToUtf8(back.Get()) != value) hr = E_FAIL;
  }
  if (hr != S_OK) {
    std::fprintf(stderr, "quellvox-reg: %s: did not read back as written\n", name);
    return kFailed;
  }
  return kDone;
}

int Delete(const char* key, const char* name) {
  ComPtr<IKTRegistryAccess> reg;
  HResult hr = OpenInstance(key, KEY_WRITE, false, reg);
  if (hr != S_OK) return Report(hr, key);
  hr = reg->DeleteValue(ComText(name));
  return hr == S_OK ? kDone : Report(hr, name);
}

}  // namespace

int RunRegCommand(int argc, const char* const* argv) {
  // Options come before the command, so that a text to set may begin with "--".
  bool asSigned = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help") {
      std::fputs(kHelp, stdout);
      return kDone;
    }
    if (a != "--signed") return Usage("unknown option");
    asSigned = true;
  }
  if (i < argc && std::string_view(argv[i]) == "-h") {
    std::fputs(kHelp, stdout);
    return kDone;
  }
  const std::vector<const char*> args(argv + i, argv + argc);
  if (args.empty()) return Usage("no command given");
  const std::string_view command = args[0];
  const size_t n = args.size();
  // Keys, names and texts travel as UTF-16: bytes that are not UTF-8 would
  // turn into U+FFFD and reach another key or value than the one given.
  for (size_t k = 1; k < n; ++k) {
    const std::string_view a = args[k];
    if (Utf16ToUtf8(Utf8ToUtf16(a)) != a) {
      std::fprintf(stderr, "quellvox-reg: %s: not UTF-8, refused\n", args[k]);
      return kRefused;
    }
  }
  RegisterRegistryAccess();
  if (command == "where" && n == 1) {
    std::printf("%s\n%s\n", RegistryStorePath().c_str(), AutostartFolderPath().c_str());
    return kDone;
  }
  if (command == "token" && n == 3) {
    const std::string_view what = args[1];
    if (what != "show" && what != "renew") return Usage("token needs show ID or renew ID");
    std::string token;
    const Status made =
        what == "show" ? LoadOrCreateControlToken(args[2], token) : RenewControlToken(args[2], token);
    if (!made.IsOk()) {
      std::fprintf(stderr, "quellvox-reg: token: %s\n", made.Message().c_str());
      return kFailed;
    }
    std::printf("%s\n", token.c_str());
    return kDone;
  }
  if (command == "list" && n == 2) return List(args[1], asSigned);
  if (command == "get" && n == 3) return Get(args[1], args[2], asSigned);
  if (command == "delete" && n == 3) return Delete(args[1], args[2]);
  if (command == "set" && n == 5) {
    const std::string_view kind = args[3];
    if (kind == "--dword") return Set(args[1], args[2], true, args[4]);
    if (kind == "--string") return Set(args[1], args[2], false, args[4]);
    return Usage("set needs --dword VALUE or --string TEXT");
  }
  return Usage("unknown command or wrong number of arguments");
}

}  // namespace quellvox
