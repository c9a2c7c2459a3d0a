// The registry-access component: keys and named DWORD and string values,
// reached through counted interfaces. Each load or save creates a fresh
// instance and releases it at the end.
#pragma once

#include <cstdint>

#include "platform/com/com.h"

namespace quellvox {

inline constexpr uint32_t KEY_READ = 0x20019;
inline constexpr uint32_t KEY_WRITE = 0x20006;
inline constexpr uint32_t REG_SZ = 1;
// A read of a value that exists with another type than the one asked for
// (ERROR_UNSUPPORTED_TYPE): the value is there, but not as a number (or text).
inline constexpr HResult E_REG_UNSUPPORTED_TYPE = static_cast<HResult>(0x8007065Eu);
// Hive handle of HKEY_LOCAL_MACHINE, as the component expects it.
inline constexpr uint32_t HKEY_LOCAL_MACHINE_HIVE = 0x80000002u;

inline constexpr Guid kClsidRegistryAccess = {0x2b9c4e70, 0x6d15, 0x4f0a, {0xb3, 0x2e, 0x51, 0x08, 0x6a, 0xc4, 0x11, 0x01}};

// Every method: user-interface thread (settings load and save) or a tool;
// each may block on the store file (a concurrent save is waited for, up to
// 10 s) and may allocate. Never called by a pipeline thread.
class IKTRegistryAccess : public Unknown {
 protected:
  ~IKTRegistryAccess() = default;

 public:
  static constexpr Guid kIid = {0x2b9c4e70, 0x6d15, 0x4f0a, {0xb3, 0x2e, 0x51, 0x08, 0x6a, 0xc4, 0x12, 0x01}};
  virtual HResult CreateKey(const char16_t* keyPath) = 0;                    // 3
  virtual HResult OpenKey(const char16_t* keyPath, uint32_t accessMask) = 0;  // 4
  virtual HResult CloseKey() = 0;                                            // 5
  virtual HResult Reserved6() { return E_NOTIMPL; }
  virtual HResult Reserved7() { return E_NOTIMPL; }
  virtual HResult Reserved8() { return E_NOTIMPL; }
  virtual HResult DeleteValue(const char16_t* valueName) = 0;  // 9
  virtual HResult Reserved10() { return E_NOTIMPL; }
  virtual HResult Reserved11() { return E_NOTIMPL; }
  virtual HResult Reserved12() { return E_NOTIMPL; }
  // 13: on failure *value is left as it was.
  virtual HResult ReadDword(const char16_t* valueName, uint32_t* value) = 0;
  virtual HResult Reserved14() { return E_NOTIMPL; }
  virtual HResult Reserved15() { return E_NOTIMPL; }
  // 16: *text is allocated by the component and freed by the caller.
  virtual HResult ReadString(const char16_t* valueName, ComString* text) = 0;
  virtual HResult Reserved17() { return E_NOTIMPL; }
  virtual HResult Reserved18() { return E_NOTIMPL; }
  virtual HResult WriteDword(const char16_t* valueName, uint32_t value) = 0;  // 19
  virtual HResult Reserved20() { return E_NOTIMPL; }
  virtual HResult Reserved21() { return E_NOTIMPL; }
  virtual HResult Reserved22() { return E_NOTIMPL; }
  virtual HResult WriteString(const char16_t* valueName, const char16_t* text, uint32_t valueType) = 0;  // 23
};

// User-interface thread or a tool; does not block, may allocate.
class IKTRegRoot : public Unknown {
 protected:
  ~IKTRegRoot() = default;

 public:
  static constexpr Guid kIid = {0x2b9c4e70, 0x6d15, 0x4f0a, {0xb3, 0x2e, 0x51, 0x08, 0x6a, 0xc4, 0x12, 0x02}};
  // Later key paths of this instance are relative to hive\basePath.
  virtual HResult SetRoot(uint32_t hive, const char16_t* basePath) = 0;  // 3
};

// The end of a save, for a caller that must know whether it reached the
// disk. Obtained by query interface from the same instance; an instance
// without it saves when it is released, with no word on failure.
// User-interface thread or a tool; may block for the store's bounded wait.
class IRegistryTransaction : public Unknown {
 protected:
  ~IRegistryTransaction() = default;

 public:
  static constexpr Guid kIid = {0x2b9c4e70, 0x6d15, 0x4f0a, {0xb3, 0x2e, 0x51, 0x08, 0x6a, 0xc4, 0x12, 0x04}};
  // Ends what this process has open on the store (the writes of every
  // instance, including ones created inside this one) and returns whether
  // all of it was saved: S_OK, or the first failure of a write since the
  // transaction began, or of the commit. On failure nothing of it is
  // saved. Open keys stay open; later calls start a new transaction.
  virtual HResult Commit() = 0;
  // Ends what this process has open on the store without saving any of it
  // (a save that could not be finished). Open keys stay open.
  virtual HResult Rollback() = 0;
};

}  // namespace quellvox
