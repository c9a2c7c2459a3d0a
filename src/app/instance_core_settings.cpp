// Loading and saving the instance's settings, its logon entry and the
// statistics window position through the registry component.
#include <string>
#include <string_view>
#include <utility>

#include "app/instance_core.h"
#include "config/persistence.h"
#include "platform/registry_api/registry_access.h"
#include "platform/system/debug_trace.h"

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

// Reasons are added on a line of their own after the text of the step.
constexpr std::string_view kStoreUnavailable = "Can't open the settings store.";
constexpr std::string_view kNotSaved = "Settings not saved!";

// Shows `text` (when there is somebody to show it to) and returns it as a
// failed status; `reason` on a line of its own after it.
Status Failed(UserMessages* messages, std::string_view text, const std::string& reason = {}) {
  std::string message(text);
  if (!reason.empty()) message += "\r\n" + reason;
  if (messages) messages->Show(message, kProgramName, MB_ICONEXCLAMATION | MB_TOPMOST);
  return Status::Failed(std::move(message));
}

// A component that cannot be created: not installed (the class is missing),
// or its store cannot be opened, with the store's path and reason.
Status NoComponent(UserMessages* messages, HResult hr) {
  std::string reason = TakeErrorDescription();
  if (hr == REGDB_E_CLASSNOTREG || reason.empty()) return Failed(messages, kNoRegistryClass);
  return Failed(messages, kStoreUnavailable, reason);
}

// The message for a logon entry that could not be written: "Run on logon"
// would otherwise stay ticked with no entry behind it.
std::string LogonEntryNotWritten(HResult hr) {
  std::string text = Status::CallFailed(hr, "Can't create the logon entry of this instance").Message();
  if (hr == E_INVALIDARG) {
    text += "\nThe entry would be larger than 64 KiB: the instance identifier is too long for it.";
  } else if (hr == E_ACCESSDENIED) {
    text += "\nA file that is not Quellvox's has the entry's name in the autostart folder.";
  }
  return text;
}

// The root interface of the same instance, pointed at the key of the logon
// entries; shows the message of the step that failed.
ComPtr<IKTRegRoot> RunRoot(const ComPtr<IKTRegistryAccess>& reg, UserMessages* messages, Status& status) {
  ComPtr<IKTRegRoot> root;
  if (reg.As(root) < 0 || !root) {
    status = Failed(messages, kNoRootInterface);
    return nullptr;
  }
  if (root->SetRoot(HKEY_LOCAL_MACHINE_HIVE, ComText(kRunRoot)) != S_OK) {
    status = Failed(messages, kNoAutoRunRoot);
    return nullptr;
  }
  return root;
}

}  // namespace

Status InstanceCore::ReadStore(StoredState& state, UserMessages* messages) {
  const char* id = InstanceId.c_str();
  TakeErrorDescription();
  ComPtr<IKTRegistryAccess> reg;
  const HResult created = CreateInstance(kClsidRegistryAccess, reg);
  if (created != S_OK || !reg) return NoComponent(messages, created);
  const HResult opened = reg->OpenKey(ComText(InstanceKeyPath), KEY_READ);
  if (opened != S_OK) {
    // No key yet: the first run, everything keeps its default.
    const std::string reason = TakeErrorDescription();
    if (opened == E_NOTFOUND || reason.empty()) return {};
    return Failed(messages, kStoreUnavailable, reason);
  }
  uint32_t autoStart = 0;
  const HResult autoStartRead = reg->ReadDword(ComText("AutoStart"), &autoStart);
  if (autoStartRead == S_OK) state.AutoStart = autoStart != 0;
  if (autoStartRead == E_REG_UNSUPPORTED_TYPE && messages) {
    DebugTrace("Quellvox%s::LoadSettings - AutoStart has the wrong type and is ignored.\n", id);
  }
  reg->CloseKey();

  SettingsReport report;
  ReadSettings(state.Settings, TitleEngines, CaptureSources, InstanceKeyPath, &report);
  if (messages) {
    for (const std::string& note : report.Notes) DebugTrace("Quellvox%s::LoadSettings - %s.\n", id, note.c_str());
  }

  Status status;
  const ComPtr<IKTRegRoot> root = RunRoot(reg, messages, status);
  if (!root) return status;
  if (reg->OpenKey(ComText(kRunKey), KEY_READ) != S_OK) {
    state.RunOnLogon = false;
    return Failed(messages, kNoAutoRunKey);
  }
  ComStringHolder command;
  state.RunOnLogon = reg->ReadString(ComText(RunValueName), command.Put()) == S_OK &&
                     EqualsIgnoringCase(ComStringToUtf8(command.Get()), RunCommand);
  reg->CloseKey();
  return status;
}

