// The output site of the Linux host: what SAPI's site is to the engine. It
// takes the engine's audio and events, and lets a caller (a test, the CLI on
// another thread or in a signal handler) request abort, skip, rate and volume
// changes at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sapi.h"

namespace sonvale::host {

// One event as the engine sent it. A bookmark's name is copied, since the
// pointer in lParam is valid only during AddEvents.
struct RecordedEvent {
  SPEVENTENUM id = SPEI_UNDEFINED;
  SPEVENTLPARAMTYPE paramType = SPET_LPARAM_IS_UNDEFINED;
  std::uint64_t audioOffset = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::u16string bookmark;
};

// The requests a caller makes of a speaking call: abort, skip, rate and
// volume changes. Every member is a lock-free atomic, so requests are safe
// from any thread and from a signal handler. Controls may outlive a site and
// serve the sites of several calls in turn.
struct SiteControls {
  std::atomic<DWORD> pending{0};  // SPVES_* flags not yet taken up by the engine
  std::atomic<LONG> rate{0};
  std::atomic<USHORT> volume{100};
  std::atomic<LONG> skipCount{0};

  void requestAbort() { pending.fetch_or(SPVES_ABORT); }
  void clearAbort() { pending.fetch_and(~static_cast<DWORD>(SPVES_ABORT)); }
  void requestSkip(LONG sentences) {
    skipCount.store(sentences);
    pending.fetch_or(SPVES_SKIP);
  }
  void setRate(LONG value) {
    rate.store(value);
    pending.fetch_or(SPVES_RATE);
  }
  void setVolume(USHORT value) {
    volume.store(value);
    pending.fetch_or(SPVES_VOLUME);
  }
};
static_assert(std::atomic<DWORD>::is_always_lock_free);

class OutputSite final : public ISpTTSEngineSite {
 public:
  // Receives audio as it is written; a failed result fails the engine's Write.
  using AudioSink = std::function<HRESULT(const std::uint8_t* bytes, std::uint32_t count)>;
  using EventSink = std::function<void(const RecordedEvent& event)>;
  // Called before GetActions answers, with the number of that call (from 1).
  using ActionsHook = std::function<void(OutputSite& site, std::uint64_t call)>;

  // Without sinks, audio and events are kept in memory (audio(), events()).
  // Without controls, the site has its own.
  OutputSite() = default;
  OutputSite(AudioSink audio, EventSink events, SiteControls* controls = nullptr)
      : audioSink_(std::move(audio)), eventSink_(std::move(events)), controls_(controls != nullptr ? controls : &own_) {}
  OutputSite(const OutputSite&) = delete;
  OutputSite& operator=(const OutputSite&) = delete;

  // Requests, thread-safe and async-signal-safe.
  void requestAbort() { controls_->requestAbort(); }
  void requestSkip(LONG sentences) { controls_->requestSkip(sentences); }
  void setRate(LONG rate) { controls_->setRate(rate); }
  void setVolume(USHORT volume) { controls_->setVolume(volume); }

  void setActionsHook(ActionsHook hook) { actionsHook_ = std::move(hook); }

  // Site methods whose failures a caller can stage.
  enum class Call { AddEvents, Write, GetRate, GetVolume, GetSkipInfo, CompleteSkip, kCount };

  // The n-th call (from 1) of `method` fails with `hr`; n = 0 cancels.
  void failCallAt(Call method, std::uint64_t n, HRESULT hr) {
    failures_[static_cast<int>(method)] = {n, hr};
  }
  std::uint64_t calls(Call method) const { return calls_[static_cast<int>(method)]; }

  // What was received.
  const std::vector<std::uint8_t>& audio() const { return audio_; }
  const std::vector<RecordedEvent>& events() const { return events_; }
  std::uint64_t bytesWritten() const { return bytesWritten_; }
  // Sizes of the Write calls, when recordWriteSizes(true) was asked for.
  const std::vector<std::uint32_t>& writeSizes() const { return writeSizes_; }
  void recordWriteSizes(bool on) { recordWriteSizes_ = on; }
  std::uint64_t getActionsCalls() const { return actionsCalls_; }
  const std::vector<LONG>& completedSkips() const { return completedSkips_; }

  // IUnknown. The site lives on its owner's stack or heap: references are
  // counted but never delete it.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

  // ISpEventSink
  HRESULT STDMETHODCALLTYPE AddEvents(const SPEVENT* pEventArray, ULONG ulCount) override;
  HRESULT STDMETHODCALLTYPE GetEventInterest(ULONGLONG* pullEventInterest) override;

  // ISpTTSEngineSite
  DWORD STDMETHODCALLTYPE GetActions() override;
  HRESULT STDMETHODCALLTYPE Write(const void* pBuff, ULONG cb, ULONG* pcbWritten) override;
  HRESULT STDMETHODCALLTYPE GetRate(LONG* pRateAdjust) override;
  HRESULT STDMETHODCALLTYPE GetVolume(USHORT* pusVolume) override;
  HRESULT STDMETHODCALLTYPE GetSkipInfo(SPVSKIPTYPE* peType, LONG* plNumItems) override;
  HRESULT STDMETHODCALLTYPE CompleteSkip(LONG ulNumSkipped) override;

 private:
  AudioSink audioSink_;
  EventSink eventSink_;
  ActionsHook actionsHook_;

  SiteControls own_;
  SiteControls* controls_ = &own_;
  std::atomic<ULONG> refs_{1};

  std::vector<std::uint8_t> audio_;
  std::vector<RecordedEvent> events_;
  std::vector<std::uint32_t> writeSizes_;
  std::vector<LONG> completedSkips_;
  bool recordWriteSizes_ = false;
  std::uint64_t bytesWritten_ = 0;
  std::uint64_t actionsCalls_ = 0;
  struct Failure {
    std::uint64_t at = 0;
    HRESULT hr = S_OK;
  };
  static constexpr int kCalls = static_cast<int>(Call::kCount);
  std::uint64_t calls_[kCalls] = {};
  Failure failures_[kCalls] = {};

  // Counts a call of `method`; true with `hr` set when it is staged to fail.
  bool staged(Call method, HRESULT& hr);
};

}  // namespace sonvale::host
