#include "engine/kelvane_obj.h"

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

KelvaneObj::KelvaneObj() : engine_(std::make_unique<Engine>()) {}

KelvaneObj::~KelvaneObj() {
  if (token_ != nullptr) token_->Release();
}

HRESULT KelvaneObj::create(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  return guarded([&] {
    auto* object = new KelvaneObj();
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  });
}

HRESULT KelvaneObj::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_ISpTTSEngine) {
    *ppv = static_cast<ISpTTSEngine*>(this);
  } else if (riid == IID_ISpObjectWithToken) {
    *ppv = static_cast<ISpObjectWithToken*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG KelvaneObj::AddRef() { return ++refs_; }

ULONG KelvaneObj::Release() {
  const ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

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

}  // namespace sonvale
