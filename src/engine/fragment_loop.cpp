// The speaking loop of one sentence: walks the items and their UTF-16 code
// units, groups ideographs into words, gathers digit runs into numbers, speaks
// symbols and letters as single units with their punctuation pauses, and sends
// a word boundary event before each. Every spoken item ends with 10000 bytes
// of silence (with fast speech, fewer at rates above 0, as every pause). The
// site is polled for abort before every word and syllable, so a long run of
// ideographs stops within one syllable of an abort request. Bookmarks taken
// out of running text (BookmarkJoins) are sent just before the code unit
// they stand before is spoken.
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/utf.h"
#include "settings/engine_settings.h"
#include "text/phrase_table.h"
#include "timescale/time_scale.h"
#include "ui/ui.h"

namespace sonvale {

namespace {

enum class Pause { None, Short, Long };

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The pause class of a code unit; for U+0000..U+00FF `c` is the raised code.
Pause pauseClass(char16_t c) {
  switch (c) {
    case 0x3002:
    case u'!':
    case u'.':
    case u'?':
    case u'(':
    case u')':
    case 0x00F1:
    case 0xFF01:
    case 0xFF0E:
    case 0xFF1F:
      return Pause::Long;
    case 0x3001:
    case 0x300A:
    case u'"':
    case u',':
    case u':':
    case u';':
    case 0x00F8:
    case 0xFF02:
    case 0xFF0C:
    case 0xFF1A:
    case 0xFF1B:
    case 0x201C:
    case 0x201D:
      return Pause::Short;
    default:
      return Pause::None;
  }
}

// The voice unit of a code unit that is not an ideograph; 0 when it has none.
std::uint32_t symbolUnit(char16_t c) {
  if (c >= 0x3001 && c <= 0x303F) return c - 0x2E0Cu;
  if (c <= 0x00FF) return (c >= u'a' && c <= u'z') ? c - 0x20u : c;
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0xFF00u;  // fullwidth a-z become A-Z
  if (c >= 0xFF01 && c <= 0xFF5E) return c - 0xFEE0u;
  if (c == 0x201C || c == 0x201D) return 0x22;
  return 0;
}

// The digits after a decimal point are read with these numerals (the formal
// forms for 7, 8 and 9).
constexpr char16_t kFractionNumerals[10] = {0x96F6, 0x4E00, 0x4E8C, 0x4E09, 0x56DB,
                                            0x4E94, 0x516D, 0x67D2, 0x634C, 0x7396};
constexpr char16_t kDecimalPoint = 0x70B9;  // 点

// A bookmark name read as a signed decimal number: leading white space, an
// optional sign, digits up to the first non-digit; 0 when there are none.
// Values past the 32-bit range are held at its ends.
std::int32_t bookmarkValue(const std::u16string& name) {
  std::size_t i = 0;
  while (i < name.size() && (name[i] == u' ' || (name[i] >= u'\t' && name[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < name.size() && (name[i] == u'+' || name[i] == u'-')) negative = name[i++] == u'-';
  std::int64_t value = 0;
  for (; i < name.size() && isDigit(name[i]); ++i) {
    value = value * 10 + (name[i] - u'0');
    if (value > static_cast<std::int64_t>(INT32_MAX) + 1) value = static_cast<std::int64_t>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

}  // namespace

HRESULT Engine::speakSentence(ISpTTSEngineSite* site) {
  struct StateScope {
    const SPVSTATE*& state;
    ~StateScope() { state = nullptr; }
  } scope{itemState_};
  for (const TextItem& item : items_) {
    itemState_ = item.state;
    if (site->GetActions() & SPVES_ABORT) return S_OK;
    if (site->GetActions() & SPVES_VOLUME) {
      const HRESULT hr = site->GetVolume(&volume_);
      if (FAILED(hr)) return hr;
    }
    HRESULT hr = S_OK;
    Flow flow = Flow::Continue;
    switch (item.state->eAction) {
      case SPVA_Speak:
        hr = speakText(site, item, flow);
        break;
      case SPVA_Silence:
        hr = speakSilence(site, item);
        break;
      case SPVA_Bookmark:
        hr = sendBookmark(site, item.text, item.length);
        break;
      default:  // pronounce, spell-out, section and unknown tags are passed over
        break;
    }
    if (FAILED(hr)) return hr;
    if (flow == Flow::Stop) return S_OK;
  }
  return S_OK;
}

// Asks the site for its pending actions: an abort stops the sentence, a rate
// change (and, with `volume`, a volume change) is taken up at once.
HRESULT Engine::pollActions(ISpTTSEngineSite* site, bool volume, Flow& flow) {
  const DWORD actions = site->GetActions();
  if (actions & SPVES_ABORT) {
    flow = Flow::Stop;
    return S_OK;
  }
  if (actions & SPVES_RATE) {
    LONG rate = rate_;
    const HRESULT hr = site->GetRate(&rate);
    if (FAILED(hr)) return hr;
    rate_ = rate;
  }
  if (volume && (actions & SPVES_VOLUME)) return site->GetVolume(&volume_);
  return S_OK;
}

HRESULT Engine::speakText(ISpTTSEngineSite* site, const TextItem& item, Flow& flow) {
  const settings::EngineSettings& config = settings::engineSettings();
  for (std::uint32_t p = 0; p < item.length; ++p) {
    unitLength_ = 0;
    if (const HRESULT hr = pollActions(site, false, flow); FAILED(hr) || flow == Flow::Stop) return hr;
    HRESULT hr = sendMarksBefore(site, item.text + p);
    if (FAILED(hr)) return hr;
    const char16_t c = item.text[p];
    if (c >= 0x4E00 && c <= 0x9FA5) {
      hr = speakWord(site, item, p, flow);
    } else if (c == 0x3000) {
      continue;  // the ideographic space is neither spoken nor announced
    } else if (c <= 0x00FF && config.readNumber.load() == 1 &&
               (isDigit(c) || (c == u'-' && p + 1 < item.length && isDigit(item.text[p + 1])))) {
      hr = speakNumber(site, item, p, flow);
    } else {
      // Symbols, letters, punctuation, and everything without a unit of its
      // own (U+9FA6..U+9FAF included: the voice has no units for them).
      hr = speakSymbol(site, item, p);
    }
    if (FAILED(hr) || flow == Flow::Stop) return hr;
  }
  const auto silence = static_cast<std::uint32_t>(pacedSilence(kItemEndSilenceBytes));
  const HRESULT hr = writeSilence(site, silence);
  if (FAILED(hr)) return hr;
  audioOffset_ += silence;
  return S_OK;
}

HRESULT Engine::speakWord(ISpTTSEngineSite* site, const TextItem& item, std::uint32_t& p, Flow& flow) {
  const char16_t c = item.text[p];
  word_.clear();
  word_.text[0] = c;
  word_.reading[0] = c;

  char16_t probe[kMaxWordSyllables + 1] = {};
  std::size_t probeLength = 0;
  while (probeLength < kMaxWordSyllables && p + probeLength < item.length && item.text[p + probeLength] != 0) {
    probe[probeLength] = item.text[p + probeLength];
    ++probeLength;
  }
  int n = dictionary_.lookUpWord(probe, probeLength, word_);
  if (n == 1) {
    char16_t units[4];
    for (std::uint32_t k = 0; k < 4; ++k) units[k] = p + k < item.length ? item.text[p + k] : char16_t{0};
    n = matchPhrase(units, word_);
  }
  // A word always speaks at least one syllable and never more than its arrays hold.
  const auto syllables = static_cast<std::uint32_t>(std::clamp(n, 1, static_cast<int>(kMaxWordSyllables)));

  HRESULT hr = sendEvent(site, SPEI_WORD_BOUNDARY, word_.textLength(), static_cast<LPARAM>(sourceOffsetAt(item, p)));
  if (FAILED(hr)) return hr;
  if (panel_ != nullptr) showWordOnPanel();

  for (std::uint32_t k = 0; k < syllables; ++k) {
    unitLength_ = 0;
    hr = pollActions(site, true, flow);
    if (FAILED(hr) || flow == Flow::Stop) return hr;
    if (k > 0 && FAILED(hr = sendMarksBefore(site, item.text + p + k))) return hr;
    const std::uint32_t unit = static_cast<std::uint32_t>(word_.reading[k]) - kIdeographUnitBias;
    unitLength_ = speakSyllable(site, unit, word_.syllable(k));
    audioOffset_ += unitLength_;
  }
  p += syllables - 1;
  return S_OK;
}

HRESULT Engine::speakNumber(ISpTTSEngineSite* site, const TextItem& item, std::uint32_t& p, Flow& flow) {
  const std::uint32_t start = p;
  const auto digitAt = [&item](std::uint32_t i) { return i < item.length && isDigit(item.text[i]); };

  // Each part holds at most kMaxNumberPart code units; digits beyond that are
  // left for the next number, which starts where this one stops.
  number_.integerPart.assign(1, item.text[p]);
  number_.fractionPart.clear();
  number_.percent.clear();
  ++p;
  while (digitAt(p) && number_.integerPart.size() < kMaxNumberPart) number_.integerPart += item.text[p++];
  if (p < item.length && item.text[p] == u'.' && digitAt(p + 1)) {
    ++p;
    number_.fractionPart.assign(1, kDecimalPoint);
    while (digitAt(p) && number_.fractionPart.size() < kMaxNumberPart)
      number_.fractionPart += kFractionNumerals[item.text[p++] - u'0'];
  }
  if (p < item.length && item.text[p] == u'%') {
    number_.percent.assign(1, u'%');
    ++p;
  }
  numberReading_ = readNumber(number_, [this] {
    ui::showWarning(ui::UserWarning::NumberTooLarge, platform::utf16ToUtf8(number_.integerPart) + " has more than " +
                                                         std::to_string(kMaxNumberDigits) + " digits");
  });

  HRESULT hr = sendEvent(site, SPEI_WORD_BOUNDARY, p - start, static_cast<LPARAM>(sourceOffsetAt(item, start)));
  if (FAILED(hr)) return hr;
  for (const char16_t u : numberReading_) {
    unitLength_ = 0;
    if (site->GetActions() & SPVES_ABORT) {
      flow = Flow::Stop;
      return S_OK;
    }
    unitLength_ = speakSyllable(site, static_cast<std::uint32_t>(u) - kIdeographUnitBias, {6, 6, 0, 0});
    audioOffset_ += unitLength_;
  }
  --p;  // the last code unit the number took; the caller moves past it
  return sendMarksBefore(site, item.text + p);
}

HRESULT Engine::speakSymbol(ISpTTSEngineSite* site, const TextItem& item, std::uint32_t p) {
  const settings::EngineSettings& config = settings::engineSettings();
  const char16_t c = item.text[p];
  std::uint32_t unit = symbolUnit(c);
  const Pause pause = pauseClass(c <= 0x00FF ? static_cast<char16_t>(unit) : c);
  if (pause != Pause::None && config.readPunctuation.load() == 0) unit = 0;

  HRESULT hr = sendEvent(site, SPEI_WORD_BOUNDARY, 1, static_cast<LPARAM>(sourceOffsetAt(item, p)));
  if (FAILED(hr)) return hr;
  unitLength_ = speakSyllable(site, unit, {});

  std::int32_t pauseBytes = 0;
  if (pause == Pause::Long) pauseBytes = config.puncLong.load();
  if (pause == Pause::Short) pauseBytes = config.puncShort.load();
  // Silence is written in whole samples: an odd setting loses its last byte.
  const auto silence =
      static_cast<std::uint32_t>(pauseBytes > 0 ? pacedSilence(static_cast<std::uint32_t>(pauseBytes) & ~1u) : 0);
  if (silence > 0) {
    hr = writeSilence(site, silence);
    if (FAILED(hr)) return hr;
  }
  audioOffset_ += unitLength_ + silence;
  return S_OK;
}

HRESULT Engine::speakSilence(ISpTTSEngineSite* site, const TextItem& item) {
  static constexpr std::uint8_t kZeros[kSilenceChunkBytes] = {};
  std::uint64_t remaining = pacedSilence(static_cast<std::uint64_t>(kBytesPerMs) * item.state->SilenceMSecs);
  std::uint64_t written = 0;
  HRESULT hr = S_OK;
  while (!(site->GetActions() & SPVES_ABORT)) {
    const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, kSilenceChunkBytes));
    hr = site->Write(kZeros, piece, nullptr);
    if (FAILED(hr)) break;
    written += piece;
    remaining -= piece;
    if (remaining == 0) break;
  }
  audioOffset_ += written;
  return FAILED(hr) ? hr : S_OK;
}

HRESULT Engine::sendBookmark(ISpTTSEngineSite* site, const char16_t* text, std::uint32_t length) {
  std::u16string name;
  if (text != nullptr) name.assign(text, length);
  const std::int32_t value = bookmarkValue(name);
  return sendEvent(site, SPEI_TTS_BOOKMARK, static_cast<WPARAM>(static_cast<std::intptr_t>(value)),
                   reinterpret_cast<LPARAM>(name.c_str()), SPET_LPARAM_IS_STRING);
}

std::uint64_t Engine::pacedSilence(std::uint64_t bytes) const {
  const std::int32_t rate = spokenRate();
  if (settings::engineSettings().fastSpeech.load() == 0 || rate <= 0) return bytes;
  const auto samples = static_cast<double>(bytes / 2) / fastSpeedup(rate);
  return 2 * static_cast<std::uint64_t>(nearest(samples));
}

HRESULT Engine::sendMarksBefore(ISpTTSEngineSite* site, const char16_t* unit) {
  const std::vector<BookmarkJoins::Mark>& marks = joins_.marks();
  if (nextMark_ == marks.size()) return S_OK;
  std::optional<BookmarkJoins::Place> place;
  if (unit != nullptr && !(place = joins_.locate(unit))) return S_OK;
  for (; nextMark_ < marks.size(); ++nextMark_) {
    const BookmarkJoins::Mark& mark = marks[nextMark_];
    if (place && (mark.text > place->text || (mark.text == place->text && mark.position > place->position))) break;
    if (const HRESULT hr = sendBookmark(site, mark.name, mark.nameLength); FAILED(hr)) return hr;
  }
  return S_OK;
}

std::uint32_t Engine::sourceOffsetAt(const TextItem& item, std::uint32_t p) const {
  if (const auto place = joins_.locate(item.text + p)) return place->sourceOffset;
  return item.sourceOffset + p;
}

}  // namespace sonvale
