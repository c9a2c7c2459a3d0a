// Every registry test runs against its own $XDG_CONFIG_HOME in a fresh
// temporary folder, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_api/registry_access.h"
#include "platform/com/com.h"
#include "platform/registry/registry_component.h"

namespace quellvox::test {

// A component string for one call.
using Cs = ComText;

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// "prefix" followed by the decimal number (GCC 12 warns wrongly about
// string concatenation with to_string at -O3).
inline std::string Numbered(const char* prefix, uint64_t n) {
  char text[64];
  std::snprintf(text, sizeof text, "%s%llu", prefix, static_cast<unsigned long long>(n));
  return text;
}

inline uint32_t ModeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0xFFFFFFFF;
  return st.st_mode & 07777;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quellvox-registry-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    configHome_ = root_ + "/config";
    const char* old = std::getenv("XDG_CONFIG_HOME");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    ::setenv("XDG_CONFIG_HOME", configHome_.c_str(), 1);
    RegisterRegistryAccess();
  }

  void TearDown() override {
    if (hadOld_) {
      ::setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  ComPtr<IKTRegistryAccess> NewAccess() {
    ComPtr<IKTRegistryAccess> reg;
    EXPECT_EQ(CreateInstance(kClsidRegistryAccess, reg), S_OK);
    return reg;
  }

  // Opens `key` for writing on a fresh instance, creating it when missing.
  ComPtr<IKTRegistryAccess> WritableKey(const char* key) {
    ComPtr<IKTRegistryAccess> reg = NewAccess();
    if (reg && reg->OpenKey(Cs(key), KEY_WRITE) != S_OK) {
      EXPECT_EQ(reg->CreateKey(Cs(key)), S_OK);
    }
    return reg;
  }

  ComPtr<IKTRegistryAccess> ReadableKey(const char* key) {
    ComPtr<IKTRegistryAccess> reg = NewAccess();
    if (reg) {
      EXPECT_EQ(reg->OpenKey(Cs(key), KEY_READ), S_OK) << key;
    }
    return reg;
  }

  // A fresh instance whose root is `base` under HKEY_LOCAL_MACHINE; null when
  // the root cannot be set (that failure is reported here).
  ComPtr<IKTRegistryAccess> RootedAccess(const char* base) {
    ComPtr<IKTRegistryAccess> reg = NewAccess();
    ComPtr<IKTRegRoot> root;
    if (!reg) return reg;
    EXPECT_EQ(reg.As(root), S_OK);
    if (!root) return nullptr;
    const HResult hr = root->SetRoot(HKEY_LOCAL_MACHINE_HIVE, Cs(base));
    EXPECT_EQ(hr, S_OK) << base;
    return hr == S_OK ? reg : nullptr;
  }

  // The DWORD `name` of `key` on a fresh instance; the read must succeed
  // (a sentinel stands in the value until the read fills it).
  uint32_t StoredDword(const char* key, const char* name) {
    uint32_t v = 0xDEADBEEF;
    EXPECT_EQ(ReadDw(ReadableKey(key).Get(), name, v), S_OK) << key << " " << name;
    return v;
  }

  // The string `name` of `key` on a fresh instance; the read must succeed.
  std::string StoredString(const char* key, const char* name) {
    std::string text;
    EXPECT_EQ(ReadStr8(ReadableKey(key).Get(), name, text), S_OK) << key << " " << name;
    return text;
  }

  // The names of the values of the key `reg` has open, in browsing order;
  // `types`, when given, takes each value's type.
  static std::vector<std::string> ValueNames(const ComPtr<IKTRegistryAccess>& reg,
                                             std::vector<uint32_t>* types = nullptr) {
    ComPtr<IRegistryBrowse> browse;
    EXPECT_EQ(reg.As(browse), S_OK);
    std::vector<std::string> names;
    for (uint32_t i = 0; browse; ++i) {
      ComStringHolder name;
      uint32_t type = 0;
      if (browse->EnumValue(i, name.Put(), &type) != S_OK) break;
      names.push_back(ComStringToUtf8(name.Get()));
      if (types) types->push_back(type);
    }
    return names;
  }

 public:

  static HResult ReadDw(IKTRegistryAccess* reg, const char* name, uint32_t& value) {
    return reg->ReadDword(Cs(name), &value);
  }

  static HResult ReadStr(IKTRegistryAccess* reg, std::string_view name, std::u16string& text) {
    ComStringHolder s;
    const HResult hr = reg->ReadString(Cs(name), s.Put());
    if (hr == S_OK) text = std::u16string(ComStringView(s.Get()));
    return hr;
  }

  static HResult ReadStr8(IKTRegistryAccess* reg, std::string_view name, std::string& text) {
    std::u16string t;
    const HResult hr = ReadStr(reg, name, t);
    if (hr == S_OK) text = Utf16ToUtf8(t);
    return hr;
  }

  std::string StorePath() const { return configHome_ + "/quellvox/registry.sqlite3"; }
  std::string AutostartDir() const { return configHome_ + "/autostart"; }

  std::string root_;
  std::string configHome_;

 private:
  bool hadOld_ = false;
  std::string old_;
};

// A connection of its own that holds the store's write lock while it lives,
// as another process's save that never ends would. (Tests that use it link
// SQLite.)
class HeldWriteLock {
 public:
  explicit HeldWriteLock(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  ~HeldWriteLock() { Release(); }
  void Release() {
    if (!db_) return;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
    db_ = nullptr;
  }
  HeldWriteLock(const HeldWriteLock&) = delete;
  HeldWriteLock& operator=(const HeldWriteLock&) = delete;

 private:
  sqlite3* db_ = nullptr;
};

// Runs `body` in a child process; the child's exit code is the body's result.
template <class Body>
pid_t Spawn(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

inline int WaitExitCode(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace quellvox::test
