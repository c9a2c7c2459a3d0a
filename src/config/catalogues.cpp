#include "config/catalogues.h"

#include "platform/com/case_fold.h"

namespace quellvox {

namespace {

std::string TextAt(const char16_t* text, size_t units) {
  size_t n = 0;
  while (n < units && text[n] != u'\0') ++n;
  return Utf16ToUtf8(std::u16string_view(text, n));
}

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) { return EqualsIgnoringCaseUtf8(a, b); }

// ---------------------------------------------------------------------------
// Title engines

HResult TitleEngineCatalogue::Refresh() {
  list_.Reset();
  entries_.clear();
  ComPtr<IZRTitleEngineList> list;
  const HResult hr = CreateInstance(classId_, kClsCtxAll, IZRTitleEngineList::kIid, list.PutVoid());
  if (hr != S_OK) return hr;
  if (!list) return E_POINTER;
  int32_t count = 0;
  list->GetEngineCount(&count);
  for (int32_t i = 0; i < count; ++i) {
    ComStringHolder name;
    uint8_t usable = 0;
    if (list->GetEngine(i, name.Put(), &usable) == S_OK && usable != 0) {
      entries_.push_back({i, ComStringToUtf8(name.Get())});
    }
  }
  list_ = std::move(list);
  return entries_.empty() ? 1 : 0;
}

std::string TitleEngineCatalogue::NameAt(int32_t position) const {
  if (position < 0 || position >= Count()) return "--- ERROR TE ---";
  return entries_[static_cast<size_t>(position)].Name;
}

int32_t TitleEngineCatalogue::FindByName(std::string_view name) const {
  for (int32_t i = 0; i < Count(); ++i) {
    if (EqualsIgnoringCase(entries_[static_cast<size_t>(i)].Name, name)) return i;
  }
  return -1;
}

HResult TitleEngineCatalogue::CreateTitleTarget(int32_t position, ComPtr<Unknown>& target) const {
  if (!list_ || position < 0 || position >= Count()) return E_FAIL;
  ComPtr<IZRTitleEngine> engine;
  const HResult hr = CreateInstance(kClsidTitleTarget, kClsCtxAll, IZRTitleEngine::kIid, engine.PutVoid());
  if (hr < 0) return hr;
  if (!engine) return E_POINTER;
  const HResult attached = engine->Attach(&classId_, entries_[static_cast<size_t>(position)].EngineIndex);
  if (attached < 0) return attached;  // `engine` releases the object
  ComPtr<Unknown> identity;
  const HResult queried = engine->QueryInterface(Unknown::kIid, identity.PutVoid());
  if (queried < 0 || !identity) return queried < 0 ? queried : E_NOINTERFACE;
  target = identity;  // the old object is released unless it is the same one
  return S_OK;
}

// ---------------------------------------------------------------------------
// Capture sources

HResult CaptureSourceCatalogue::Refresh() {
  enumerator_.Reset();
  entries_.clear();
  ComPtr<IZRDeviceEnumerator> enumerator;
  const HResult hr = CreateInstance(kClsidDeviceEnumerator, kClsCtxAll, IZRDeviceEnumerator::kIid,
                                    enumerator.PutVoid());
  if (hr != S_OK) return hr;
  if (!enumerator) return E_POINTER;

  for (const int32_t kind : {kDeviceKindPrimary, kDeviceKindSecondary}) {
    int32_t cursor = 0;
    for (;;) {
      DeviceInfo info;
      const int32_t before = cursor;
      if (enumerator->FindNextDevice(&cursor, kind, &info) != S_OK) break;
      // A cursor that does not move on would list the same device forever.
      if (cursor <= before) break;
      const std::string a = TextAt(info.Text792, std::size(info.Text792));
      const std::string b = TextAt(info.Text8, std::size(info.Text8));
      const std::string c = TextAt(info.Text520, std::size(info.Text520));
      entries_.push_back({cursor - 1, a + " " + b, a + " " + c, kind == kDeviceKindPrimary});
    }
  }

  if (!auxiliary_) {
    int32_t cursor = 0;
    DeviceInfo info;
    if (enumerator->FindNextDevice(&cursor, kDeviceKindAuxiliary, &info) == S_OK && cursor > 0) {
      ComPtr<Unknown> device;
      if (enumerator->CreateDevice(cursor - 1, kDeviceKindAuxiliary, device.Put()) == S_OK) {
        auxiliary_ = std::move(device);
      }
    }
  }

  enumerator_ = std::move(enumerator);
  return entries_.empty() ? 1 : 0;
}

std::string CaptureSourceCatalogue::NameAt(int32_t position) const {
  if (position < 0 || position >= Count()) return "--- ERROR INDEX ---";
  return entries_[static_cast<size_t>(position)].StoredName;
}

int32_t CaptureSourceCatalogue::FindByName(std::string_view name) const {
  for (int32_t i = 0; i < Count(); ++i) {
    const auto& e = entries_[static_cast<size_t>(i)];
    if (EqualsIgnoringCase(e.StoredName, name) || EqualsIgnoringCase(e.DisplayName, name)) return i;
  }
  return -1;
}

}  // namespace quellvox
