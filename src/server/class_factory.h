// One class object (IClassFactory) per class. It holds one reference of the
// module's own from its creation until the module is unloaded; while a
// client holds another, the module's lock count is raised by one.
#pragma once

#include <mutex>

#include "platform/com.h"

namespace sonvale::server {

// Makes an object of one class and queries it for `riid`: aggregated under
// `outer` when that is not null (riid is then IID_IUnknown and the
// non-delegating unknown is handed out), else on its own. `ppv` is not null
// and *ppv is null on entry. On failure nothing is left alive.
using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

class ClassFactory final : public IClassFactory {
 public:
  // A class object holding the module's reference, or null when memory is short.
  static ClassFactory* make(CreateFunction create) noexcept;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // E_POINTER for a null ppv; CLASS_E_NOAGGREGATION for an outer unknown
  // with any riid but IID_IUnknown; else what the class's creation gives.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;

  // Raises (TRUE) or lowers (FALSE) the module's lock count; always S_OK.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

 private:
  explicit ClassFactory(CreateFunction create) : create_(create) {}
  ~ClassFactory() = default;

  std::mutex mutex_;  // guards refs_ and the lock-count steps that go with it
  ULONG refs_ = 1;    // the module's own
  CreateFunction create_;
};

}  // namespace sonvale::server
