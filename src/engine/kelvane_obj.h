// The voice's COM object: ISpTTSEngine and ISpObjectWithToken over an Engine.
// Each method checks its pointers, calls the engine and maps the outcome; no
// exception leaves a method.
#pragma once

#include <atomic>
#include <memory>

#include "engine/engine.h"
#include "platform/sapi.h"

namespace sonvale {

inline constexpr CLSID CLSID_KelvaneObj = {0x4197759E, 0x4B4C, 0x4DC9, {0xB9, 0xB7, 0x13, 0xB5, 0xE8, 0x91, 0x25, 0xA7}};

class KelvaneObj final : public ISpTTSEngine, public ISpObjectWithToken {
 public:
  // Creates an object and queries it for `riid`; the object lives as long as
  // the reference handed out.
  static HRESULT create(REFIID riid, void** ppv);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // ISpTTSEngine
  HRESULT STDMETHODCALLTYPE Speak(DWORD dwSpeakFlags, REFGUID rguidFormatId, const WAVEFORMATEX* pWaveFormatEx,
                                  const SPVTEXTFRAG* pTextFragList, ISpTTSEngineSite* pOutputSite) override;
  HRESULT STDMETHODCALLTYPE GetOutputFormat(const GUID* pTargetFmtId, const WAVEFORMATEX* pTargetWaveFormatEx,
                                            GUID* pOutputFormatId,
                                            WAVEFORMATEX** ppCoMemOutputWaveFormatEx) override;

  // ISpObjectWithToken
  HRESULT STDMETHODCALLTYPE SetObjectToken(ISpObjectToken* pToken) override;
  HRESULT STDMETHODCALLTYPE GetObjectToken(ISpObjectToken** ppToken) override;

  Engine& engine() { return *engine_; }

 private:
  KelvaneObj();
  ~KelvaneObj();

  std::atomic<ULONG> refs_{1};
  std::unique_ptr<Engine> engine_;
  ISpObjectToken* token_ = nullptr;
};

}  // namespace sonvale
