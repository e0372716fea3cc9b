// The properties UI class: SAPI's control panel asks it whether it supports
// "EngineProperties" and then asks it to show the voice's properties dialog.
// Like the engine class it can be aggregated.
#pragma once

#include <atomic>

#include "platform/sapi.h"

namespace sonvale::server {

inline constexpr CLSID CLSID_KelvaneUI = {0x82B88068, 0xDFB4, 0x4284, {0xA3, 0xF4, 0xC3, 0x88, 0xB2, 0xEA, 0xB6, 0x65}};

class KelvaneUI final : public ISpTokenUI {
 public:
  using ObjectCounter = void (*)(int delta);

  // Creates an object aggregated under `outer` (riid must then be
  // IID_IUnknown) or on its own, and queries it for `riid`; E_OUTOFMEMORY
  // when it cannot be allocated. `counter` is told +1 when the object is
  // made and -1 when it is destroyed, and may be null.
  static HRESULT create(IUnknown* outer, REFIID riid, void** ppv, ObjectCounter counter);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // *pfSupported is TRUE exactly when pszTypeOfUI is "EngineProperties",
  // compared with letter case; S_OK either way, E_POINTER for a null
  // pfSupported. The other arguments are not used.
  HRESULT STDMETHODCALLTYPE IsUISupported(LPCWSTR pszTypeOfUI, void* pvExtraData, ULONG cbExtraData,
                                          IUnknown* punkObject, BOOL* pfSupported) override;

  // Shows the properties dialog, owned by hwndParent, when pszTypeOfUI is
  // "EngineProperties". S_OK in every case: also for another type (nothing
  // is shown) and when the dialog cannot be shown.
  HRESULT STDMETHODCALLTYPE DisplayUI(HWND hwndParent, LPCWSTR pszTitle, LPCWSTR pszTypeOfUI, void* pvExtraData,
                                      ULONG cbExtraData, ISpObjectToken* pToken, IUnknown* punkObject) override;

 private:
  class InnerUnknown final : public IUnknown {
   public:
    explicit InnerUnknown(KelvaneUI& owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

   private:
    KelvaneUI& owner_;
  };

  KelvaneUI(IUnknown* outer, ObjectCounter counter);
  ~KelvaneUI();

  std::atomic<ULONG> refs_{1};
  InnerUnknown inner_{*this};
  IUnknown* outer_;  // the controlling unknown: the aggregate's, or &inner_
  ObjectCounter counter_;
};

}  // namespace sonvale::server
