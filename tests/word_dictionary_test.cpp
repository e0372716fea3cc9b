// Dictionary lookup over dictionary images built in memory.
#include "engine/word_dictionary.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/engine.h"
#include "host/output_site.h"
#include "platform/le_bytes.h"
#include "synth/voice_format.h"
#include "test_support.h"

namespace sonvale {
namespace {

WordRecord record(std::u16string text, std::u16string reading = {}, std::int32_t disabled = 0) {
  WordRecord w;
  w.clear();
  if (reading.empty()) reading = text;
  std::memcpy(w.text, text.data(), std::min<std::size_t>(text.size(), 9) * 2);
  std::memcpy(w.reading, reading.data(), std::min<std::size_t>(reading.size(), 9) * 2);
  w.disabled = disabled;
  for (std::size_t k = 0; k < 8; ++k) w.durationIndex[k] = static_cast<std::int32_t>(k) + 1;
  return w;
}

struct Range {
  char16_t first;
  std::uint32_t from, to;
};

// A dictionary image: records in order, index ranges, an optional shared list.
// An index entry (0, 0) means "no words", so record 0 is a disabled filler
// and the record numbers given here count from the record after it.
std::vector<std::uint8_t> dictionary(const std::vector<WordRecord>& records, const std::vector<Range>& ranges,
                                     std::uint32_t sharedFirst = voice::kNoSharedList, std::uint32_t sharedCount = 0) {
  if (sharedFirst != voice::kNoSharedList) ++sharedFirst;
  std::vector<std::uint8_t> bytes(voice::kRecordsOffset, 0);
  std::memcpy(bytes.data() + voice::kDictIdOffset, voice::kDictId, voice::kDictIdBytes);
  putU32le(bytes.data() + voice::kSharedFirstOffset, sharedFirst);
  putU32le(bytes.data() + voice::kSharedCountOffset, sharedCount);
  for (const Range& r : ranges) {
    std::uint8_t* entry = bytes.data() + voice::kCharIndexOffset + (r.first - 0x4E00) * voice::kCharIndexEntryBytes;
    putU32le(entry + 4, r.from + 1);
    putU32le(entry + 8, r.to + 1);
  }
  voice::appendWordRecord(bytes, record(u"", u"", 1));
  for (const WordRecord& w : records) voice::appendWordRecord(bytes, w);
  return bytes;
}

int lookUp(const std::vector<std::uint8_t>& image, const std::u16string& probe, WordRecord& word) {
  WordDictionary dict;
  dict.attach(image);
  return dict.lookUpWord(probe.data(), probe.size(), word);
}

struct LookupCase {
  const char* name;
  std::vector<WordRecord> records;
  std::vector<Range> ranges;
  std::uint32_t sharedFirst, sharedCount;
  std::u16string probe;
  int syllables;
  std::u16string text;  // of the matched record; empty: no match
};

void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.name; }

class LookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(LookupTest, Finds) {
  const LookupCase& c = GetParam();
  WordRecord word = record(u"X");
  EXPECT_EQ(lookUp(dictionary(c.records, c.ranges, c.sharedFirst, c.sharedCount), c.probe, word), c.syllables);
  EXPECT_EQ(std::u16string(word.text, word.textLength()), c.text.empty() ? u"X" : c.text);
}

constexpr std::uint32_t kNone = voice::kNoSharedList;

const LookupCase kLookups[] = {
    {"OneUnitProbeIsNotLookedUp", {record(u"中"), record(u"中華")}, {{u'中', 0, 1}}, kNone, 0, u"中", 1, u""},
    {"NoIndexEntryNoSharedList", {record(u"中華")}, {}, kNone, 0, u"中華", 1, u""},
    {"LongestListedFirstWins",
     {record(u"中華人民"), record(u"中華")}, {{u'中', 0, 1}}, kNone, 0, u"中華人民共和國", 4, u"中華人民"},
    {"ProbeAgreesInTwo", {record(u"中華人民"), record(u"中華")}, {{u'中', 0, 1}}, kNone, 0, u"中華民國", 2, u"中華"},
    {"ShortListedFirstHidesLonger",
     {record(u"中華"), record(u"中華人民")}, {{u'中', 0, 1}}, kNone, 0, u"中華人民", 2, u"中華"},
    {"DisabledIsPassedOver",
     {record(u"中華人民", u"", 1), record(u"中華")}, {{u'中', 0, 1}}, kNone, 0, u"中華人民", 2, u"中華"},
    {"SingleCharacterNeverMatches", {record(u"中")}, {{u'中', 0, 0}}, kNone, 0, u"中華", 1, u""},
    {"ReadingLengthIsTheCount", {record(u"銀行", u"銀航音")}, {{u'銀', 0, 0}}, kNone, 0, u"銀行家", 3, u"銀行"},
    {"SharedListLongestPrefix",
     {record(u"中國"), record(u"中國人")}, {}, 0, 2, u"中國人民", 3, u"中國人"},
    {"SharedListAfterIndexMisses",
     {record(u"中華"), record(u"中國")}, {{u'中', 0, 0}}, 1, 1, u"中國", 2, u"中國"},
    {"RecordsPastTheFileNeverMatch", {record(u"中華")}, {{u'中', 5, 9}}, kNone, 0, u"中華", 1, u""},
    {"SharedListPastTheFile", {record(u"中華")}, {}, 3, 100, u"中華", 1, u""},
};

INSTANTIATE_TEST_SUITE_P(Cases, LookupTest, ::testing::ValuesIn(kLookups),
                         [](const ::testing::TestParamInfo<LookupCase>& param) { return param.param.name; });

TEST(WordDictionary, MatchCopiesTheWholeRecord) {
  WordRecord stored = record(u"廣東話");
  std::strcpy(stored.romanization[0], "gwong2");
  std::strcpy(stored.romanization[2], "waa2");
  std::memcpy(stored.note, u"note", 8);
  stored.cutBefore[1] = -3;
  stored.volumeIndex[2] = 9;
  WordRecord word = record(u"廣");
  ASSERT_EQ(lookUp(dictionary({stored}, {{u'廣', 0, 0}}), u"廣東話", word), 3);
  EXPECT_STREQ(word.romanization[0], "gwong2");
  EXPECT_STREQ(word.romanization[2], "waa2");
  EXPECT_EQ(std::u16string(word.note), u"note");
  EXPECT_EQ(word.syllable(1), (SyllableParams{-3, 0, 0, 2}));
  EXPECT_EQ(word.syllable(2), (SyllableParams{0, 0, 9, 3}));
}

TEST(WordDictionary, IndexEntryOfZerosMeansNoWords) {
  // Record 0 alone cannot be indexed: (0, 0) reads as "no words".
  std::vector<std::uint8_t> image(voice::kRecordsOffset, 0);
  putU32le(image.data() + voice::kSharedFirstOffset, voice::kNoSharedList);
  voice::appendWordRecord(image, record(u"中華"));
  WordRecord word = record(u"X");
  EXPECT_EQ(lookUp(image, u"中華", word), 1);
}

TEST(WordDictionary, ShortOrEmptyFileFindsNothing) {
  WordRecord word = record(u"X");
  const std::vector<std::uint8_t> tiny(60, 0);
  EXPECT_EQ(lookUp(tiny, u"中華", word), 1);
  EXPECT_EQ(lookUp({}, u"中華", word), 1);
}

class DictionaryWordsTest : public testing::EngineTest {};

TEST_F(DictionaryWordsTest, WordsAreSpokenWithTheirReadingsAndValues) {
  WordRecord bank = record(u"銀行", u"銀航");
  bank.cutBefore[0] = 6;
  bank.durationIndex[1] = -2;
  const auto image = dictionary({bank}, {{u'銀', 0, 0}});
  Engine engine;
  engine.dictionary().attach(image);
  testing::RecordingSynth synth;
  engine.setSynth(&synth);
  host::OutputSite site;
  const testing::FragmentList list(u"去銀行");
  ASSERT_EQ(engine.speak(0, list.head(), &site), S_OK);
  // 去 alone, then 銀行 as one two-syllable word announced with length 2.
  ASSERT_EQ(site.events().size(), 3u);
  EXPECT_EQ(site.events()[2].wParam, 2u);
  EXPECT_EQ(site.events()[2].lParam, 1);
  EXPECT_EQ(site.events()[2].audioOffset, 100u);
  ASSERT_EQ(synth.calls.size(), 3u);
  EXPECT_EQ(synth.calls[1].unitCode, 0x9280u - 0x4A18u);  // 銀
  EXPECT_EQ(synth.calls[1].params, (SyllableParams{6, 0, 0, 1}));
  EXPECT_EQ(synth.calls[2].unitCode, 0x822Au - 0x4A18u);  // 航, the reading, not 行
  EXPECT_EQ(synth.calls[2].params, (SyllableParams{0, 0, 0, -2}));
  EXPECT_EQ(std::u16string(engine.currentWord().text), u"銀行");
}

}  // namespace
}  // namespace sonvale
