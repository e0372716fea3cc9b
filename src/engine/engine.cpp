#include "engine/engine.h"

#include <algorithm>
#include <new>

#include "settings/engine_settings.h"
#include "ui/word_panel_text.h"

namespace sonvale {

namespace {

constexpr DWORD kSpeakFlagsIgnored = 2;

}  // namespace

HRESULT writeSilence(ISpTTSEngineSite* site, std::uint32_t count) {
  static constexpr std::uint8_t kZeros[kSilenceChunkBytes] = {};
  HRESULT hr = S_OK;
  while (count > 0) {
    const std::uint32_t piece = count < kSilenceChunkBytes ? count : kSilenceChunkBytes;
    hr = site->Write(kZeros, piece, nullptr);
    if (FAILED(hr)) return hr;
    count -= piece;
  }
  return hr;
}

Engine::Engine() {
  word_.clear();
  panelWord_.clear();
  settings::loadSettings();
  uiLanguage_ = ui::uiLanguageFromLcid(ui::userDefaultLcid());
  ui::setCurrentUiLanguage(uiLanguage_);
  panel_ = ui::createWordPanel(uiLanguage_, [this] { return panelLinesNow(); });
}

Engine::~Engine() {
  panel_.reset();
  word_.clear();
}

void Engine::showWordOnPanel() {
  {
    const std::lock_guard lock(panelMutex_);
    panelWord_ = word_;
  }
  if (word_.textLength() > 1) panel_->invalidate();
}

ui::PanelLines Engine::panelLinesNow() {
  WordRecord word;
  {
    const std::lock_guard lock(panelMutex_);
    word = panelWord_;
  }
  return ui::panelLines(word);
}

std::uint32_t Engine::sentenceEnd() const {
  TextItem last = items_[items_.size() - 1];
  if (cursor_.midSentence) {
    // The rest of the sentence, read ahead a part at a time and let go.
    TextCursor ahead = cursor_;
    ItemList rest;
    while (ahead.midSentence && nextSentence(ahead, rest, kItemsAtOnce) == S_OK) last = rest[rest.size() - 1];
  }
  return last.length > 0 ? sourceOffsetAt(last, last.length - 1) + 1 : last.sourceOffset;
}

HRESULT Engine::speak(DWORD speakFlags, const SPVTEXTFRAG* fragments, ISpTTSEngineSite* site) {
  if (speakFlags == kSpeakFlagsIgnored) return S_OK;

  const settings::EngineSettings& config = settings::engineSettings();
  dumps_.open(config.waveOutStyle.load(), config.rtfOutStyle.load());

  HRESULT result = S_OK;
  if (site == nullptr || fragments == nullptr) {
    result = E_INVALIDARG;
  } else {
    startText(cursor_, joins_.join(fragments));
    nextMark_ = 0;
    audioOffset_ = 0;
    items_.clear();
    for (;;) {
      const DWORD actions = site->GetActions();
      if (actions & SPVES_ABORT) break;
      if (actions & SPVES_SKIP) {
        // Skipping is not carried out: the engine reports no item skipped and
        // goes on with the next sentence.
        SPVSKIPTYPE type{};
        LONG count = 0;
        HRESULT hr = site->GetSkipInfo(&type, &count);
        if (SUCCEEDED(hr)) hr = site->CompleteSkip(0);
        if (FAILED(hr)) {
          result = hr;
          break;
        }
      }
      const HRESULT sentence = nextSentence(cursor_, items_, kItemsAtOnce);
      if (sentence != S_OK) {
        result = sentence;
        break;
      }
      if (site->GetActions() & SPVES_ABORT) break;
      const std::uint32_t start = sourceOffsetAt(items_[0], 0);
      const HRESULT hr = sendEvent(site, SPEI_SENTENCE_BOUNDARY, sentenceEnd() - start, static_cast<LPARAM>(start));
      if (FAILED(hr)) {
        result = hr;
        break;
      }
      // A long sentence is spoken a part at a time, so that its items take
      // the same memory whatever the length of the text.
      result = speakSentence(site);
      while (SUCCEEDED(result) && cursor_.midSentence && !(site->GetActions() & SPVES_ABORT) &&
             nextSentence(cursor_, items_, kItemsAtOnce) == S_OK)
        result = speakSentence(site);
      if (FAILED(result)) break;
    }
    if (result == S_FALSE) result = S_OK;
    // Bookmarks that only white space followed are reached at the end.
    if (result == S_OK && !(site->GetActions() & SPVES_ABORT)) result = sendMarksBefore(site, nullptr);
    items_.release();
    joins_.clear();
  }
  dumps_.close();
  return result;
}

HRESULT Engine::getOutputFormat(GUID* formatId, WAVEFORMATEX** format) const {
  const std::uint32_t rateHz = settings::outputRateHz(settings::engineSettings().voiceStyle.load());
  if (formatId == nullptr || format == nullptr) return E_INVALIDARG;
  auto* wfx = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(sizeof(WAVEFORMATEX)));
  if (wfx == nullptr) {
    *format = nullptr;
    *formatId = GUID_NULL;
    return E_OUTOFMEMORY;
  }
  wfx->wFormatTag = WAVE_FORMAT_PCM;
  wfx->nChannels = 1;
  wfx->nSamplesPerSec = rateHz;
  wfx->nAvgBytesPerSec = 2 * rateHz;
  wfx->nBlockAlign = 2;
  wfx->wBitsPerSample = 16;
  wfx->cbSize = 0;
  *formatId = SPDFID_WaveFormatEx;
  *format = wfx;
  return S_OK;
}

HRESULT Engine::sendEvent(ISpTTSEngineSite* site, SPEVENTENUM id, WPARAM wParam, LPARAM lParam,
                          SPEVENTLPARAMTYPE type) {
  SPEVENT event{};
  event.eEventId = static_cast<WORD>(id);
  event.elParamType = static_cast<WORD>(type);
  event.ulStreamNum = 0;
  event.ullAudioStreamOffset = audioOffset_;
  event.wParam = wParam;
  event.lParam = lParam;
  return site->AddEvents(&event, 1);
}

std::int32_t Engine::spokenRate() const {
  if (itemState_ == nullptr || (itemState_->RateAdj == 0 && itemState_->EmphAdj <= 0)) return rate_;
  const std::int64_t emphasis = itemState_->EmphAdj > 0 ? kEmphasisRateSteps : 0;
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(std::int64_t{rate_} + itemState_->RateAdj - emphasis, -10, 10));
}

std::uint16_t Engine::spokenVolume() const {
  if (itemState_ == nullptr || itemState_->Volume >= 100) return volume_;
  return static_cast<std::uint16_t>(volume_ * itemState_->Volume / 100);
}

std::uint32_t Engine::speakSyllable(ISpTTSEngineSite* site, std::uint32_t unitCode, const SyllableParams& params) {
  return synth_->speakSyllable(site, spokenRate(), spokenVolume(), unitCode, params);
}

}  // namespace sonvale
