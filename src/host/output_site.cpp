#include "host/output_site.h"

namespace sonvale::host {

bool OutputSite::staged(Call method, HRESULT& hr) {
  const int i = static_cast<int>(method);
  if (++calls_[i] != failures_[i].at) return false;
  hr = failures_[i].hr;
  return true;
}

HRESULT OutputSite::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_ISpEventSink || riid == IID_ISpTTSEngineSite) {
    *ppv = static_cast<ISpTTSEngineSite*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT OutputSite::AddEvents(const SPEVENT* pEventArray, ULONG ulCount) {
  if (pEventArray == nullptr && ulCount > 0) return E_POINTER;
  if (HRESULT hr; staged(Call::AddEvents, hr)) return hr;
  for (ULONG i = 0; i < ulCount; ++i) {
    const SPEVENT& e = pEventArray[i];
    RecordedEvent recorded;
    recorded.id = static_cast<SPEVENTENUM>(e.eEventId);
    recorded.paramType = static_cast<SPEVENTLPARAMTYPE>(e.elParamType);
    recorded.audioOffset = e.ullAudioStreamOffset;
    recorded.wParam = e.wParam;
    recorded.lParam = e.lParam;
    if (recorded.paramType == SPET_LPARAM_IS_STRING && e.lParam != 0)
      recorded.bookmark = reinterpret_cast<const char16_t*>(e.lParam);
    if (eventSink_) {
      eventSink_(recorded);
    } else {
      events_.push_back(std::move(recorded));
    }
  }
  return S_OK;
}

HRESULT OutputSite::GetEventInterest(ULONGLONG* pullEventInterest) {
  if (pullEventInterest == nullptr) return E_POINTER;
  *pullEventInterest = (1ull << SPEI_TTS_BOOKMARK) | (1ull << SPEI_WORD_BOUNDARY) | (1ull << SPEI_SENTENCE_BOUNDARY);
  return S_OK;
}

DWORD OutputSite::GetActions() {
  ++actionsCalls_;
  if (actionsHook_) actionsHook_(*this, actionsCalls_);
  return controls_->pending.load();
}

HRESULT OutputSite::Write(const void* pBuff, ULONG cb, ULONG* pcbWritten) {
  if (pcbWritten != nullptr) *pcbWritten = 0;
  if (pBuff == nullptr && cb > 0) return E_POINTER;
  if (HRESULT hr; staged(Call::Write, hr)) return hr;
  if (recordWriteSizes_) writeSizes_.push_back(cb);
  const auto* bytes = static_cast<const std::uint8_t*>(pBuff);
  if (audioSink_) {
    const HRESULT hr = cb > 0 ? audioSink_(bytes, cb) : S_OK;
    if (FAILED(hr)) return hr;
  } else if (cb > 0) {
    audio_.insert(audio_.end(), bytes, bytes + cb);
  }
  bytesWritten_ += cb;
  if (pcbWritten != nullptr) *pcbWritten = cb;
  return S_OK;
}

HRESULT OutputSite::GetRate(LONG* pRateAdjust) {
  if (pRateAdjust == nullptr) return E_POINTER;
  if (HRESULT hr; staged(Call::GetRate, hr)) return hr;
  controls_->pending.fetch_and(~static_cast<DWORD>(SPVES_RATE));
  *pRateAdjust = controls_->rate.load();
  return S_OK;
}

HRESULT OutputSite::GetVolume(USHORT* pusVolume) {
  if (pusVolume == nullptr) return E_POINTER;
  if (HRESULT hr; staged(Call::GetVolume, hr)) return hr;
  controls_->pending.fetch_and(~static_cast<DWORD>(SPVES_VOLUME));
  *pusVolume = controls_->volume.load();
  return S_OK;
}

HRESULT OutputSite::GetSkipInfo(SPVSKIPTYPE* peType, LONG* plNumItems) {
  if (peType == nullptr || plNumItems == nullptr) return E_POINTER;
  if (HRESULT hr; staged(Call::GetSkipInfo, hr)) return hr;
  *peType = SPVST_SENTENCE;
  *plNumItems = controls_->skipCount.load();
  return S_OK;
}

HRESULT OutputSite::CompleteSkip(LONG ulNumSkipped) {
  if (HRESULT hr; staged(Call::CompleteSkip, hr)) return hr;
  controls_->pending.fetch_and(~static_cast<DWORD>(SPVES_SKIP));
  completedSkips_.push_back(ulNumSkipped);
  return S_OK;
}

}  // namespace sonvale::host
