#include "server/kelvane_ui.h"

#include <new>
#include <string_view>

#include "ui/properties_dialog.h"

namespace sonvale::server {

namespace {

constexpr std::u16string_view kEngineProperties = u"EngineProperties";

bool isEngineProperties(LPCWSTR type) { return type != nullptr && std::u16string_view(type) == kEngineProperties; }

}  // namespace

KelvaneUI::KelvaneUI(IUnknown* outer, ObjectCounter counter)
    : outer_(outer != nullptr ? outer : &inner_), counter_(counter) {
  if (counter_ != nullptr) counter_(+1);
}

KelvaneUI::~KelvaneUI() {
  if (counter_ != nullptr) counter_(-1);
}

HRESULT KelvaneUI::create(IUnknown* outer, REFIID riid, void** ppv, ObjectCounter counter) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) KelvaneUI(outer, counter);
  if (object == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = object->inner_.QueryInterface(riid, ppv);
  object->inner_.Release();  // the object lives on through *ppv, or goes now
  return hr;
}

HRESULT KelvaneUI::InnerUnknown::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown) {
    *ppv = static_cast<IUnknown*>(this);
  } else if (riid == IID_ISpTokenUI) {
    *ppv = static_cast<ISpTokenUI*>(&owner_);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  static_cast<IUnknown*>(*ppv)->AddRef();
  return S_OK;
}

ULONG KelvaneUI::InnerUnknown::AddRef() { return ++owner_.refs_; }

ULONG KelvaneUI::InnerUnknown::Release() {
  const ULONG left = --owner_.refs_;
  if (left == 0) delete &owner_;
  return left;
}

HRESULT KelvaneUI::QueryInterface(REFIID riid, void** ppv) { return outer_->QueryInterface(riid, ppv); }

ULONG KelvaneUI::AddRef() { return outer_->AddRef(); }

ULONG KelvaneUI::Release() { return outer_->Release(); }

HRESULT KelvaneUI::IsUISupported(LPCWSTR pszTypeOfUI, void*, ULONG, IUnknown*, BOOL* pfSupported) {
  if (pfSupported == nullptr) return E_POINTER;
  *pfSupported = isEngineProperties(pszTypeOfUI) ? 1 : 0;
  return S_OK;
}

HRESULT KelvaneUI::DisplayUI(HWND hwndParent, LPCWSTR, LPCWSTR pszTypeOfUI, void*, ULONG, ISpObjectToken* pToken,
                             IUnknown*) {
  if (!isEngineProperties(pszTypeOfUI)) return S_OK;
  // Whatever happens to the dialog, the caller hears S_OK.
  try {
    ui::showPropertiesDialog(hwndParent, pToken);
  } catch (...) {
  }
  return S_OK;
}

}  // namespace sonvale::server
