// The speaking loop driven through Engine::speak with a recording synthesiser
// that writes 100 bytes per syllable, so every offset below is worked out from
// the rules: 100 bytes a syllable, 10000 after each spoken item, pauses of
// PuncLong (15000) and PuncShort (5000) bytes.
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "host/output_site.h"
#include "platform/utf.h"
#include "test_support.h"
#include "ui/ui.h"

namespace sonvale {
namespace {

using host::OutputSite;
using host::RecordedEvent;
using testing::Fragment;
using testing::FragmentList;
using testing::RecordingSynth;

// An event reduced to what the rules fix: id, stream offset, wParam, lParam.
struct Ev {
  int id;
  std::uint64_t offset;
  std::uint64_t wParam;
  std::int64_t lParam;
  friend bool operator==(const Ev&, const Ev&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Ev& e) {
    return os << "{id " << e.id << ", offset " << e.offset << ", w " << e.wParam << ", l " << e.lParam << "}";
  }
};

constexpr int kSentence = SPEI_SENTENCE_BOUNDARY;
constexpr int kWord = SPEI_WORD_BOUNDARY;

std::vector<Ev> reduce(const std::vector<RecordedEvent>& events) {
  std::vector<Ev> out;
  for (const RecordedEvent& e : events)
    out.push_back({e.id, e.audioOffset, e.wParam, e.id == SPEI_TTS_BOOKMARK ? 0 : static_cast<std::int64_t>(e.lParam)});
  return out;
}

std::vector<std::uint32_t> units(const RecordingSynth& synth) {
  std::vector<std::uint32_t> out;
  for (const auto& call : synth.calls) out.push_back(call.unitCode);
  return out;
}

class FragmentLoopTest : public testing::EngineTest {
 protected:
  // Creates the engine (which loads the settings) and speaks `list`.
  HRESULT speak(const FragmentList& list) {
    engine_ = std::make_unique<Engine>();
    engine_->setSynth(&synth_);
    return engine_->speak(0, list.head(), &site_);
  }

