// Loading and saving the instance's settings, its logon entry and the
// statistics window position through the registry component.
#include <cstdio>
#include <string>
#include <string_view>

#include "app/instance_core.h"
#include "config/persistence.h"
#include "platform/registry_api/registry_access.h"

namespace quellvox {

namespace {

constexpr std::string_view kNoRegistryClass = "Need reinstall software !\r\nNo class for registry access.";
constexpr std::string_view kNoRootInterface = "Need reinstall software !\r\nNo interface IKTRegRoot.";
constexpr std::string_view kNoAutoRunRoot = "Can't access to AutoRun folder #1";
constexpr std::string_view kNoAutoRunKey = "Can't access to AutoRun folder #2";
constexpr std::string_view kNoInstanceKey = "Can't access to application registry folder";

// The key that holds the logon entries, relative to the root set below.
constexpr std::string_view kRunRoot = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr std::string_view kRunKey = "Run";

void Warn(UserMessages& messages, std::string_view text) {
  messages.Show(text, kProgramName, MB_ICONEXCLAMATION | MB_TOPMOST);
}

// The message for a logon entry that could not be written: "Run on logon"
// would otherwise stay ticked with no entry behind it.
std::string LogonEntryNotWritten(HResult hr) {
  char code[48];
  std::snprintf(code, sizeof code, "0x%X/%d", static_cast<unsigned>(hr), static_cast<int>(hr));
  std::string text = std::string("Can't create the logon entry of this instance, error = ") + code + ".";
  if (hr == E_INVALIDARG) {
    text += "\nThe entry would be larger than 64 KiB: the instance identifier is too long for it.";
  } else if (hr == E_ACCESSDENIED) {
    text += "\nA file that is not Quellvox's has the entry's name in the autostart folder.";
  }
  return text;
}

// The root interface of the same instance, pointed at the key of the logon
// entries; shows the message of the step that failed.
ComPtr<IKTRegRoot> RunRoot(const ComPtr<IKTRegistryAccess>& reg, UserMessages& messages) {
  ComPtr<IKTRegRoot> root;
  if (reg.As(root) < 0 || !root) {
    Warn(messages, kNoRootInterface);
    return nullptr;
  }
  if (root->SetRoot(HKEY_LOCAL_MACHINE_HIVE, ComText(kRunRoot)) != S_OK) {
    Warn(messages, kNoAutoRunRoot);
    return nullptr;
  }
  return root;
}

}  // namespace

void InstanceCore::LoadSettings() {
  ComPtr<IKTRegistryAccess> reg;
  if (CreateInstance(kClsidRegistryAccess, reg) != S_OK || !reg) {
    Warn(Messages, kNoRegistryClass);
    return;
  }
  // No key yet: the first run, everything keeps its default.
  if (reg->OpenKey(ComText(InstanceKeyPath), KEY_READ) != S_OK) return;
  uint32_t autoStart = 0;
  if (reg->ReadDword(ComText("AutoStart"), &autoStart) == S_OK) AutoStart = autoStart != 0;
  reg->CloseKey();

  ReadSettings(Settings, TitleEngines, CaptureSources, InstanceKeyPath);

  const ComPtr<IKTRegRoot> root = RunRoot(reg, Messages);
  if (!root) return;
  if (reg->OpenKey(ComText(kRunKey), KEY_READ) != S_OK) {
    RunOnLogon = false;
    Warn(Messages, kNoAutoRunKey);
    return;
  }
  ComStringHolder command;
  RunOnLogon = reg->ReadString(ComText(RunValueName), command.Put()) == S_OK &&
               EqualsIgnoringCase(ComStringToUtf8(command.Get()), RunCommand);
  reg->CloseKey();
}

void InstanceCore::SaveSettings() {
  ComPtr<IKTRegistryAccess> reg;
  if (CreateInstance(kClsidRegistryAccess, reg) != S_OK || !reg) {
    Warn(Messages, kNoRegistryClass);
    return;
  }
  const ComText key(InstanceKeyPath);
  if (reg->OpenKey(key, KEY_WRITE) != S_OK && reg->CreateKey(key) != S_OK) {
    Warn(Messages, kNoInstanceKey);
    return;
  }
  reg->WriteDword(ComText("AutoStart"), AutoStart ? 1 : 0);
  reg->CloseKey();

  WriteSettings(Settings, TitleEngines, CaptureSources, InstanceKeyPath);

  const ComPtr<IKTRegRoot> root = RunRoot(reg, Messages);
  if (!root) return;
  if (reg->OpenKey(ComText(kRunKey), KEY_WRITE) != S_OK) {
    Warn(Messages, kNoAutoRunKey);
    return;
  }
  if (RunOnLogon) {
    const HResult hr = reg->WriteString(ComText(RunValueName), ComText(RunCommand), REG_SZ);
    if (hr != S_OK) Warn(Messages, LogonEntryNotWritten(hr));
  } else {
    reg->DeleteValue(ComText(RunValueName));
  }
  reg->CloseKey();
}

bool InstanceCore::SaveStatsWindowPosition(int32_t x, int32_t y) {
  ComPtr<IKTRegistryAccess> reg;
  if (CreateInstance(kClsidRegistryAccess, reg) != S_OK || !reg) return false;
  // The key is not created here: a position alone makes no instance.
  if (reg->OpenKey(ComText(InstanceKeyPath), KEY_WRITE) != S_OK) return false;
  reg->WriteDword(ComText("X0"), static_cast<uint32_t>(x));
  reg->WriteDword(ComText("Y0"), static_cast<uint32_t>(y));
  reg->CloseKey();
  return true;
}

bool InstanceCore::LoadStatsWindowPosition(int32_t& x, int32_t& y) {
  ComPtr<IKTRegistryAccess> reg;
  if (CreateInstance(kClsidRegistryAccess, reg) != S_OK || !reg) return false;
  if (reg->OpenKey(ComText(InstanceKeyPath), KEY_READ) != S_OK) return false;
  uint32_t storedX = 0;
  uint32_t storedY = 0;
  const bool found = reg->ReadDword(ComText("X0"), &storedX) == S_OK && reg->ReadDword(ComText("Y0"), &storedY) == S_OK;
  if (found) {
    x = static_cast<int32_t>(storedX);  // the bit pattern of a signed position
    y = static_cast<int32_t>(storedY);
  }
  reg->CloseKey();
  return found;
}

}  // namespace quellvox
