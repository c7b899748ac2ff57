// Reference counting and QueryInterface for test COM objects that implement
// several interfaces at once: one definition overrides the IUnknown methods
// of every base.
#pragma once

#include <windows.h>

#include <atomic>

namespace kp::wintest {

// The IID of an interface; specialize where the headers tie none to it.
template <typename I>
const IID& IidOf() {
  return __uuidof(I);
}

template <typename First, typename... Rest>
class ComObject : public First, public Rest... {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid == __uuidof(IUnknown) || (iid == IidOf<First>() && Offers(iid))) {
      *out = static_cast<First*>(this);
    } else {
      ((iid == IidOf<Rest>() && Offers(iid) ? (*out = static_cast<Rest*>(this), true) : false) || ...);
    }
    if (*out == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~ComObject() = default;
  // Lets an object hide an interface it implements (a variant without it).
  virtual bool Offers(REFIID) { return true; }

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace kp::wintest