  RecordingSynth synth_{100};
  OutputSite site_;
  std::unique_ptr<Engine> engine_;
};

TEST_F(FragmentLoopTest, SentenceAndSymbolOffsets) {
  ASSERT_EQ(speak(FragmentList(u"abc. def")), S_OK);
  const std::vector<Ev> expected = {
      {kSentence, 0, 4, 0},       {kWord, 0, 1, 0},         {kWord, 100, 1, 1},   {kWord, 200, 1, 2},
      {kWord, 10300, 1, 3},       {kSentence, 35400, 3, 5}, {kWord, 35400, 1, 5}, {kWord, 35500, 1, 6},
      {kWord, 35600, 1, 7},
  };
  EXPECT_EQ(reduce(site_.events()), expected);
  // The full stop is not read aloud (ReadPunctuation 0): unit 0, then its pause.
  EXPECT_EQ(units(synth_), (std::vector<std::uint32_t>{'A', 'B', 'C', 0, 'D', 'E', 'F'}));
  EXPECT_EQ(site_.bytesWritten(), 45700u);
  EXPECT_EQ(engine_->audioOffset(), 45700u);
}

// A sentence far longer than the items the engine makes at a time (here
// 5000 bookmarks, each an item) is still one sentence, whose event spans all
// of it, and every item of it is spoken.
TEST_F(FragmentLoopTest, LongSentenceIsOneSentence) {
  std::vector<Fragment> fragments;
  for (ULONG i = 0; i < 5000; ++i) fragments.push_back({SPVA_Bookmark, u"7", i});
  fragments.push_back({SPVA_Speak, u"b. c", 5000});
  ASSERT_EQ(speak(FragmentList(fragments)), S_OK);
  std::vector<Ev> sentences;
  int bookmarks = 0;
  for (const Ev& e : reduce(site_.events())) {
    if (e.id == kSentence) sentences.push_back(e);
    if (e.id == SPEI_TTS_BOOKMARK) ++bookmarks;
  }
  ASSERT_EQ(sentences.size(), 2u);
  EXPECT_EQ(sentences[0], (Ev{kSentence, 0, 5002, 0}));  // the bookmarks, "b" and "."
  EXPECT_EQ(sentences[1].wParam, 1u);
  EXPECT_EQ(sentences[1].lParam, 5003);
  EXPECT_EQ(bookmarks, 5000);
  EXPECT_EQ(units(synth_), (std::vector<std::uint32_t>{'B', 0, 'C'}));  // the full stop is unit 0
}

TEST_F(FragmentLoopTest, SingleIdeographIsOneSyllableWord) {
  ASSERT_EQ(speak(FragmentList(u"中")), S_OK);
  EXPECT_EQ(reduce(site_.events()), (std::vector<Ev>{{kSentence, 0, 1, 0}, {kWord, 0, 1, 0}}));
  ASSERT_EQ(synth_.calls.size(), 1u);
  EXPECT_EQ(synth_.calls[0].unitCode, 0x4E2Du - 0x4A18u);
  EXPECT_EQ(synth_.calls[0].params, (SyllableParams{0, 0, 0, 0}));
  EXPECT_EQ(engine_->audioOffset(), 100u + 10000u);
  EXPECT_EQ(engine_->currentWord().text[0], u'中');
  EXPECT_EQ(engine_->currentWord().textLength(), 1u);
}

TEST_F(FragmentLoopTest, IdeographicSpaceIsSilentAndUnannounced) {
  ASSERT_EQ(speak(FragmentList(u"中\u3000文")), S_OK);
  EXPECT_EQ(reduce(site_.events()), (std::vector<Ev>{{kSentence, 0, 3, 0}, {kWord, 0, 1, 0}, {kWord, 100, 1, 2}}));
  EXPECT_EQ(units(synth_), (std::vector<std::uint32_t>{0x4E2D - 0x4A18, 0x6587 - 0x4A18}));
}

TEST_F(FragmentLoopTest, DecimalNumberBuffers) {
  storeSettings({{u"ReadNumber", 1}});
  ASSERT_EQ(speak(FragmentList(u"3.14")), S_OK);
  EXPECT_EQ(reduce(site_.events()), (std::vector<Ev>{{kSentence, 0, 4, 0}, {kWord, 0, 4, 0}}));
  EXPECT_EQ(engine_->lastNumber().integerPart, u"3");
  EXPECT_EQ(engine_->lastNumber().fractionPart, u"点一四");
  EXPECT_EQ(engine_->lastNumber().percent, u"");
  // Each character of the reading is one syllable, padded on both sides.
  EXPECT_EQ(engine_->numberReading(), u"叁点一四");
  ASSERT_EQ(synth_.calls.size(), 4u);
  EXPECT_EQ(synth_.calls[0].unitCode, 0x53C1u - 0x4A18u);
  EXPECT_EQ(synth_.calls[3].unitCode, 0x56DBu - 0x4A18u);
  for (const auto& call : synth_.calls) EXPECT_EQ(call.params, (SyllableParams{6, 6, 0, 0}));
  EXPECT_EQ(engine_->audioOffset(), 400u + 10000u);
}

TEST_F(FragmentLoopTest, NumberWithSignAndPercent) {
  storeSettings({{u"ReadNumber", 1}});
  ASSERT_EQ(speak(FragmentList(u"-12.5%x")), S_OK);
  // The number takes "-12.5%" (6 code units) and is read in 8 syllables
  // (百份之负拾贰点五); the x after it is a letter.
  EXPECT_EQ(reduce(site_.events()), (std::vector<Ev>{{kSentence, 0, 7, 0}, {kWord, 0, 6, 0}, {kWord, 800, 1, 6}}));
  EXPECT_EQ(engine_->numberReading(), u"百份之负拾贰点五");
  EXPECT_EQ(engine_->lastNumber().integerPart, u"-12");
  EXPECT_EQ(engine_->lastNumber().fractionPart, u"点五");
  EXPECT_EQ(engine_->lastNumber().percent, u"%");
}

TEST_F(FragmentLoopTest, FractionNumeralsUseFormalSevenEightNine) {
  storeSettings({{u"ReadNumber", 1}});
  ASSERT_EQ(speak(FragmentList(u"0.0123456789")), S_OK);
  EXPECT_EQ(engine_->lastNumber().fractionPart, u"点零一二三四五六柒捌玖");
}

TEST_F(FragmentLoopTest, DigitsOneByOneWithoutNumberReading) {
  ASSERT_EQ(speak(FragmentList(u"3.14")), S_OK);
  EXPECT_EQ(reduce(site_.events()), (std::vector<Ev>{{kSentence, 0, 4, 0},
                                                     {kWord, 0, 1, 0},
                                                     {kWord, 100, 1, 1},
                                                     {kWord, 15200, 1, 2},
                                                     {kWord, 15300, 1, 3}}));
  EXPECT_EQ(units(synth_), (std::vector<std::uint32_t>{'3', 0, '1', '4'}));
  EXPECT_EQ(engine_->audioOffset(), 15400u + 10000u);
}

TEST_F(FragmentLoopTest, ReadPunctuationSpeaksTheMark) {
  storeSettings({{u"ReadPunctuation", 7}});
  ASSERT_EQ(speak(FragmentList(u"3.14")), S_OK);
  EXPECT_EQ(units(synth_), (std::vector<std::uint32_t>{'3', '.', '1', '4'}));
  EXPECT_EQ(engine_->audioOffset(), 15400u + 10000u);
}

TEST_F(FragmentLoopTest, ReadNumberTwoStillReadsDigits) {
  storeSettings({{u"ReadNumber", 2}});
  ASSERT_EQ(speak(FragmentList(u"42")), S_OK);
  EXPECT_EQ(units(synth_), (std::vector<std::uint32_t>{'4', '2'}));
}

TEST_F(FragmentLoopTest, MinusSign) {
  ASSERT_EQ(speak(FragmentList(u"-5")), S_OK);
  EXPECT_EQ(units(synth_), (std::vector<std::uint32_t>{0x2D, '5'}));
  EXPECT_EQ(engine_->audioOffset(), 200u + 10000u);  // '-' has no pause

  storeSettings({{u"ReadNumber", 1}});
  Engine reading;
  RecordingSynth synth;
  reading.setSynth(&synth);
  OutputSite site;
  const FragmentList list(u"-5 -x");
  ASSERT_EQ(reading.speak(0, list.head(), &site), S_OK);
  // "-5" is one number of two syllables (负伍); the '-' before a letter is a symbol.
  EXPECT_EQ(reduce(site.events()),
            (std::vector<Ev>{{kSentence, 0, 5, 0}, {kWord, 0, 2, 0}, {kWord, 10200, 1, 3}, {kWord, 10300, 1, 4}}));
  EXPECT_EQ(reading.lastNumber().integerPart, u"-5");
}

void countWarning(ui::UserWarning kind, const std::string&, void* context) {
  if (kind == ui::UserWarning::NumberTooLarge) ++*static_cast<int*>(context);
}

TEST_F(FragmentLoopTest, LongDigitRunIsCutIntoNumbers) {
  storeSettings({{u"ReadNumber", 1}});
  int warnings = 0;
  ui::setWarningSink(countWarning, &warnings);
  ASSERT_EQ(speak(FragmentList(std::u16string(600, u'7'))), S_OK);
  ui::setWarningSink(nullptr, nullptr);
  EXPECT_EQ(warnings, 3);  // each part is too long to be read as a number
  // 255 + 255 + 90 digits: three numbers, none past its buffer.
  EXPECT_EQ(reduce(site_.events()),
            (std::vector<Ev>{{kSentence, 0, 600, 0}, {kWord, 0, 255, 0}, {kWord, 0, 255, 255}, {kWord, 0, 90, 510}}));
  EXPECT_EQ(engine_->lastNumber().integerPart, std::u16string(90, u'7'));
}

struct PauseCase {
  const char* name;
  std::u16string text;
  DWORD readPunctuation;
  std::uint32_t unit;
  std::uint64_t pauseBytes;
};

void PrintTo(const PauseCase& c, std::ostream* os) { *os << c.name; }

class PauseTest : public FragmentLoopTest, public ::testing::WithParamInterface<PauseCase> {};

TEST_P(PauseTest, UnitAndPause) {
  const PauseCase& c = GetParam();
  storeSettings({{u"ReadPunctuation", c.readPunctuation}});
  ASSERT_EQ(speak(FragmentList(c.text)), S_OK);
  ASSERT_EQ(synth_.calls.size(), 1u);
  EXPECT_EQ(synth_.calls[0].unitCode, c.unit);
  EXPECT_EQ(engine_->audioOffset(), 100 + c.pauseBytes + 10000);
  EXPECT_EQ(site_.bytesWritten(), engine_->audioOffset());
}

const PauseCase kPauseCases[] = {
    {"FullwidthCommaSilent", u"，", 0, 0, 5000},
    {"FullwidthCommaSpoken", u"，", 1, 0x2C, 5000},
    {"IdeographicFullStop", u"。", 0, 0, 15000},
    {"IdeographicFullStopSpoken", u"。", 1, 0x3002 - 0x2E0C, 15000},
    {"IdeographicComma", u"、", 1, 0x3001 - 0x2E0C, 5000},
    {"LeftDoubleAngle", u"《", 1, 0x300A - 0x2E0C, 5000},
    {"RightDoubleAngleNoPause", u"》", 0, 0x300B - 0x2E0C, 0},
    {"FullwidthBracketNoPause", u"（", 0, 0x28, 0},
    {"FullwidthQuestion", u"？", 1, '?', 15000},
    {"FullwidthLetterRaised", u"ｂ", 0, 'B', 0},
    {"CurvedQuoteSilent", u"\u201C", 0, 0, 5000},
    {"CurvedQuoteSpoken", u"\u201D", 1, 0x22, 5000},
    {"Semicolon", u";", 1, ';', 5000},
    {"EnyeIsLong", u"\u00F1", 1, 0xF1, 15000},
    {"OSlashIsShort", u"\u00F8", 0, 0, 5000},
    {"LetterNoPause", u"q", 0, 'Q', 0},
    {"OtherCodeUnitIsUnitZero", u"\u0416", 1, 0, 0},
    {"UnassignedIdeographRangeIsUnitZero", u"\u9FA6", 0, 0, 0},
    {"UnpairedSurrogate", u"\xD800", 0, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, PauseTest, ::testing::ValuesIn(kPauseCases),
                         [](const ::testing::TestParamInfo<PauseCase>& param) { return param.param.name; });

TEST_F(FragmentLoopTest, ZeroAndOddPauseSettings) {
  storeSettings({{u"PuncShort", 0}, {u"PuncLong", 1001}});
  ASSERT_EQ(speak(FragmentList(u"， 。")), S_OK);
  // No short pause at all; the odd long pause is written as 1000 bytes.
  EXPECT_EQ(engine_->audioOffset(), (100u + 10000u) + (100u + 1000u + 10000u));
  EXPECT_EQ(site_.bytesWritten(), engine_->audioOffset());
}

TEST_F(FragmentLoopTest, SilenceFragmentChunks) {
  site_.recordWriteSizes(true);
  ASSERT_EQ(speak(FragmentList({{SPVA_Silence, u"", 0, 100}})), S_OK);
  EXPECT_EQ(site_.writeSizes(), (std::vector<std::uint32_t>{1000, 1000, 200}));
  EXPECT_EQ(engine_->audioOffset(), 2200u);
}

TEST_F(FragmentLoopTest, ZeroSilenceWritesNothing) {
  site_.recordWriteSizes(true);
  ASSERT_EQ(speak(FragmentList({{SPVA_Silence, u"", 0, 0}})), S_OK);
  EXPECT_EQ(site_.writeSizes(), (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(engine_->audioOffset(), 0u);
}

TEST_F(FragmentLoopTest, AbortEndsSilenceBetweenChunks) {
  site_.recordWriteSizes(true);
  std::size_t writes = 0;
  site_.setActionsHook([&writes](OutputSite& site, std::uint64_t) {
    if (site.writeSizes().size() == 2 && writes++ == 0) site.requestAbort();
  });
  ASSERT_EQ(speak(FragmentList({{SPVA_Silence, u"", 0, 100}, {SPVA_Speak, u"x", 1}})), S_OK);
  EXPECT_EQ(site_.writeSizes(), (std::vector<std::uint32_t>{1000, 1000}));
  EXPECT_TRUE(synth_.calls.empty());
}

struct BookmarkCase {
  const char* name;
  std::u16string mark;
  std::int64_t value;
};

void PrintTo(const BookmarkCase& c, std::ostream* os) { *os << c.name; }

class BookmarkTest : public FragmentLoopTest, public ::testing::WithParamInterface<BookmarkCase> {};

TEST_P(BookmarkTest, Value) {
  const BookmarkCase& c = GetParam();
  ASSERT_EQ(speak(FragmentList({{SPVA_Speak, u"ab", 0}, {SPVA_Bookmark, c.mark, 3}})), S_OK);
  ASSERT_EQ(site_.events().size(), 4u);
  const RecordedEvent& mark = site_.events()[3];
  EXPECT_EQ(mark.id, SPEI_TTS_BOOKMARK);
  EXPECT_EQ(mark.paramType, SPET_LPARAM_IS_STRING);
  EXPECT_EQ(mark.audioOffset, 10200u);
  EXPECT_EQ(mark.bookmark, c.mark);
  EXPECT_EQ(static_cast<std::intptr_t>(mark.wParam), c.value);
}

const BookmarkCase kBookmarkCases[] = {
    {"DigitsThenLetters", u"42abc", 42},
    {"NoDigits", u"abc", 0},
    {"Empty", u"", 0},
    {"SpaceAndSign", u" \t-7x", -7},
    {"PlusSign", u"+15", 15},
    {"TooLarge", u"99999999999", 2147483647},
    {"TooSmall", u"-99999999999", -2147483647 - 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, BookmarkTest, ::testing::ValuesIn(kBookmarkCases),
                         [](const ::testing::TestParamInfo<BookmarkCase>& param) { return param.param.name; });

TEST_F(FragmentLoopTest, PronounceAndSpellOutAreNotSpoken) {
  ASSERT_EQ(speak(FragmentList({{SPVA_Pronounce, u"abc", 0},
                                {SPVA_SpellOut, u"de", 4},
                                {SPVA_Section, u"s", 7},
                                {SPVA_ParseUnknownTag, u"<x>", 9}})),
            S_OK);
  EXPECT_EQ(reduce(site_.events()), (std::vector<Ev>{{kSentence, 0, 12, 0}}));
  EXPECT_EQ(site_.bytesWritten(), 0u);
}

TEST_F(FragmentLoopTest, AbortDuringLongIdeographRunStopsBeforeNextSyllable) {
  std::u16string text;
  for (int i = 0; i < 200; ++i) text += static_cast<char16_t>(0x4E00 + i);
  synth_.onCall = [this](std::size_t n) {
    if (n == 50) site_.requestAbort();
  };
  ASSERT_EQ(speak(FragmentList(text)), S_OK);
  EXPECT_EQ(synth_.calls.size(), 50u);
  EXPECT_EQ(site_.bytesWritten(), 5000u);  // no closing silence after an abort
}

// The site's rate and volume, moved by the fragment's RateAdj and scaled by
// its Volume (markup such as <rate> and <volume>), reach every syllable; the
// engine keeps the site's own values.
TEST_F(FragmentLoopTest, RateAndVolumeReachTheSynthesiser) {
  struct Case {
    LONG siteRate;
    USHORT siteVolume;
    LONG rateAdj;
    ULONG fragmentVolume;
    std::int32_t rate;
    std::uint32_t volume;
    LONG emphAdj = 0;
  };
  const Case cases[] = {
      {-4, 40, 0, 100, -4, 40},  // SAPI's defaults in the fragment: the site's values
      {-4, 40, 3, 50, -1, 20},   {8, 100, 5, 100, 10, 100},  // held at 10
      {-8, 100, -5, 100, -10, 100}, {0, 90, 0, 0, 0, 0},     {0, 50, 0, 99, 0, 49},  // 49.5 truncated
      {12, 100, 0, 100, 12, 100},  // the site's value untouched when the fragment adds nothing
      {0, 100, 0, 100, -2, 100, 1},    {-9, 100, 1, 100, -10, 100, 1},  // emphasis: two steps slower
      {3, 100, 0, 100, 3, 100, -1},  // reduced emphasis: as it is
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("site " + std::to_string(c.siteRate) + "/" + std::to_string(c.siteVolume) + ", fragment " +
                 std::to_string(c.rateAdj) + "/" + std::to_string(c.fragmentVolume));
    synth_.calls.clear();
    site_.setRate(c.siteRate);
    site_.setVolume(c.siteVolume);
    FragmentList list(u"中a");
    list[0].State.RateAdj = c.rateAdj;
    list[0].State.Volume = c.fragmentVolume;
    list[0].State.EmphAdj = c.emphAdj;
    ASSERT_EQ(speak(list), S_OK);
    ASSERT_EQ(synth_.calls.size(), 2u);
    for (const auto& call : synth_.calls) {
      EXPECT_EQ(call.rate, c.rate);
      EXPECT_EQ(call.volume, c.volume);
    }
    EXPECT_EQ(engine_->rate(), c.siteRate);
    EXPECT_EQ(engine_->volume(), c.siteVolume);
  }
}

TEST_F(FragmentLoopTest, RateChangeBetweenSyllables) {
  synth_.onCall = [this](std::size_t n) {
    if (n == 1) site_.setRate(7);
  };
  ASSERT_EQ(speak(FragmentList(u"中文")), S_OK);
  ASSERT_EQ(synth_.calls.size(), 2u);
  EXPECT_EQ(synth_.calls[0].rate, 0);
  EXPECT_EQ(synth_.calls[1].rate, 7);
}

TEST_F(FragmentLoopTest, FailedSilenceWriteEndsTheCall) {
  site_.failCallAt(OutputSite::Call::Write, 2, E_ACCESSDENIED);  // the first chunk of the closing silence
  EXPECT_EQ(speak(FragmentList(u"中 文")), E_ACCESSDENIED);
  EXPECT_EQ(site_.bytesWritten(), 100u);  // the syllable written before stays written
  EXPECT_EQ(synth_.calls.size(), 1u);
}

TEST_F(FragmentLoopTest, FailedSyllableWriteGoesOn) {
  site_.failCallAt(OutputSite::Call::Write, 1, E_FAIL);
  ASSERT_EQ(speak(FragmentList(u"鬱龜")), S_OK);  // two words of one syllable each
  // The first syllable added nothing; the second starts at offset 0.
  EXPECT_EQ(reduce(site_.events()), (std::vector<Ev>{{kSentence, 0, 2, 0}, {kWord, 0, 1, 0}, {kWord, 0, 1, 1}}));
  EXPECT_EQ(engine_->audioOffset(), 100u + 10000u);
}

TEST_F(FragmentLoopTest, FailedRateOrVolumeEndsTheCall) {
  site_.failCallAt(OutputSite::Call::GetRate, 1, E_UNEXPECTED);
  site_.setRate(3);
  EXPECT_EQ(speak(FragmentList(u"ab")), E_UNEXPECTED);
  EXPECT_TRUE(synth_.calls.empty());

  OutputSite site;
  site.failCallAt(OutputSite::Call::GetVolume, 1, E_POINTER);
  site.setVolume(3);
  const FragmentList list(u"ab");
  EXPECT_EQ(engine_->speak(0, list.head(), &site), E_POINTER);
}

TEST_F(FragmentLoopTest, EveryCodeUnitIsSpokenOrSkipped) {
  storeSettings({{u"ReadNumber", 1}, {u"ReadPunctuation", 1}});
  std::u16string text;
  for (std::uint32_t c = 1; c <= 0xFFFF; ++c) text += static_cast<char16_t>(c);
  ASSERT_EQ(speak(FragmentList(text)), S_OK);
  for (const auto& call : synth_.calls) EXPECT_LT(call.unitCode, kUnitCount);
  EXPECT_EQ(site_.bytesWritten(), engine_->audioOffset());
}

// With fast speech a rate above 0 shortens every pause by the speed-up that
// it gives syllables, 3.5^(rate / 10), to the nearest whole sample: at +10 the
// item end (5000 samples) becomes 1429, the comma's pause (2500) 714 and a
// silence of 100 ms (1100) 314; at +5 (1.8708 times) 2673, 1336 and 588.
// Without it, or at rate 0, they stay as they are.
TEST_F(FragmentLoopTest, FastSpeechShortensPausesInStep) {
  struct Case {
    DWORD fastSpeech;
    LONG rate;
    std::vector<std::uint64_t> wordOffsets;
    std::uint64_t bytes;
  };
  const Case cases[] = {
      {1, 10, {0, 100, 1628}, 1728 + 2858 + 628},
      {1, 5, {0, 100, 2872}, 2972 + 5346 + 1176},
      {1, 0, {0, 100, 5200}, 5300 + 10000 + 2200},
      {0, 10, {0, 100, 5200}, 5300 + 10000 + 2200},
  };
  for (const Case& c : cases) {
    storeSettings({{u"FastSpeech", c.fastSpeech}});
    OutputSite site;
    site.setRate(c.rate);
    engine_ = std::make_unique<Engine>();
    engine_->setSynth(&synth_);
    ASSERT_EQ(engine_->speak(0, FragmentList({{SPVA_Speak, u"好，好", 0}, {SPVA_Silence, u"", 3, 100}}).head(), &site),
              S_OK);
    std::vector<std::uint64_t> words;
    for (const RecordedEvent& e : site.events())
      if (e.id == kWord) words.push_back(e.audioOffset);
    EXPECT_EQ(words, c.wordOffsets) << "FastSpeech " << c.fastSpeech << " rate " << c.rate;
    EXPECT_EQ(site.bytesWritten(), c.bytes) << "FastSpeech " << c.fastSpeech << " rate " << c.rate;
  }
}

// Text with bookmarks, written with '|' where each bookmark stands. In the
// source each bookmark takes 10 characters, as a tag would.
struct MarkedCase {
  const char* name;
  std::u16string text;
  DWORD readNumber;
  std::vector<std::uint64_t> markOffsets;  // worked out from the rules at the top
};

void PrintTo(const MarkedCase& c, std::ostream* os) { *os << c.name; }

class MarkedTextTest : public FragmentLoopTest, public ::testing::WithParamInterface<MarkedCase> {};

// A bookmark adds no sound and moves nothing: the audio and the syllables are
// those of the text without bookmarks, every other event stands at the same
// audio offset, word positions count the bookmarks' source characters, and
// each bookmark stands where the text after it begins to sound.
TEST_P(MarkedTextTest, SoundsLikeTheUnmarkedText) {
  const MarkedCase& c = GetParam();
  storeSettings({{u"ReadNumber", c.readNumber}});
  constexpr ULONG kTagLength = 10;
  std::u16string plain;
  std::vector<Fragment> marked;
  std::vector<std::uint32_t> marksBefore;  // per code unit of `plain`
  std::uint32_t marks = 0;
  for (const char16_t ch : c.text) {
    if (ch == u'|') {
      marked.push_back({SPVA_Bookmark, platform::utf8ToUtf16(std::to_string(marks)),
                        static_cast<ULONG>(plain.size() + kTagLength * marks)});
      ++marks;
      continue;
    }
    if (marked.empty() || marked.back().action != SPVA_Speak)
      marked.push_back({SPVA_Speak, u"", static_cast<ULONG>(plain.size() + kTagLength * marks)});
    marked.back().text += ch;
    marksBefore.push_back(marks);
    plain += ch;
  }

  ASSERT_EQ(speak(FragmentList(plain)), S_OK);
  const std::vector<std::uint8_t> plainAudio = site_.audio();
  const std::vector<RecordingSynth::Call> plainCalls = synth_.calls;
  std::vector<Ev> plainEvents;
  for (const Ev& e : reduce(site_.events()))
    if (e.id == kWord) plainEvents.push_back({e.id, e.offset, e.wParam, e.lParam + kTagLength * marksBefore[e.lParam]});

  OutputSite site;
  synth_.calls.clear();
  ASSERT_EQ(engine_->speak(0, FragmentList(marked).head(), &site), S_OK);
  EXPECT_TRUE(site.audio() == plainAudio) << site.audio().size() << " bytes against " << plainAudio.size();
  ASSERT_EQ(synth_.calls.size(), plainCalls.size());
  for (std::size_t i = 0; i < plainCalls.size(); ++i) {
    EXPECT_EQ(synth_.calls[i].unitCode, plainCalls[i].unitCode) << i;
    EXPECT_EQ(synth_.calls[i].params.cutBefore, plainCalls[i].params.cutBefore) << i;
    EXPECT_EQ(synth_.calls[i].params.durationIndex, plainCalls[i].params.durationIndex) << i;
  }
  std::vector<Ev> words;
  std::vector<std::uint64_t> markOffsets;
  std::vector<std::u16string> names;
  for (const RecordedEvent& e : site.events()) {
    if (e.id == SPEI_TTS_BOOKMARK) {
      markOffsets.push_back(e.audioOffset);
      names.push_back(e.bookmark);
    } else if (e.id == kWord) {
      words.push_back({e.id, e.audioOffset, e.wParam, static_cast<std::int64_t>(e.lParam)});
    }
  }
  EXPECT_EQ(words, plainEvents);
  EXPECT_EQ(markOffsets, c.markOffsets);
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], platform::utf8ToUtf16(std::to_string(i)));
}

// 100 bytes a syllable; 10000 after an item; ， and , pause 5000, . 15000.
const MarkedCase kMarkedCases[] = {
    // Between every character, so also inside any word a phrase rule makes:
    // a word speaks one syllable per character, and each bookmark stands
    // where the syllable after it begins.
    {"BetweenEveryCharacter",
     u"我|哋|講|廣|東|話|今|日|天|氣|好|好",
     0,
     {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100}},
    {"AfterIdeographicComma", u"今日，|好好", 0, {5300}},
    {"AfterCommaInsideAToken", u"Hello,|world", 0, {5600}},
    {"AfterCommaAndSpace", u"Hello, |world", 0, {25600}},
    {"BeforeTheSpace", u"Hello,| world", 0, {25600}},
    {"FullStopInsideAToken", u"Hi.|Yo", 0, {15300}},
    {"ClauseEndThenSentenceEnd", u"好，|好。|好", 0, {5200, 20400}},
    {"TwoTogether", u"你||好", 0, {100, 100}},
    {"AtTheStartAndTheEnd", u"|你好|", 0, {0, 10200}},
    {"BeforeOnlyWhiteSpace", u"你|  |", 0, {10100, 10100}},
    // A number is read as a whole; a bookmark inside it stands where its
    // reading ends (1234: seven syllables).
    {"InsideANumber", u"12|34", 1, {700}},
    {"InsideDigitsReadOneByOne", u"12|34", 0, {200}},
    {"BetweenANumberAndAWord", u"12|好", 1, {200}},
};

INSTANTIATE_TEST_SUITE_P(Cases, MarkedTextTest, ::testing::ValuesIn(kMarkedCases),
                         [](const ::testing::TestParamInfo<MarkedCase>& param) { return param.param.name; });

}  // namespace
}  // namespace sonvale
