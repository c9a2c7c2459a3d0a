#include "platform/registry/registry_component.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/com/case_fold.h"
#include "platform/com/com_object.h"
#include "platform/registry/autostart.h"
#include "platform/registry/registry_store.h"

namespace quellvox {

namespace {

// The folded full path of the logon-start key, which lives in the autostart
// folder instead of the store.
constexpr std::string_view kRunKey = "hkey_local_machine\\software\\microsoft\\windows\\currentversion\\run";

const char16_t* HiveName(uint32_t hive) {
  switch (hive) {
    case HKEY_LOCAL_MACHINE_HIVE:
      return u"HKEY_LOCAL_MACHINE";
    case HKEY_CURRENT_USER_HIVE:
      return u"HKEY_CURRENT_USER";
    default:
      return nullptr;
  }
}

// Appends the components of a backslash-separated path; an empty path
// appends none. False for an empty component (a leading, trailing or doubled
// backslash names no key: taking it as the key without it would make
// "Quellvox\#1\" and "Quellvox\#1" one key) and for a component that is not
// well-formed UTF-16.
bool AppendComponents(std::u16string_view path, std::vector<std::u16string>& out) {
  if (path.empty()) return true;
  size_t pos = 0;
  for (;;) {
    size_t end = path.find(u'\\', pos);
    if (end == std::u16string_view::npos) end = path.size();
    const std::u16string_view part = path.substr(pos, end - pos);
    if (part.empty() || !IsWellFormedUtf16(part)) return false;
    out.emplace_back(part);
    if (end == path.size()) return true;
    pos = end + 1;
  }
}

// A key path resolved against the root: every prefix from the hive down to
// the key itself, as given and folded.
struct ResolvedKey {
  std::vector<std::string> Paths;
  std::vector<std::string> PathKeys;
  bool Autostart = false;
};

class RegistryAccessObject final
    : public ComObject<IKTRegistryAccess, IKTRegRoot, IRegistryBrowse, IRegistryTransaction> {
 public:
  RegistryAccessObject(std::shared_ptr<RegistryStore> store, std::string autostartDir)
      : store_(std::move(store)), autostart_(std::move(autostartDir)) {}

  // Releasing the instance closes its key; the last instance of the process
  // that uses the store commits the transaction.
  ~RegistryAccessObject() override {
    CloseKey();
    store_->Leave();
  }


  // IKTRegistryAccess

  HResult CreateKey(const char16_t* keyPath) override {
    CloseKey();
    ResolvedKey key;
    if (!Resolve(ComStringView(keyPath), key)) return E_INVALIDARG;
    if (!key.Autostart) {
      std::lock_guard lock(store_->Mutex());
      HResult hr = store_->EnsureWrite();
      if (hr == S_OK) hr = store_->CreateKey(key.PathKeys, key.Paths);
      if (hr != S_OK) return hr;
    }
    Open(key, KEY_QUERY_VALUE | KEY_SET_VALUE);
    return S_OK;
  }

  HResult OpenKey(const char16_t* keyPath, uint32_t accessMask) override {
    CloseKey();
    if (!(accessMask & (KEY_QUERY_VALUE | KEY_SET_VALUE))) return E_INVALIDARG;
    ResolvedKey key;
    if (!Resolve(ComStringView(keyPath), key)) return E_INVALIDARG;
    if (!key.Autostart) {
      std::lock_guard lock(store_->Mutex());
      HResult hr = (accessMask & KEY_SET_VALUE) ? store_->EnsureWrite() : store_->EnsureRead();
      bool exists = false;
      if (hr == S_OK) hr = store_->KeyExists(key.PathKeys.back(), exists);
      if (hr != S_OK) return hr;
      if (!exists) return E_NOTFOUND;
    }
    Open(key, accessMask);
    return S_OK;
  }

  HResult CloseKey() override {
    kind_ = KeyKind::None;
    pathKey_.clear();
    canRead_ = canWrite_ = false;
    return S_OK;
  }

  HResult DeleteValue(const char16_t* valueName) override {
    const std::u16string_view name = ComStringView(valueName);
    HResult hr = CheckAccess(name, /*write=*/true);
    if (hr != S_OK) return hr;
    if (kind_ == KeyKind::Autostart) return AutostartFolder(autostart_).Remove(name);
    std::lock_guard lock(store_->Mutex());
    hr = store_->EnsureWrite();
    return hr == S_OK ? store_->DeleteValue(pathKey_, FoldName(name)) : hr;
  }

  HResult ReadDword(const char16_t* valueName, uint32_t* value) override {
    if (!value) return E_POINTER;
    StoredValue v;
    const HResult hr = Read(ComStringView(valueName), v);
    if (hr != S_OK) return hr;
    if (v.Type != REG_DWORD) return E_REG_UNSUPPORTED_TYPE;
    *value = v.Dword;
    return S_OK;
  }

  HResult ReadString(const char16_t* valueName, ComString* text) override {
    if (!text) return E_POINTER;
    StoredValue v;
    const HResult hr = Read(ComStringView(valueName), v);
    if (hr != S_OK) return hr;
    if (v.Type != REG_SZ) return E_REG_UNSUPPORTED_TYPE;
    ComString s = ComStringFromUtf8(v.Text);
    if (!s) return E_OUTOFMEMORY;
    *text = s;
    return S_OK;
  }

  HResult WriteDword(const char16_t* valueName, uint32_t value) override {
    const std::u16string_view name = ComStringView(valueName);
    HResult hr = CheckAccess(name, /*write=*/true);
    if (hr != S_OK) return hr;
    if (kind_ == KeyKind::Autostart) return E_REG_UNSUPPORTED_TYPE;  // an entry holds a command only
    StoredValue v;
    v.Name = Utf16ToUtf8(name);
    v.Type = REG_DWORD;
    v.Dword = value;
    return Write(name, v);
  }

  HResult WriteString(const char16_t* valueName, const char16_t* text, uint32_t valueType) override {
    const std::u16string_view name = ComStringView(valueName);
    const std::u16string_view data = ComStringView(text);
    if (valueType != REG_SZ) return E_INVALIDARG;
    HResult hr = CheckAccess(name, /*write=*/true);
    if (hr != S_OK) return hr;
    if (kind_ == KeyKind::Autostart) return AutostartFolder(autostart_).Write(name, data);
    // The store keeps UTF-8; a text without a UTF-8 form could not read back as written.
    if (!IsWellFormedUtf16(data)) return E_INVALIDARG;
    StoredValue v;
    v.Name = Utf16ToUtf8(name);
    v.Type = REG_SZ;
    v.Text = Utf16ToUtf8(data);
    return Write(name, v);
  }


  // IKTRegRoot

  HResult SetRoot(uint32_t hive, const char16_t* basePath) override {
    const char16_t* hiveName = HiveName(hive);
    if (!hiveName) return E_INVALIDARG;
    std::vector<std::u16string> base;
    if (!AppendComponents(ComStringView(basePath), base)) return E_INVALIDARG;
    hive_ = hiveName;
    base_ = std::move(base);
    return S_OK;
  }

  // IRegistryBrowse

  HResult EnumValue(uint32_t index, ComString* name, uint32_t* type) override {
    if (!name || !type) return E_POINTER;
    if (kind_ == KeyKind::None) return E_REG_NOKEY;
    std::u16string found;
    uint32_t foundType = REG_SZ;
    if (kind_ == KeyKind::Autostart) {
      std::vector<std::u16string> names;
      const HResult hr = AutostartFolder(autostart_).List(names);
      if (hr != S_OK) return hr;
      if (index >= names.size()) return E_NOTFOUND;
      found = names[index];
    } else {
      StoredValue v;
      std::lock_guard lock(store_->Mutex());
      HResult hr = store_->EnsureRead();
      if (hr == S_OK) hr = store_->ValueAt(pathKey_, index, v);
      if (hr != S_OK) return hr;
      found = Utf8ToUtf16(v.Name);
      foundType = v.Type;
    }
    ComString s = ComStringAlloc(found);
    if (!s) return E_OUTOFMEMORY;
    *name = s;
    *type = foundType;
    return S_OK;
  }

  // IRegistryTransaction

  HResult Commit() override {
    std::lock_guard lock(store_->Mutex());
    return store_->Commit();
  }

  HResult Rollback() override {
    std::lock_guard lock(store_->Mutex());
    store_->Rollback();
    return S_OK;
  }

  HResult QueryValueType(const char16_t* valueName, uint32_t* type) override {
    if (!type) return E_POINTER;
    StoredValue v;
    const HResult hr = Read(ComStringView(valueName), v);
    if (hr == S_OK) *type = v.Type;
    return hr;
  }

 private:
  enum class KeyKind { None, Store, Autostart };

  bool Resolve(std::u16string_view relative, ResolvedKey& out) const {
    std::vector<std::u16string> parts = base_;
    if (!AppendComponents(relative, parts)) return false;
    std::u16string path = hive_;
    out.Paths.push_back(Utf16ToUtf8(path));
    out.PathKeys.push_back(FoldName(path));
    for (const std::u16string& part : parts) {
      path.append(u"\\").append(part);
      out.Paths.push_back(Utf16ToUtf8(path));
      out.PathKeys.push_back(FoldName(path));
    }
    out.Autostart = out.PathKeys.back() == kRunKey;
    return true;
  }

  void Open(const ResolvedKey& key, uint32_t accessMask) {
    kind_ = key.Autostart ? KeyKind::Autostart : KeyKind::Store;
    pathKey_ = key.PathKeys.back();
    canRead_ = (accessMask & KEY_QUERY_VALUE) != 0;
    canWrite_ = (accessMask & KEY_SET_VALUE) != 0;
  }

  HResult CheckAccess(std::u16string_view name, bool write) const {
    if (kind_ == KeyKind::None) return E_REG_NOKEY;
    if (write ? !canWrite_ : !canRead_) return E_ACCESSDENIED;
    if (!IsWellFormedUtf16(name)) return E_INVALIDARG;
    return S_OK;
  }

  HResult Read(std::u16string_view name, StoredValue& out) {
    const HResult hr = CheckAccess(name, /*write=*/false);
    if (hr != S_OK) return hr;
    if (kind_ == KeyKind::Autostart) {
      std::u16string text;
      const HResult r = AutostartFolder(autostart_).Read(name, text);
      if (r != S_OK) return r;
      out.Name = Utf16ToUtf8(name);
      out.Type = REG_SZ;
      out.Text = Utf16ToUtf8(text);
      return S_OK;
    }
    std::lock_guard lock(store_->Mutex());
    HResult r = store_->EnsureRead();
    return r == S_OK ? store_->ReadValue(pathKey_, FoldName(name), out) : r;
  }

  HResult Write(std::u16string_view name, const StoredValue& v) {
    std::lock_guard lock(store_->Mutex());
    const HResult hr = store_->EnsureWrite();
    return hr == S_OK ? store_->WriteValue(pathKey_, FoldName(name), v) : hr;
  }

  std::shared_ptr<RegistryStore> store_;
  std::string autostart_;
  // The root key paths are resolved against; a fresh instance starts at
  // HKEY_LOCAL_MACHINE\Software.
  std::u16string hive_ = u"HKEY_LOCAL_MACHINE";
  std::vector<std::u16string> base_{u"Software"};
  KeyKind kind_ = KeyKind::None;
  std::string pathKey_;
  bool canRead_ = false;
  bool canWrite_ = false;
};

}  // namespace

HResult RegistryAccessFactory(const Guid& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  std::shared_ptr<RegistryStore> store;
  const HResult hr = RegistryStore::Acquire(RegistryStorePath(), store);
  if (hr != S_OK) return hr;
  return HandOut(new RegistryAccessObject(std::move(store), AutostartFolderPath()), iid, out);
}

void RegisterRegistryAccess() { RegisterClassFactory(kClsidRegistryAccess, &RegistryAccessFactory); }

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.config";
  passwd pw{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
      found->pw_dir[0] == '/') {
    return std::string(found->pw_dir) + "/.config";
  }
  return {};
}

std::string RegistryStorePath() {
  const std::string home = ConfigHome();
  return home.empty() ? std::string() : home + "/quellvox/registry.sqlite3";
}

std::string AutostartFolderPath() {
  const std::string home = ConfigHome();
  return home.empty() ? std::string() : home + "/autostart";
}

}  // namespace quellvox
