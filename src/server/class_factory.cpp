#include "server/class_factory.h"

#include <new>

#include "server/module_state.h"

namespace sonvale::server {

ClassFactory* ClassFactory::make(CreateFunction create) noexcept { return new (std::nothrow) ClassFactory(create); }

HRESULT ClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IClassFactory) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG ClassFactory::AddRef() {
  const std::lock_guard<std::mutex> lock(mutex_);
  // The first reference beyond the module's own keeps the module loaded.
  if (++refs_ == 2) lockModule();
  return refs_;
}

ULONG ClassFactory::Release() {
  ULONG left = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    left = --refs_;
    if (left == 1) unlockModule();
  }
  if (left == 0) delete this;
  return left;
}

HRESULT ClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  return create_(pUnkOuter, riid, ppv);
}

HRESULT ClassFactory::LockServer(BOOL fLock) {
  if (fLock != 0) {
    lockModule();
  } else {
    unlockModule();
  }
  return S_OK;
}

}  // namespace sonvale::server
