// The engine behind the COM object: everything one speaking call needs, owned
// by one object so that two engines can speak at once on two threads. Only the
// settings are process-wide.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/bookmark_joins.h"
#include "engine/dump_files.h"
#include "engine/syllable_sink.h"
#include "engine/text_item.h"
#include "engine/text_prep.h"
#include "engine/word_dictionary.h"
#include "engine/word_record.h"
#include "platform/file_map.h"
#include "platform/sapi.h"
#include "synth/syllable_synth.h"
#include "synth/voice_format.h"
#include "text/number_reading.h"
#include "ui/ui_text.h"
#include "ui/word_panel.h"

namespace sonvale {

// Byte counts of the silences the speaking loop writes itself.
inline constexpr std::uint32_t kItemEndSilenceBytes = 10000;  // after every spoken item, about 454 ms
inline constexpr std::uint32_t kSilenceChunkBytes = 1000;     // largest single Write of zeros
inline constexpr std::uint32_t kBytesPerMs = 22;              // 16-bit samples at 11025 Hz

// Unit codes: an ideograph c is spoken with unit c - kIdeographUnitBias.
inline constexpr std::uint32_t kIdeographUnitBias = 0x4A18;
inline constexpr std::uint32_t kUnitCount = 21902;

class Engine {
 public:
  // Loads the engine settings from the registry, chooses the UI language
  // from the user's locale and, when a host window offers a place (and the
  // program installed a panel factory), creates the word display panel.
  Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  ~Engine();

  // Speaks the fragment list on the site: sentence, word and bookmark events
  // and 16-bit mono PCM audio. Returns S_OK when the text was spoken (or an
  // abort was honoured), E_INVALIDARG for a null list or site, else the
  // HRESULT of the first failed site call; what was written stays written.
  HRESULT speak(DWORD speakFlags, const SPVTEXTFRAG* fragments, ISpTTSEngineSite* site);

  // The announced format for the current VoiceStyle setting; the block is
  // allocated with CoTaskMemAlloc and belongs to the caller.
  HRESULT getOutputFormat(GUID* formatId, WAVEFORMATEX** format) const;

  // Maps the voice's three files (token values VoiceDef, VoiceData,
  // VoiceWord), checks their identity and every unit entry, and copies the
  // unit table. Returns S_OK, the token's error for a missing value,
  // HRESULT_FROM_WIN32 of a file that cannot be mapped, or E_INVALIDARG for
  // a damaged voice (voiceError() names the file and says what is damaged).
  // A damaged or empty file also shows the user the voice-loading warning
  // unless `warnUser` is false. Files mapped before a failure stay mapped
  // until the engine is destroyed.
  HRESULT loadVoice(ISpDataKey& token, bool warnUser = true);
  const std::string& voiceError() const { return voiceError_; }

  // Replaces syllable synthesis (tests and tools); null restores the engine's own.
  void setSynth(SyllableSynth* synth) { synth_ = synth != nullptr ? synth : &synthesizer_; }
  SyllableSynthesizer& synthesizer() { return synthesizer_; }

  WordDictionary& dictionary() { return dictionary_; }
  const WordRecord& currentWord() const { return word_; }
  const NumberParts& lastNumber() const { return number_; }
  const std::u16string& numberReading() const { return numberReading_; }
  std::uint64_t audioOffset() const { return audioOffset_; }
  std::uint32_t unitLength() const { return unitLength_; }
  std::int32_t rate() const { return rate_; }
  std::uint16_t volume() const { return volume_; }
  DumpFiles& dumps() { return dumps_; }
  ui::UiLanguage uiLanguage() const { return uiLanguage_; }
  bool hasPanel() const { return panel_ != nullptr; }

 private:
  // How a step of the loop ended: go on, or stop the sentence (abort seen).
  enum class Flow { Continue, Stop };

  // Items of a sentence made at a time: a long sentence is spoken in parts.
  static constexpr std::size_t kItemsAtOnce = 4096;

