// The registry-access component on Linux: keys and named DWORD and string
// values in one SQLite file per user, and the logon-start key mapped onto
// the XDG autostart folder.
//
// Where things live ($XDG_CONFIG_HOME, default ~/.config):
//   $XDG_CONFIG_HOME/quellvox/registry.sqlite3   every key and value
//   $XDG_CONFIG_HOME/autostart/                  the values of the key
//       HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Run,
//       one .desktop entry per value
//
// Key paths are backslash-separated key names relative to the instance's
// root (HKEY_LOCAL_MACHINE\Software for a fresh instance); a path with an
// empty name in it (a leading, trailing or doubled backslash) is refused
// with E_INVALIDARG. Key and value names ignore case and keep the case they
// were first written with.
//
// Saves. Every component instance of a process that uses the same store
// shares one connection and one transaction: the transaction starts with the
// first key opened (a read snapshot, or the write lock when the key is
// opened or created for writing) and is committed when the last of those
// instances is released. A save that creates several instances one inside
// the other (the settings save does) is therefore one transaction: another
// process sees all of it or none of it, and a process killed in the middle
// leaves every earlier save as it was. Writers of other processes wait for
// the lock (busy timeout) instead of failing. Instances are meant to live
// for one load or save; one kept alive keeps the write lock. The connection
// itself stays open between saves (see RegistryStore::Acquire).
#pragma once

#include <cstdint>
#include <string>

#include "platform/registry_api/registry_access.h"
#include "platform/com/com.h"

namespace quellvox {

inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t HKEY_CURRENT_USER_HIVE = 0x80000001u;

// Access bits of OpenKey's mask that the component honours.
inline constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr uint32_t KEY_SET_VALUE = 0x0002;

// Result codes beyond com.h (Win32 errors in result-code form).
// The store file is not a database of this component, or is damaged (ERROR_BADDB).
inline constexpr HResult E_REG_BADDB = static_cast<HResult>(0x800703F1u);
// The store cannot be opened or created (ERROR_CANTOPEN).
inline constexpr HResult E_REG_CANTOPEN = static_cast<HResult>(0x800703F3u);
// A read of the store failed (ERROR_CANTREAD).
inline constexpr HResult E_REG_CANTREAD = static_cast<HResult>(0x800703F4u);
// A write of the store or of an autostart entry failed, or the write lock
// could not be had within the busy timeout (ERROR_CANTWRITE).
inline constexpr HResult E_REG_CANTWRITE = static_cast<HResult>(0x800703F5u);
// No key is open (ERROR_INVALID_HANDLE).
inline constexpr HResult E_REG_NOKEY = static_cast<HResult>(0x80070006u);

// How long one load or save waits, all in all, for another process that
// holds the store (its write lock, or an exclusive lock on the file) before
// it gives up with E_REG_CANTREAD or E_REG_CANTWRITE. Another process's
// save holds the lock for milliseconds; a longer hold is a stuck process,
// and the user-interface thread that waits for it is frozen meanwhile.
inline constexpr int kRegistryBusyTimeoutMs = 2000;
// Of that, how long a writer waits for its turn in the writers' queue (see
// RegistryStore::EnsureWrite) before it goes for the write lock without it:
// a process that holds the queue and never takes the write lock (a stuck
// one) costs each save this much, not the whole wait.
inline constexpr int kRegistryQueueWaitMs = 200;
// A wait for the store ends at once when AbandonComponentWaits (com.h) was
// called: the waiting load or save fails as if the wait had timed out.

// Browsing the open key, for tools: the values in the order of their folded
// names. Obtained by query interface from the same instance.
class IRegistryBrowse : public Unknown {
 protected:
  ~IRegistryBrowse() = default;

 public:
  static constexpr Guid kIid = {0x2b9c4e70, 0x6d15, 0x4f0a, {0xb3, 0x2e, 0x51, 0x08, 0x6a, 0xc4, 0x12, 0x03}};
  // Name (caller frees) and type (REG_DWORD or REG_SZ) of value `index`,
  // 0-based; E_NOTFOUND past the last value.
  virtual HResult EnumValue(uint32_t index, ComString* name, uint32_t* type) = 0;
  // Type of one value; E_NOTFOUND when it does not exist.
  virtual HResult QueryValueType(const char16_t* name, uint32_t* type) = 0;
};

// Registers the component under kClsidRegistryAccess with the class factory.
// Creating an instance opens the store (creating it on first use); when the
// file is not a database of this component or cannot be opened, the creation
// fails with E_REG_BADDB, E_REG_CANTOPEN or E_REG_CANTREAD (locked by
// another process) and the file is left as it was. Every failure of the
// store sets the thread's error text (SetErrorDescription) to the store's path and
// the reason ("<path>: Read-only file system").
void RegisterRegistryAccess();

// The class factory function RegisterRegistryAccess registers (for wrappers
// that register it under another class identifier).
HResult RegistryAccessFactory(const Guid& iid, void** out);

// $XDG_CONFIG_HOME when it is set to an absolute path, else $HOME/.config;
// empty when neither can be found. Read from the environment at each call.
std::string ConfigHome();
std::string RegistryStorePath();    // ConfigHome()/quellvox/registry.sqlite3
std::string AutostartFolderPath();  // ConfigHome()/autostart

}  // namespace quellvox
