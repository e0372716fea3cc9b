#include "engine/kelvane_obj.h"

#include "platform/utf.h"
#include "settings/engine_settings.h"

#include <new>

namespace sonvale {

namespace {

// Runs a method body, turning exceptions into HRESULTs at the COM boundary.
template <typename Body>
HRESULT guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace

KelvaneObj::KelvaneObj(IUnknown* outer, ObjectCounter counter)
    : outer_(outer != nullptr ? outer : &inner_), counter_(counter) {
  if (counter_ != nullptr) counter_(+1);
}

KelvaneObj::~KelvaneObj() {
  if (token_ != nullptr) token_->Release();
  engine_.reset();
  if (counter_ != nullptr) counter_(-1);
}

HRESULT KelvaneObj::create(REFIID riid, void** ppv) { return create(nullptr, riid, ppv, nullptr); }

HRESULT KelvaneObj::create(IUnknown* outer, REFIID riid, void** ppv, ObjectCounter counter) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  // An aggregate may only hold the object's own unknown.
  if (outer != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) KelvaneObj(outer, counter);
  if (object == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = guarded([&] {
    object->engine_ = std::make_unique<Engine>();
    return S_OK;
  });
  if (SUCCEEDED(hr)) hr = object->inner_.QueryInterface(riid, ppv);
  // Drops the creation's reference: the object lives on through *ppv, or is
  // destroyed here when set-up or the query failed.
  object->inner_.Release();
  return hr;
}

HRESULT KelvaneObj::InnerUnknown::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown) {
    *ppv = static_cast<IUnknown*>(this);
  } else if (riid == IID_ISpTTSEngine) {
    *ppv = static_cast<ISpTTSEngine*>(&owner_);
  } else if (riid == IID_ISpObjectWithToken) {
    *ppv = static_cast<ISpObjectWithToken*>(&owner_);
  } else if (riid == IID_ISonvaleEngineOptions) {
    *ppv = static_cast<ISonvaleEngineOptions*>(&owner_);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  static_cast<IUnknown*>(*ppv)->AddRef();
  return S_OK;
}

ULONG KelvaneObj::InnerUnknown::AddRef() { return ++owner_.refs_; }

ULONG KelvaneObj::InnerUnknown::Release() {
  const ULONG left = --owner_.refs_;
  if (left == 0) delete &owner_;
  return left;
}

HRESULT KelvaneObj::QueryInterface(REFIID riid, void** ppv) { return outer_->QueryInterface(riid, ppv); }

ULONG KelvaneObj::AddRef() { return outer_->AddRef(); }

ULONG KelvaneObj::Release() { return outer_->Release(); }

HRESULT KelvaneObj::Speak(DWORD dwSpeakFlags, REFGUID, const WAVEFORMATEX*, const SPVTEXTFRAG* pTextFragList,
                          ISpTTSEngineSite* pOutputSite) {
  return guarded([&] { return engine_->speak(dwSpeakFlags, pTextFragList, pOutputSite); });
}

HRESULT KelvaneObj::GetOutputFormat(const GUID*, const WAVEFORMATEX*, GUID* pOutputFormatId,
                                    WAVEFORMATEX** ppCoMemOutputWaveFormatEx) {
  return guarded([&] { return engine_->getOutputFormat(pOutputFormatId, ppCoMemOutputWaveFormatEx); });
}

HRESULT KelvaneObj::SetObjectToken(ISpObjectToken* pToken) {
  if (pToken == nullptr) return E_INVALIDARG;
  if (token_ != nullptr) return SPERR_ALREADY_INITIALIZED;
  // The token stays stored even when loading fails, so a second call is
  // refused as well.
  pToken->AddRef();
  token_ = pToken;
  return guarded([&] { return engine_->loadVoice(*pToken); });
}

HRESULT KelvaneObj::GetObjectToken(ISpObjectToken** ppToken) {
  if (ppToken == nullptr) return E_POINTER;
  *ppToken = token_;
  if (token_ == nullptr) return S_FALSE;
  token_->AddRef();
  return S_OK;
}

HRESULT KelvaneObj::SetProcessSetting(LPCWSTR name, LONG value) {
  if (name == nullptr) return E_INVALIDARG;
  for (const settings::SettingDef& def : settings::settingDefs()) {
    if (platform::equalsIgnoreAsciiCase(def.name, name)) {
      (settings::engineSettings().*def.member).store(value);
      return S_OK;
    }
  }
  return E_INVALIDARG;
}

}  // namespace sonvale
