#include "recording_registry.h"

#include <cstdio>

#include "platform/registry/registry_component.h"

namespace quellvox::test {

namespace {

RegistryFaults g_faults;
std::vector<std::string> g_calls;

// The real component, registered under a class identifier of its own.
constexpr Guid kClsidRealRegistry = {0x7d1e2c40, 0x1111, 0x4a4a, {1, 2, 3, 4, 5, 6, 7, 8}};

std::string Hex(uint32_t v) {
  char t[16];
  std::snprintf(t, sizeof t, "%X", v);
  return t;
}

class RecordingRegistry final : public IKTRegistryAccess,
                                public IKTRegRoot,
                                public IRegistryTransaction,
                                public ComObjectBase {
 public:
  explicit RecordingRegistry(ComPtr<IKTRegistryAccess> inner) : inner_(std::move(inner)) {}
  ~RecordingRegistry() override { g_calls.push_back("Release"); }

  HResult QueryInterface(const Guid& iid, void** out) override {
    *out = nullptr;
    if (iid == Unknown::kIid || iid == IKTRegistryAccess::kIid) {
      *out = static_cast<IKTRegistryAccess*>(this);
    } else if (iid == IKTRegRoot::kIid) {
      g_calls.push_back("QueryRoot");
      if (g_faults.NoRootInterface) return E_NOINTERFACE;
      *out = static_cast<IKTRegRoot*>(this);
    } else if (iid == IRegistryTransaction::kIid) {
      *out = static_cast<IRegistryTransaction*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRefImpl();
    return S_OK;
  }
  QUELLVOX_COM_REFCOUNT

  HResult CreateKey(const char16_t* keyPath) override {
    const std::string path = ComStringToUtf8(keyPath);
    g_calls.push_back("CreateKey " + path);
    if (g_faults.FailCreate.count(path)) return E_ACCESSDENIED;
    return inner_->CreateKey(keyPath);
  }
  HResult OpenKey(const char16_t* keyPath, uint32_t accessMask) override {
    const std::string path = ComStringToUtf8(keyPath);
    g_calls.push_back("OpenKey " + path + " " + Hex(accessMask));
    if (g_faults.FailOpen.count(path)) return E_ACCESSDENIED;
    return inner_->OpenKey(keyPath, accessMask);
  }
  HResult CloseKey() override {
    g_calls.push_back("CloseKey");
    return inner_->CloseKey();
  }
  HResult DeleteValue(const char16_t* name) override {
    g_calls.push_back("DeleteValue " + ComStringToUtf8(name));
    return inner_->DeleteValue(name);
  }
  HResult ReadDword(const char16_t* name, uint32_t* value) override {
    g_calls.push_back("ReadDword " + ComStringToUtf8(name));
    return inner_->ReadDword(name, value);
  }
  HResult ReadString(const char16_t* name, ComString* text) override {
    g_calls.push_back("ReadString " + ComStringToUtf8(name));
    return inner_->ReadString(name, text);
  }
  HResult WriteDword(const char16_t* name, uint32_t value) override {
    g_calls.push_back("WriteDword " + ComStringToUtf8(name));
    if (g_faults.FailWrite.count(ComStringToUtf8(name))) return E_REG_CANTWRITE;
    return inner_->WriteDword(name, value);
  }
  HResult WriteString(const char16_t* name, const char16_t* text, uint32_t type) override {
    g_calls.push_back("WriteString " + ComStringToUtf8(name));
    if (g_faults.FailWrite.count(ComStringToUtf8(name))) return E_REG_CANTWRITE;
    return inner_->WriteString(name, text, type);
  }
  HResult SetRoot(uint32_t hive, const char16_t* basePath) override {
    g_calls.push_back("SetRoot " + ComStringToUtf8(basePath));
    if (g_faults.SetRootResult != S_OK) return g_faults.SetRootResult;
    ComPtr<IKTRegRoot> root;
    const HResult hr = inner_.As(root);
    return hr < 0 ? hr : root->SetRoot(hive, basePath);
  }

  // Not recorded: the end of a save is no call of the settings' own.
  HResult Commit() override { return Transaction()->Commit(); }
  HResult Rollback() override { return Transaction()->Rollback(); }

  HResult Reserved6() override { return E_NOTIMPL; }
  HResult Reserved7() override { return E_NOTIMPL; }
  HResult Reserved8() override { return E_NOTIMPL; }
  HResult Reserved10() override { return E_NOTIMPL; }
  HResult Reserved11() override { return E_NOTIMPL; }
  HResult Reserved12() override { return E_NOTIMPL; }
  HResult Reserved14() override { return E_NOTIMPL; }
  HResult Reserved15() override { return E_NOTIMPL; }
  HResult Reserved17() override { return E_NOTIMPL; }
  HResult Reserved18() override { return E_NOTIMPL; }
  HResult Reserved20() override { return E_NOTIMPL; }
  HResult Reserved21() override { return E_NOTIMPL; }
  HResult Reserved22() override { return E_NOTIMPL; }

 private:
  ComPtr<IRegistryTransaction> Transaction() {
    ComPtr<IRegistryTransaction> t;
    inner_.As(t);
    return t;
  }

  ComPtr<IKTRegistryAccess> inner_;
};

HResult CreateRecording(const Guid& iid, void** out) {
  *out = nullptr;
  g_calls.push_back("CreateInstance");
  if (g_faults.FailCreation) return REGDB_E_CLASSNOTREG;
  ComPtr<IKTRegistryAccess> inner;
  const HResult hr = CreateInstance(kClsidRealRegistry, inner);
  if (hr != S_OK) return hr;
  auto* object = new RecordingRegistry(std::move(inner));
  const HResult q = object->QueryInterface(iid, out);
  object->Release();
  return q;
}

}  // namespace

void InstallRecordingRegistry() {
  g_faults = RegistryFaults{};
  g_calls.clear();
  RegisterClassFactory(kClsidRealRegistry, &RegistryAccessFactory);
  RegisterClassFactory(kClsidRegistryAccess, &CreateRecording);
}

void RemoveRecordingRegistry() { RegisterRegistryAccess(); }

RegistryFaults& Faults() { return g_faults; }
std::vector<std::string>& Calls() { return g_calls; }

}  // namespace quellvox::test
