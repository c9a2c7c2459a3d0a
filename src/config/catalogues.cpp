#include "config/catalogues.h"

#include <locale.h>
#include <wctype.h>

namespace quellvox {

namespace {

// A locale whose character classes cover every letter, independent of the
// process locale; nullptr when the C library has none.
locale_t FoldingLocale() {
  static const locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (!l) l = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
    if (!l) l = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(0));
    return l;
  }();
  return loc;
}

// Next code point of UTF-8 text; a byte that does not start a valid sequence
// comes back as 0x110000 + byte, so that broken texts compare bytewise.
char32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int need = 0;
  char32_t cp = 0;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    need = 1;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    need = 2;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    need = 3;
    cp = b0 & 0x07;
  } else {
    ++i;
    return 0x110000 + b0;
  }
  if (i + static_cast<size_t>(need) >= s.size()) {
    ++i;
    return 0x110000 + b0;
  }
  for (int k = 1; k <= need; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0x110000 + b0;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  static const char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0x110000 + b0;
  }
  i += static_cast<size_t>(need) + 1;
  return cp;
}

char32_t Fold(char32_t c) {
  if (c >= 0x110000) return c;
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  const locale_t loc = FoldingLocale();
  if (!loc) return c;
  // Upper then lower maps the variant lower-case forms (final sigma, long s)
  // onto one letter.
  const wint_t upper = towupper_l(static_cast<wint_t>(c), loc);
  return static_cast<char32_t>(towlower_l(upper, loc));
}

std::string TextAt(const char16_t* text, size_t units) {
  size_t n = 0;
  while (n < units && text[n] != u'\0') ++n;
  return Utf16ToUtf8(std::u16string_view(text, n));
}

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (Fold(NextCodePoint(a, i)) != Fold(NextCodePoint(b, j))) return false;
  }
  return i == a.size() && j == b.size();
}

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
