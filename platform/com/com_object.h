// A component object over a list of interfaces: query interface, add
// reference and release written once, so that an object names only the
// interfaces it implements and the operations it plays.
//
//   class Layer final : public ComObject<IZRLayer, IZRLayerAudio> { ... };
//
// The identity (Unknown) is the first interface listed. The object deletes
// itself on its last release and is counted in LiveObjects until then.
#pragma once

#include "platform/com/com.h"

namespace quellvox {

template <class First, class... Rest>
class ComObject : public ComObjectBase, public First, public Rest... {
 public:
  HResult QueryInterface(const Guid& iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (HResult refused = S_OK; RefuseQuery(iid, refused)) return refused;
    void* found = nullptr;
    if (iid == Unknown::kIid || iid == First::kIid) {
      found = static_cast<First*>(this);
    } else {
      ((found = found ? found : (iid == Rest::kIid ? static_cast<void*>(static_cast<Rest*>(this)) : nullptr)), ...);
    }
    if (!found) return E_NOINTERFACE;
    AddRefImpl();
    *out = found;
    return S_OK;
  }
  uint32_t AddRef() override { return AddRefImpl(); }
  uint32_t Release() override { return ReleaseImpl(); }

 protected:
  // Before a query is answered: true and the code to answer instead (a
  // provider that plays faults on its objects).
  virtual bool RefuseQuery(const Guid& /*iid*/, HResult& /*code*/) { return false; }
};

// Hands a new object out as `iid`, dropping the creator's reference.
template <class Object>
HResult HandOut(Object* object, const Guid& iid, void** out) {
  const HResult hr = object->QueryInterface(iid, out);
  object->Release();
  return hr;
}

}  // namespace quellvox