Status InstanceCore::LoadSettings() {
  StoredState state{Settings, AutoStart, RunOnLogon};
  const Status status = ReadStore(state, &Messages);
  Settings = state.Settings;
  AutoStart = state.AutoStart;
  RunOnLogon = state.RunOnLogon;
  stored_ = state;
  return status;
}

bool InstanceCore::TakeStoreChanges() {
  StoredState now = stored_;
  if (!ReadStore(now, nullptr).IsOk()) return false;
  if (SameStoredFields(now.Settings, stored_.Settings) && now.AutoStart == stored_.AutoStart &&
      now.RunOnLogon == stored_.RunOnLogon) {
    return false;
  }
  DebugTrace("Quellvox%s::Settings changed in the registry since the last load or save: taken.\n",
             InstanceId.c_str());
  Settings = now.Settings;
  AutoStart = now.AutoStart;
  RunOnLogon = now.RunOnLogon;
  stored_ = now;
  return true;
}

Status InstanceCore::SaveSettings() {
  TakeErrorDescription();
  ComPtr<IKTRegistryAccess> reg;
  const HResult created = CreateInstance(kClsidRegistryAccess, reg);
  if (created != S_OK || !reg) return NoComponent(&Messages, created);
  const ComText key(InstanceKeyPath);
  if (reg->OpenKey(key, KEY_WRITE) != S_OK && reg->CreateKey(key) != S_OK) {
    return Failed(&Messages, kNoInstanceKey, TakeErrorDescription());
  }
  // The record and AutoStart are one save: WriteSettings ends it, kept
  // whole or not at all.
  const HResult autoStartWritten = reg->WriteDword(ComText("AutoStart"), AutoStart ? 1 : 0);
  reg->CloseKey();
  if (autoStartWritten != S_OK) {
    const std::string reason = TakeErrorDescription();
    ComPtr<IRegistryTransaction> transaction;
    if (reg.As(transaction) >= 0 && transaction) transaction->Rollback();
    return Failed(&Messages, kNotSaved, reason);
  }

  const Status written = WriteSettings(Settings, TitleEngines, CaptureSources, InstanceKeyPath);
  if (!written.IsOk()) return Failed(&Messages, kNotSaved, written.Message());
  stored_.Settings = Settings;
  stored_.AutoStart = AutoStart;

  Status status;
  const ComPtr<IKTRegRoot> root = RunRoot(reg, &Messages, status);
  if (!root) return status;
  if (reg->OpenKey(ComText(kRunKey), KEY_WRITE) != S_OK) return Failed(&Messages, kNoAutoRunKey);
  if (RunOnLogon) {
    const HResult hr = reg->WriteString(ComText(RunValueName), ComText(RunCommand), REG_SZ);
    if (hr != S_OK) {
      // The settings are stored; the entry is not, and the operator hears it.
      reg->CloseKey();
      return Failed(&Messages, LogonEntryNotWritten(hr));
    }
  } else {
    reg->DeleteValue(ComText(RunValueName));
  }
  stored_.RunOnLogon = RunOnLogon;
  reg->CloseKey();
  return status;
}

Status InstanceCore::SaveStatsWindowPosition(int32_t x, int32_t y) {
  ComPtr<IKTRegistryAccess> reg;
  if (const HResult hr = CreateInstance(kClsidRegistryAccess, reg); hr != S_OK || !reg) {
    return Status::CallFailed(hr < 0 ? hr : E_FAIL, "Can't reach the settings store");
  }
  if (const HResult hr = reg->OpenKey(ComText(InstanceKeyPath), KEY_WRITE); hr != S_OK) {
    return Status::CallFailed(hr < 0 ? hr : E_FAIL, "Can't open the key of this instance");
  }
  HResult hr = reg->WriteDword(ComText("X0"), static_cast<uint32_t>(x));
  if (hr == S_OK) hr = reg->WriteDword(ComText("Y0"), static_cast<uint32_t>(y));
  reg->CloseKey();
  if (hr != S_OK) return Status::CallFailed(hr < 0 ? hr : E_FAIL, "Can't save the position of the statistics window");
  return Status::Ok();
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
