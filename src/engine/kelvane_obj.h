// The voice's COM object: ISpTTSEngine and ISpObjectWithToken over an Engine.
// Each method checks its pointers, calls the engine and maps the outcome; no
// exception leaves a method. The object can be aggregated: its IUnknown
// methods then go to the outer object, and the outer object holds the
// object's own (non-delegating) unknown.
#pragma once

#include <atomic>
#include <memory>

#include "engine/engine.h"
#include "engine/engine_options.h"
#include "platform/sapi.h"

namespace sonvale {

inline constexpr CLSID CLSID_KelvaneObj = {0x4197759E, 0x4B4C, 0x4DC9, {0xB9, 0xB7, 0x13, 0xB5, 0xE8, 0x91, 0x25, 0xA7}};

class KelvaneObj final : public ISpTTSEngine, public ISpObjectWithToken, public ISonvaleEngineOptions {
 public:
  // Told +1 when an object is made and -1 when it is destroyed, so that a
  // module can count its live objects.
  using ObjectCounter = void (*)(int delta);

  // Creates an object and queries it for `riid`; the object lives as long as
  // the reference handed out.
  static HRESULT create(REFIID riid, void** ppv);

  // Creates an object aggregated under `outer` (riid must then be
  // IID_IUnknown, and *ppv receives the non-delegating unknown) or, with a
  // null `outer`, on its own. The object is allocated (E_OUTOFMEMORY), counted,
  // its engine set up, and queried for `riid`; when the set-up or the query
  // fails the object is destroyed again and that failure is returned.
  // `counter` may be null.
  static HRESULT create(IUnknown* outer, REFIID riid, void** ppv, ObjectCounter counter);

  // IUnknown: the outer object's when aggregated, else the object's own.
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

  // ISonvaleEngineOptions
  HRESULT STDMETHODCALLTYPE SetProcessSetting(LPCWSTR name, LONG value) override;

  Engine& engine() { return *engine_; }

 private:
  // The object's own IUnknown, which counts its references; when not
  // aggregated the object's IUnknown methods come here.
  class InnerUnknown final : public IUnknown {
   public:
    explicit InnerUnknown(KelvaneObj& owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

   private:
    KelvaneObj& owner_;
  };

  KelvaneObj(IUnknown* outer, ObjectCounter counter);
  ~KelvaneObj();

  std::atomic<ULONG> refs_{1};
  InnerUnknown inner_{*this};
  IUnknown* outer_;  // the controlling unknown: the aggregate's, or &inner_
  ObjectCounter counter_;
  std::unique_ptr<Engine> engine_;
  ISpObjectToken* token_ = nullptr;
};

}  // namespace sonvale
