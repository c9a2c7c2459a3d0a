#include "platform/com/com.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace quellvox {

namespace {

std::atomic<int64_t> g_liveObjects{0};

struct FactoryEntry {
  Guid clsid;
  ClassFactoryFn factory;
};

std::mutex& FactoryMutex() {
  static std::mutex m;
  return m;
}

std::vector<FactoryEntry>& Factories() {
  static std::vector<FactoryEntry> v;
  return v;
}

}  // namespace

ComObjectBase::ComObjectBase() { g_liveObjects.fetch_add(1, std::memory_order_relaxed); }
ComObjectBase::~ComObjectBase() { g_liveObjects.fetch_sub(1, std::memory_order_relaxed); }
int64_t ComObjectBase::LiveObjects() { return g_liveObjects.load(std::memory_order_relaxed); }

ComString ComStringAlloc(std::u16string_view text) {
  const size_t bytes = text.size() * sizeof(char16_t);
  auto* raw = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(char16_t)));
  if (!raw) return nullptr;
  const uint32_t len = static_cast<uint32_t>(bytes);
  std::memcpy(raw, &len, sizeof len);
  auto* chars = reinterpret_cast<char16_t*>(raw + sizeof(uint32_t));
  if (bytes) std::memcpy(chars, text.data(), bytes);
  chars[text.size()] = u'\0';
  return chars;
}

ComString ComStringFromUtf8(std::string_view utf8) { return ComStringAlloc(Utf8ToUtf16(utf8)); }

void ComStringFree(ComString s) {
  if (s) std::free(reinterpret_cast<unsigned char*>(s) - sizeof(uint32_t));
}

uint32_t ComStringLength(const char16_t* s) {
  if (!s) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(s) - sizeof(uint32_t), sizeof bytes);
  return bytes / sizeof(char16_t);
}

std::u16string_view ComStringView(const char16_t* s) {
  return s ? std::u16string_view(s, ComStringLength(s)) : std::u16string_view();
}

std::string ComStringToUtf8(const char16_t* s) { return Utf16ToUtf8(ComStringView(s)); }

std::u16string Utf8ToUtf16(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const auto b0 = static_cast<unsigned char>(in[i]);
    char32_t cp = 0xFFFD;
    size_t need = 0;
    if (b0 < 0x80) {
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      cp = b0 & 0x1F;
      need = 1;
    } else if ((b0 & 0xF0) == 0xE0) {
      cp = b0 & 0x0F;
      need = 2;
    } else if ((b0 & 0xF8) == 0xF0) {
      cp = b0 & 0x07;
      need = 3;
    } else {
      need = 0;
      cp = 0xFFFD;
    }
    size_t j = 1;
    bool ok = (b0 < 0x80) || need > 0;
    for (; ok && j <= need; ++j) {
      if (i + j >= in.size() || (static_cast<unsigned char>(in[i + j]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(in[i + j]) & 0x3F);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      cp = 0xFFFD;
      i += (j > 0 ? j : 1);
    } else {
      i += need + 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    char32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void RegisterClassFactory(const Guid& clsid, ClassFactoryFn factory) {
  std::lock_guard lock(FactoryMutex());
  for (auto& e : Factories()) {
    if (e.clsid == clsid) {
      e.factory = factory;
      return;
    }
  }
  Factories().push_back({clsid, factory});
}

void UnregisterClassFactory(const Guid& clsid) {
  std::lock_guard lock(FactoryMutex());
  auto& v = Factories();
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (it->clsid == clsid) {
      v.erase(it);
      return;
    }
  }
}

ClassFactoryFn FindClassFactory(const Guid& clsid) {
  std::lock_guard lock(FactoryMutex());
  for (const auto& e : Factories()) {
    if (e.clsid == clsid) return e.factory;
  }
  return nullptr;
}

HResult CreateInstance(const Guid& clsid, uint32_t clsContext, const Guid& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if ((clsContext & kClsCtxAll) == 0) return E_INVALIDARG;
  ClassFactoryFn factory = nullptr;
  {
    std::lock_guard lock(FactoryMutex());
    for (const auto& e : Factories()) {
      if (e.clsid == clsid) factory = e.factory;
    }
  }
  if (!factory) return REGDB_E_CLASSNOTREG;
  return factory(iid, out);
}

namespace {
thread_local std::string tErrorDescription;  // NOLINT: the thread's error information
// Set from a signal handler: a lock-free flag, read without ordering (it
// carries no data).
std::atomic<bool> waitsAbandoned{false};
static_assert(std::atomic<bool>::is_always_lock_free);
}  // namespace

void AbandonComponentWaits() noexcept { waitsAbandoned.store(true, std::memory_order_relaxed); }
void ResumeComponentWaits() noexcept { waitsAbandoned.store(false, std::memory_order_relaxed); }
bool ComponentWaitsAbandoned() noexcept { return waitsAbandoned.load(std::memory_order_relaxed); }

void SetErrorDescription(std::string_view reason) { tErrorDescription.assign(reason); }

std::string TakeErrorDescription() { return std::exchange(tErrorDescription, std::string()); }

}  // namespace quellvox
