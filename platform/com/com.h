// The component model the program talks to its outside components through:
// counted interfaces, identifiers, 32-bit result codes, a class factory and
// length-prefixed UTF-16 component strings.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace quellvox {

// Result codes: 0 success, negative failure, positive "refused" or "false".
using HResult = int32_t;

inline constexpr HResult S_OK = 0;
inline constexpr HResult S_FALSE = 1;
inline constexpr HResult E_NOTIMPL = static_cast<HResult>(0x80004001u);
inline constexpr HResult E_NOINTERFACE = static_cast<HResult>(0x80004002u);
inline constexpr HResult E_POINTER = static_cast<HResult>(0x80004003u);
inline constexpr HResult E_FAIL = static_cast<HResult>(0x80004005u);
inline constexpr HResult E_PENDING = static_cast<HResult>(0x8000000Au);
inline constexpr HResult E_UNEXPECTED = static_cast<HResult>(0x8000FFFFu);  // not attached, nothing lent
inline constexpr HResult E_ACCESSDENIED = static_cast<HResult>(0x80070005u);
inline constexpr HResult E_OUTOFMEMORY = static_cast<HResult>(0x8007000Eu);
inline constexpr HResult E_INVALIDARG = static_cast<HResult>(0x80070057u);
inline constexpr HResult REGDB_E_CLASSNOTREG = static_cast<HResult>(0x80040154u);
// A registry value or key that does not exist (ERROR_FILE_NOT_FOUND as a result code).
inline constexpr HResult E_NOTFOUND = static_cast<HResult>(0x80070002u);

// Class contexts passed to CreateInstance: all of them (the program always asks for all).
inline constexpr uint32_t kClsCtxAll = 0x17;

struct Guid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
  friend bool operator==(const Guid&, const Guid&) = default;
};

// The identity interface. Slots 0 to 2: query interface, add reference, release.
class Unknown {
 public:
  static constexpr Guid kIid = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  virtual HResult QueryInterface(const Guid& iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~Unknown() = default;
};

// Counted reference. Storing a pointer adds a reference; replacing or
// clearing releases the old one.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& o) {
    Assign(o.p_);
    return *this;
  }
  ComPtr& operator=(ComPtr&& o) noexcept {
    if (this != &o) {
      T* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      if (old) old->Release();
    }
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }

  // Stores p with a reference of its own (AddRef), releasing what was held.
  void Assign(T* p) {
    if (p) p->AddRef();
    T* old = p_;
    p_ = p;
    if (old) old->Release();
  }
  // Takes over a reference the caller already owns (no AddRef).
  void Attach(T* p) {
    T* old = p_;
    p_ = p;
    if (old) old->Release();
  }
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  void Reset() {
    T* old = p_;
    p_ = nullptr;
    if (old) old->Release();
  }
  // Out-parameter form: releases what is held and returns the slot to fill.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Queries interface I; an empty result on a negative code.
  template <class I>
  HResult As(ComPtr<I>& out) const {
    if (!p_) {
      out.Reset();
      return E_POINTER;
    }
    return p_->QueryInterface(I::kIid, out.PutVoid());
  }

 private:
  T* p_ = nullptr;
};

// Reference counting and QueryInterface for an object implementing one or
// more interfaces, each derived from Unknown. Derived classes answer
// QueryInterface through FindInterface; the object deletes itself on its
// last Release and is counted in LiveObjects until then.
class ComObjectBase {
 public:
  ComObjectBase();
  virtual ~ComObjectBase();
  ComObjectBase(const ComObjectBase&) = delete;
  ComObjectBase& operator=(const ComObjectBase&) = delete;