  // Where the sentence whose first part items_ holds ends in the caller's text.
  std::uint32_t sentenceEnd() const;
  HRESULT speakSentence(ISpTTSEngineSite* site);
  HRESULT pollActions(ISpTTSEngineSite* site, bool volume, Flow& flow);
  HRESULT speakText(ISpTTSEngineSite* site, const TextItem& item, Flow& flow);
  HRESULT speakWord(ISpTTSEngineSite* site, const TextItem& item, std::uint32_t& p, Flow& flow);
  HRESULT speakNumber(ISpTTSEngineSite* site, const TextItem& item, std::uint32_t& p, Flow& flow);
  HRESULT speakSymbol(ISpTTSEngineSite* site, const TextItem& item, std::uint32_t p);
  HRESULT speakSilence(ISpTTSEngineSite* site, const TextItem& item);
  HRESULT sendBookmark(ISpTTSEngineSite* site, const char16_t* name, std::uint32_t nameLength);
  // Sends the bookmarks taken out of running text that stand at or before
  // `unit` (all that remain when `unit` is null).
  HRESULT sendMarksBefore(ISpTTSEngineSite* site, const char16_t* unit);
  // A pause of `bytes` at the current rate: with fast speech, rates above 0
  // shorten it as they shorten syllables (whole samples); else as it is.
  std::uint64_t pacedSilence(std::uint64_t bytes) const;
  // The caller's source offset of code unit `p` of `item`.
  std::uint32_t sourceOffsetAt(const TextItem& item, std::uint32_t p) const;
  HRESULT sendEvent(ISpTTSEngineSite* site, SPEVENTENUM id, WPARAM wParam, LPARAM lParam,
                    SPEVENTLPARAMTYPE type = SPET_LPARAM_IS_UNDEFINED);
  std::uint32_t speakSyllable(ISpTTSEngineSite* site, std::uint32_t unitCode, const SyllableParams& params);

  HRESULT checkUnits(const std::string& defLabel, bool warnUser);
  HRESULT refuseVoice(std::string error, bool warnUser);

  // Hands the current word to the panel and asks it to repaint when the word
  // has two or more code units. Called only while a panel exists.
  void showWordOnPanel();
  ui::PanelLines panelLinesNow();

  // The voice: its files, mapped read-only for the engine's life, and the
  // unit table copied out of VoiceDef.
  platform::MappedFile voiceDef_;
  platform::MappedFile voiceData_;
  platform::MappedFile voiceWord_;
  std::vector<voice::UnitEntry> units_;
  std::string voiceError_;
  WordDictionary dictionary_;

  // State of the speaking call in progress.
  TextCursor cursor_;
  ItemList items_;
  BookmarkJoins joins_;
  std::size_t nextMark_ = 0;  // the first of joins_.marks() not yet sent
  std::uint64_t audioOffset_ = 0;
  std::uint32_t unitLength_ = 0;
  WordRecord word_{};
  NumberParts number_;
  std::u16string numberReading_;
  DumpFiles dumps_;
  SyllableSynthesizer synthesizer_{dumps_};
  SyllableSynth* synth_ = &synthesizer_;

  // Rate and volume as the site last reported them; SAPI's defaults until then.
  std::int32_t rate_ = 0;
  std::uint16_t volume_ = 100;
  // The state of the fragment the item being spoken comes from (markup's
  // rate and volume changes); null outside speakSentence.
  const SPVSTATE* itemState_ = nullptr;
  // The site's rate moved by the fragment's RateAdj (and slowed by
  // kEmphasisRateSteps for emphasised text), within -10..10; the site's
  // volume scaled by the fragment's Volume (0..100). A fragment at SAPI's
  // defaults (RateAdj 0, EmphAdj 0, Volume 100) leaves the site's values as they are.
  static constexpr std::int64_t kEmphasisRateSteps = 2;
  std::int32_t spokenRate() const;
  std::uint16_t spokenVolume() const;

  // The word display panel. It paints on a thread of its own and reads
  // panelWord_, the copy of word_ made after each word is filled, under
  // panelMutex_; the speaking loop never waits longer than that copy. The
  // panel is declared last so that it goes (and its thread stops) first.
  ui::UiLanguage uiLanguage_ = ui::UiLanguage::English;
  std::mutex panelMutex_;
  WordRecord panelWord_{};
  std::unique_ptr<ui::WordPanel> panel_;
};

}  // namespace sonvale