  uint32_t AddRefImpl() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t ReleaseImpl() {
    // acq_rel: the deleting thread must see every write made through other references.
    uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  // Objects of this kind alive in the process; tests use it to prove that
  // every reference was released.
  static int64_t LiveObjects();

 private:
  std::atomic<uint32_t> refs_{1};  // a new object starts with the creator's reference
};

#define QUELLVOX_COM_REFCOUNT                                         \
  uint32_t AddRef() override { return ComObjectBase::AddRefImpl(); } \
  uint32_t Release() override { return ComObjectBase::ReleaseImpl(); }

// Component strings: UTF-16, NUL-terminated, with the byte length stored in
// the 32-bit word before the first character. The pointer names the first
// character. nullptr is an empty string.
using ComString = char16_t*;

ComString ComStringAlloc(std::u16string_view text);
ComString ComStringFromUtf8(std::string_view utf8);
void ComStringFree(ComString s);
uint32_t ComStringLength(const char16_t* s);  // in code units
std::u16string_view ComStringView(const char16_t* s);
std::string ComStringToUtf8(const char16_t* s);

// Owns one component string; frees it when it goes.
class ComStringHolder {
 public:
  ComStringHolder() = default;
  explicit ComStringHolder(ComString s) : s_(s) {}
  ComStringHolder(const ComStringHolder&) = delete;
  ComStringHolder& operator=(const ComStringHolder&) = delete;
  ~ComStringHolder() { ComStringFree(s_); }
  ComString Get() const { return s_; }
  ComString* Put() {
    ComStringFree(s_);
    s_ = nullptr;
    return &s_;
  }

 private:
  ComString s_ = nullptr;
};

// A component string made from UTF-8 for the length of one call, passed
// straight to the component; freed when it goes.
class ComText {
 public:
  explicit ComText(std::string_view utf8) : s_(ComStringFromUtf8(utf8)) {}
  explicit ComText(const char* utf8) : s_(ComStringFromUtf8(utf8)) {}
  explicit ComText(std::u16string_view text) : s_(ComStringAlloc(text)) {}
  operator const char16_t*() const { return s_.Get(); }  // NOLINT: passed straight to the component

 private:
  ComStringHolder s_;
};

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
// Appends one code point (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

// The class factory: class identifier + interface identifier -> object.
// A factory function creates the object and queries iid on it, returning a
// result code and filling *out (with a reference the caller owns) on success.
using ClassFactoryFn = HResult (*)(const Guid& iid, void** out);

// Registers (or replaces) the factory of a class. Thread-safe.
void RegisterClassFactory(const Guid& clsid, ClassFactoryFn factory);
void UnregisterClassFactory(const Guid& clsid);
// The factory registered now for a class, or nullptr; a provider that plays
// some objects of a class itself hands the others to the one it replaces.
ClassFactoryFn FindClassFactory(const Guid& clsid);

// Ends every wait of a component of this process for another process (a
// lock held elsewhere) at once, and refuses new ones: the waiting call
// fails as if its wait had timed out. For the exit signals, so that a call
// frozen on a stuck process never delays the exit. Async-signal-safe.
void AbandonComponentWaits() noexcept;
// Lets waits run again (for tests).
void ResumeComponentWaits() noexcept;
// True after AbandonComponentWaits. Any thread.
bool ComponentWaitsAbandoned() noexcept;

// Plays CoCreateInstance: REGDB_E_CLASSNOTREG for an unknown class.
HResult CreateInstance(const Guid& clsid, uint32_t clsContext, const Guid& iid, void** out);

template <class I>
HResult CreateInstance(const Guid& clsid, ComPtr<I>& out) {
  return CreateInstance(clsid, kClsCtxAll, I::kIid, out.PutVoid());
}

// The error information of the calling thread, as the platform keeps it
// beside a failed call: a component that knows why a call fails (a file it
// cannot open, an output already taken) sets the reason just before it
// returns the failure code; the caller takes it after the failure and shows
// it under its own message. Any thread; each thread has its own.
void SetErrorDescription(std::string_view reason);
// The reason set last on this thread (empty when none), cleared by the take.
std::string TakeErrorDescription();

}  // namespace quellvox
