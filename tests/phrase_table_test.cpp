#include "text/phrase_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "test_seed.h"

namespace sonvale {
namespace {

using Units = std::array<char16_t, 4>;
using Shape = std::array<SyllableParams, 4>;

// The templates' values per syllable (cutBefore, cutAfter, volumeIndex,
// durationIndex), copied from the phrase rules' template table; syllables a
// template does not have stay 0.
constexpr Shape kFour = {{{-4, -4, -5, 5}, {2, 2, -4, -4}, {6, 6, -3, 5}, {-6, -6, -2, -1}}};
constexpr Shape kThree = {{{-2, 2, 0, -6}, {6, -6, 0, 7}, {4, 4, 0, 2}, {}}};
constexpr Shape kStressed = {{{-6, -6, 7, -6}, {4, 4, -3, 6}, {}, {}}};
constexpr Shape kLevel = {{{-6, -6, 0, -6}, {4, 4, 0, 6}, {}, {}}};
constexpr Shape kPadded = {{{6, -4, 7, -6}, {-6, 5, -3, 6}, {}, {}}};
// The five four-character words with values of their own.
constexpr Shape kTianXiaYiTong = {{{0, 0, 4, 5}, {0, 0, 0, -4}, {0, 0, -3, 5}, {0, 0, 2, -1}}};
constexpr Shape kYuYinLangDu = {{{-7, -7, 4, 5}, {2, 2, -4, -4}, {-7, -7, 0, 5}, {6, 6, -1, -1}}};
constexpr Shape kChangDeWenBen = {{{4, 4, 0, 5}, {-4, -4, 0, -4}, {-2, -2, 0, 5}, {4, 4, 0, -1}}};
constexpr Shape kWoXingWoSu = {{{-2, -2, -5, 5}, {4, 4, -4, -4}, {-2, -2, -3, 5}, {-2, -2, -2, -1}}};
constexpr Shape kQingQingWoWo = {{{-2, -2, -5, 5}, {2, 2, -4, -4}, {4, 4, -3, 5}, {-6, -6, -2, -1}}};

constexpr char16_t kLou = u'搂';  // U+6402, spoken with its own unit
constexpr std::uint32_t kIdeographUnitBias = 0x4A18;
constexpr std::uint32_t kFirstIdeographUnit = 1000;   // U+4E00
constexpr std::uint32_t kLastIdeographUnit = 21901;  // U+9FA5

Units units(std::u16string_view text) {
  Units u{};
  for (std::size_t k = 0; k < text.size() && k < 4; ++k) u[k] = text[k];
  return u;
}

// The record as the speaking loop hands it over: cleared, with the first code
// unit of text and reading set to the ideograph at the current position.
WordRecord freshRecord(char16_t first) {
  WordRecord word;
  word.clear();
  word.text[0] = first;
  word.reading[0] = first;
  return word;
}

int match(const Units& u, WordRecord& word) {
  const char16_t raw[4] = {u[0], u[1], u[2], u[3]};
  return matchPhrase(raw, word);
}

struct MatchCase {
  const char* name;
  Units input;
  int syllables;            // 1: no phrase applies
  std::u16string_view text;  // for a match
  std::u16string_view reading;
  Shape shape;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

class MatchPhraseTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchPhraseTest, FillsTheWord) {
  const MatchCase& c = GetParam();
  WordRecord word = freshRecord(c.input[0]);
  const WordRecord before = word;
  const int n = match(c.input, word);
  ASSERT_EQ(n, c.syllables);
  if (n == 1) {
    EXPECT_EQ(std::memcmp(&word, &before, sizeof word), 0) << "a miss must leave the record as it was";
    return;
  }
  const auto count = static_cast<std::size_t>(n);
  EXPECT_EQ(std::u16string_view(word.text, word.textLength()), c.text);
  EXPECT_EQ(std::u16string_view(word.reading, word.readingLength()), c.reading);
  for (std::size_t k = 0; k < kMaxWordSyllables; ++k) {
    const SyllableParams expected = k < count ? c.shape[k] : SyllableParams{};
    const SyllableParams got = word.syllable(k);
    EXPECT_EQ(got.cutBefore, expected.cutBefore) << "syllable " << k;
    EXPECT_EQ(got.cutAfter, expected.cutAfter) << "syllable " << k;
    EXPECT_EQ(got.volumeIndex, expected.volumeIndex) << "syllable " << k;
    EXPECT_EQ(got.durationIndex, expected.durationIndex) << "syllable " << k;
  }
  for (std::size_t k = count; k < 9; ++k) {
    EXPECT_EQ(word.text[k], 0) << k;
    EXPECT_EQ(word.reading[k], 0) << k;
  }
  for (const auto& romanization : word.romanization) EXPECT_EQ(romanization[0], '\0');
  EXPECT_EQ(word.note[0], 0);
  EXPECT_EQ(word.disabled, 0);
}

// Each expected result is read off the phrase lists: the entry's key, its
// reading in parentheses (else the key) and the list (template) it stands in.
const MatchCase kMatchCases[] = {
    // Four-character template.
    {"FourTemplateKeyAsReading", units(u"标点符号"), 4, u"标点符号", u"标点符号", kFour},
    {"FourTemplateOneSubstitution", units(u"唉声叹气"), 4, u"唉声叹气", u"哀声叹气", kFour},
    {"FourTemplateTwoSubstitutions", units(u"天长地久"), 4, u"天长地久", u"天肠弟久", kFour},
    {"FourTemplateDeAsDe", units(u"一举两得"), 4, u"一举两得", u"一举两德", kFour},
    {"FourBeatsThree", units(u"好样儿的"), 4, u"好样儿的", u"好样儿的", kFour},
    {"FourBeatsThreeWithReading", units(u"节骨眼儿"), 4, u"节骨眼儿", u"阶骨眼儿", kFour},
    {"FourBeatsTwo", units(u"钦差大臣"), 4, u"钦差大臣", u"钦拆大臣", kFour},
    // The five with values of their own; 长的文本 also beats the two-character 长的.
    {"OwnTianXiaYiTong", units(u"天下一统"), 4, u"天下一统", u"天下一统", kTianXiaYiTong},
    {"OwnYuYinLangDu", units(u"语音朗读"), 4, u"语音朗读", u"语音朗读", kYuYinLangDu},
    {"OwnChangDeWenBen", units(u"长的文本"), 4, u"长的文本", u"肠的文本", kChangDeWenBen},
    {"OwnWoXingWoSu", units(u"我行我素"), 4, u"我行我素", u"我行我素", kWoXingWoSu},
    {"OwnQingQingWoWo", units(u"卿卿我我"), 4, u"卿卿我我", u"卿卿我我", kQingQingWoWo},
    // Three-character template.
    {"ThreeKeyAsReading", units(u"差不多"), 3, u"差不多", u"差不多", kThree},
    {"ThreeSubstitution", units(u"挨光景"), 3, u"挨光景", u"皑光景", kThree},
    {"ThreeDeAsDi", units(u"使不得"), 3, u"使不得", u"使不的", kThree},
    {"ThreeDeAsDiAgain", units(u"天晓得"), 3, u"天晓得", u"天晓的", kThree},
    {"ThreeBeatsTwo", units(u"大伯子"), 3, u"大伯子", u"大百子", kThree},
    {"ThreeBeatsTwoOwnReadings", units(u"情分薄"), 3, u"情分薄", u"情分雹", kThree},
    {"ThreeBeatsTwoFourthIsPunctuation", units(u"大伯子。"), 3, u"大伯子", u"大百子", kThree},
    {"ThreeWhenFourthPastEnd", units(u"好样儿"), 3, u"好样儿", u"好样儿", kThree},
    {"ThreeWhenFourCompletesNoKey", units(u"好样儿。"), 3, u"好样儿", u"好样儿", kThree},
    {"ThreeWithReadingFourthPastEnd", units(u"节骨眼"), 3, u"节骨眼", u"阶骨眼", kThree},
    {"ThreeBeforeTwoYuYinKu", units(u"语音库"), 3, u"语音库", u"语音库", kThree},
    {"ThreeLouSpokenAsLou", units(u"搂扳机"), 3, u"搂扳机", u"搂扳机", kThree},
    // Two-character stressed template.
    {"StressedChangDuan", units(u"长短"), 2, u"长短", u"肠短", kStressed},
    {"StressedKeyAsReading", units(u"好像"), 2, u"好像", u"好像", kStressed},
    {"StressedLiangAsLiang", units(u"音量"), 2, u"音量", u"音亮", kStressed},
    {"StressedDaBoAlone", units(u"大伯"), 2, u"大伯", u"大伯", kStressed},
    {"StressedDaBoBeforeNoLongerKey", units(u"大伯们"), 2, u"大伯", u"大伯", kStressed},
    {"StressedYuYinAlone", units(u"语音"), 2, u"语音", u"语音", kStressed},
    {"StressedWhenFourthPastEnd", units(u"长的文"), 2, u"长的", u"长肠", kStressed},
    {"StressedWhenThreeCompletesNoKey", units(u"钦差大"), 2, u"钦差", u"钦拆", kStressed},
    {"ThirdPastEndIgnoresFourth", {u'钦', u'差', 0, u'大'}, 2, u"钦差", u"钦拆", kStressed},
    // Two-character level template, with the five 搂 entries.
    {"LevelDeAsDe", units(u"心得"), 2, u"心得", u"心德", kLevel},
    {"LevelKeyAsReading", units(u"当众"), 2, u"当众", u"当众", kLevel},
    {"LevelQieAsQie", units(u"一切"), 2, u"一切", u"一妾", kLevel},
    {"LevelFenAsFen", units(u"情分"), 2, u"情分", u"情份", kLevel},
    {"LevelLouQian", units(u"搂钱"), 2, u"搂钱", u"搂钱", kLevel},
    {"LevelLouSuan", units(u"搂算"), 2, u"搂算", u"搂算", kLevel},
    {"LevelLouTou", units(u"搂头"), 2, u"搂头", u"搂头", kLevel},
    {"LevelDouLou", units(u"抖搂"), 2, u"抖搂", u"抖搂", kLevel},
    {"LevelBaLou", units(u"扒搂"), 2, u"扒搂", u"扒搂", kLevel},
    // Two-character padded template.
    {"PaddedKeyAsReading", units(u"倒车"), 2, u"倒车", u"倒车", kPadded},
    {"PaddedChengAsChen", units(u"称心"), 2, u"称心", u"衬心", kPadded},
    {"PaddedChengAsSheng", units(u"百乘"), 2, u"百乘", u"百圣", kPadded},
    {"PaddedYiAsYi", units(u"一个"), 2, u"一个", u"仪个", kPadded},
    // No phrase.
    {"LastUnitOfItem", units(u"长"), 1, {}, {}, {}},
    {"LastUnitOfItemEvenBeforeStrayUnits", {u'长', 0, u'短', u'短'}, 1, {}, {}, {}},
    {"FollowedByComma", units(u"长，短"), 1, {}, {}, {}},
    {"FollowedByAsciiComma", units(u"长,短"), 1, {}, {}, {}},
    {"FollowedByLetter", units(u"长a"), 1, {}, {}, {}},
    {"ReversedKey", units(u"短长"), 1, {}, {}, {}},
    {"NoKeyStartsHere", units(u"一二三四"), 1, {}, {}, {}},
    {"KeyStartingAtSecondUnitIsNotFound", units(u"，长短"), 1, {}, {}, {}},
    {"ThreeCharactersOfAFourKeyOnly", units(u"标点符"), 1, {}, {}, {}},
    {"PrivateUseReadingIsNotAKey", {0xE834, u'钱', 0, 0}, 1, {}, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, MatchPhraseTest, ::testing::ValuesIn(kMatchCases),
                         [](const ::testing::TestParamInfo<MatchCase>& param) { return param.param.name; });

TEST(MatchPhrase, MissKeepsWhatTheRecordHeld) {
  WordRecord word;
  std::memset(static_cast<void*>(&word), 0x5A, sizeof word);
  const WordRecord before = word;
  EXPECT_EQ(match(units(u"短长"), word), 1);
  EXPECT_EQ(std::memcmp(&word, &before, sizeof word), 0);
}

// 搂 is U+6402: unit 1000 + (0x6402 - 0x4E00) = 1000 + 5634 = 6634, while the
// private-use reading U+E834 would have been unit 0x9E1C = 40476, past the table.
TEST(MatchPhrase, LouSpeaksItsOwnUnit) {
  const char16_t* const keys[] = {u"搂钱", u"搂算", u"搂头", u"抖搂", u"扒搂", u"搂扳机"};
  for (const char16_t* key : keys) {
    const std::u16string_view text(key);
    WordRecord word = freshRecord(text[0]);
    ASSERT_EQ(match(units(text), word), static_cast<int>(text.size())) << "key of " << text.size();
    const std::size_t at = text.find(kLou);
    ASSERT_NE(at, std::u16string_view::npos);
    EXPECT_EQ(word.reading[at], kLou);
    EXPECT_EQ(static_cast<std::uint32_t>(word.reading[at]) - kIdeographUnitBias, 6634u);
  }
}

// The sizes of the three sub-tables: 1128 template entries + 5 with their own
// values; 699 + 搂扳机; 2376 + 1886 + 5 搂 entries + 1197.
TEST(PhraseTable, SubTableSizes) {
  EXPECT_EQ(phraseEntries(4).size(), 1133u);
  EXPECT_EQ(phraseEntries(3).size(), 700u);
  EXPECT_EQ(phraseEntries(2).size(), 5464u);
  EXPECT_EQ(phraseEntries(4).size() + phraseEntries(3).size() + phraseEntries(2).size(), 7297u);
  EXPECT_TRUE(phraseEntries(0).empty());
  EXPECT_TRUE(phraseEntries(1).empty());
  EXPECT_TRUE(phraseEntries(5).empty());
}

// Readings that differ from the key: 234 four-character, 134 three-character
// and 1039 two-character as listed, less the six 搂 entries (one of three, five
// of two characters), which speak 搂 itself and so read as their keys.
TEST(PhraseTable, ReadingsThatDifferFromTheKey) {
  const std::map<std::size_t, std::size_t> expected = {{4, 234}, {3, 133}, {2, 1034}};
  for (const auto& [length, count] : expected) {
    std::size_t differ = 0;
    for (const PhraseEntry& e : phraseEntries(length)) {
      if (std::memcmp(e.key, e.reading, sizeof e.key) != 0) ++differ;
    }
    EXPECT_EQ(differ, count) << "keys of " << length;
  }
}

// Every key looked up on its own (0 past its end) gives its own entry back,
// so the search finds all 7297 and their readings all have voice units.
TEST(PhraseTable, EveryEntryMatchesItselfWithUnitsInRange) {
  std::map<std::string, std::size_t> perTemplate;
  const std::map<std::string, Shape> shapes = {
      {"four", kFour},           {"three", kThree},         {"stressed", kStressed},
      {"level", kLevel},         {"padded", kPadded},       {"TianXiaYiTong", kTianXiaYiTong},
      {"YuYinLangDu", kYuYinLangDu}, {"ChangDeWenBen", kChangDeWenBen}, {"WoXingWoSu", kWoXingWoSu},
      {"QingQingWoWo", kQingQingWoWo},
  };
  for (std::size_t length = 2; length <= 4; ++length) {
    for (const PhraseEntry& e : phraseEntries(length)) {
      const std::u16string_view key(e.key, length);
      for (std::size_t k = length; k < 4; ++k) {
        EXPECT_EQ(e.key[k], 0);
        EXPECT_EQ(e.reading[k], 0);
      }
      WordRecord word = freshRecord(e.key[0]);
      ASSERT_EQ(match(units(key), word), static_cast<int>(length));
      EXPECT_EQ(std::u16string_view(word.text, word.textLength()), key);
      ASSERT_EQ(word.readingLength(), length);
      for (std::size_t k = 0; k < length; ++k) {
        EXPECT_GE(e.key[k], 0x4E00);
        EXPECT_LE(e.key[k], 0x9FA5);
        const std::uint32_t unit = static_cast<std::uint32_t>(word.reading[k]) - kIdeographUnitBias;
        EXPECT_GE(unit, kFirstIdeographUnit) << "syllable " << k << " of key " << std::u16string(key).size();
        EXPECT_LE(unit, kLastIdeographUnit) << "syllable " << k;
      }
      std::string shapeName = "none";
      for (const auto& [name, shape] : shapes) {
        bool same = true;
        for (std::size_t k = 0; k < 4; ++k) same = same && word.syllable(k) == (k < length ? shape[k] : SyllableParams{});
        if (same) shapeName = name;
      }
      ++perTemplate[shapeName];
    }
  }
  const std::map<std::string, std::size_t> expected = {
      {"four", 1128},      {"three", 700},         {"stressed", 2376},      {"level", 1891},
      {"padded", 1197},    {"TianXiaYiTong", 1},   {"YuYinLangDu", 1},      {"ChangDeWenBen", 1},
      {"WoXingWoSu", 1},   {"QingQingWoWo", 1},
  };
  EXPECT_EQ(perTemplate, expected);
}

TEST(PhraseTable, SubTablesStrictlyAscending) {
  for (std::size_t length = 2; length <= 4; ++length) {
    const std::span<const PhraseEntry> table = phraseEntries(length);
    for (std::size_t i = 1; i < table.size(); ++i) {
      const std::u16string_view previous(table[i - 1].key, length);
      const std::u16string_view current(table[i].key, length);
      EXPECT_LT(previous, current) << "keys of " << length << " at " << i;
    }
  }
}

TEST(PhraseTable, TemplateIndicesAndValuesInRange) {
  const std::span<const PhraseTemplate> templates = phraseTemplates();
  for (std::size_t length = 2; length <= 4; ++length) {
    for (const PhraseEntry& e : phraseEntries(length)) EXPECT_LT(e.templateIndex, templates.size());
  }
  // Every value the rules use lies in -7..7.
  for (const PhraseTemplate& t : templates) {
    for (const SyllableParams& s : t.syllables) {
      for (const std::int32_t v : {s.cutBefore, s.cutAfter, s.volumeIndex, s.durationIndex}) {
        EXPECT_GE(v, -7);
        EXPECT_LE(v, 7);
      }
    }
  }
}

// The textbook version: scan every entry, keep the longest key that the four
// units begin with, under the same conditions on 0 units.
int slowMatch(const Units& u, WordRecord& word) {
  if (u[1] == 0) return 1;
  for (std::size_t length = 4; length >= 2; --length) {
    if (length == 4 && (u[2] == 0 || u[3] == 0)) continue;
    if (length == 3 && u[2] == 0) continue;
    for (const PhraseEntry& e : phraseEntries(length)) {
      if (!std::equal(e.key, e.key + length, u.begin())) continue;
      const PhraseTemplate& t = phraseTemplates()[e.templateIndex];
      for (std::size_t k = 0; k < length; ++k) {
        word.text[k] = e.key[k];
        word.reading[k] = e.reading[k];
        word.cutBefore[k] = t.syllables[k].cutBefore;
        word.cutAfter[k] = t.syllables[k].cutAfter;
        word.volumeIndex[k] = t.syllables[k].volumeIndex;
        word.durationIndex[k] = t.syllables[k].durationIndex;
      }
      word.text[length] = 0;
      word.reading[length] = 0;
      return static_cast<int>(length);
    }
  }
  return 1;
}

TEST(MatchPhrase, AgreesWithAScanOnRandomText) {
  const std::uint32_t seed = testing::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  // Text built from the keys' own characters, prefixes and extensions of keys,
  // punctuation and ends of items, so that hits of every length and near
  // misses are frequent.
  std::vector<char16_t> alphabet = {0, u'，', u'a', 0xE834};
  for (std::size_t length = 2; length <= 4; ++length) {
    for (const PhraseEntry& e : phraseEntries(length)) alphabet.insert(alphabet.end(), e.key, e.key + length);
  }
  std::uniform_int_distribution<std::size_t> pickUnit(0, alphabet.size() - 1);
  std::uniform_int_distribution<std::size_t> pickLength(2, 4);
  std::uniform_int_distribution<int> pickMode(0, 2);

  int hits = 0;
  for (int round = 0; round < 3000; ++round) {
    Units u{};
    const std::span<const PhraseEntry> table = phraseEntries(pickLength(random));
    const PhraseEntry& e = table[std::uniform_int_distribution<std::size_t>(0, table.size() - 1)(random)];
    const int mode = pickMode(random);
    for (std::size_t k = 0; k < 4; ++k) {
      const bool fromKey = mode == 0 || (mode == 1 && k < 2);
      u[k] = fromKey && e.key[k] != 0 ? e.key[k] : alphabet[pickUnit(random)];
    }
    // Past an item's end every unit is 0.
    for (std::size_t k = 1; k < 4; ++k) {
      if (u[k - 1] == 0) u[k] = 0;
    }
    WordRecord fast = freshRecord(u[0]);
    WordRecord slow = freshRecord(u[0]);
    const int n = match(u, fast);
    ASSERT_EQ(n, slowMatch(u, slow)) << "round " << round;
    EXPECT_EQ(std::memcmp(&fast, &slow, sizeof fast), 0) << "round " << round;
    if (n > 1) ++hits;
  }
  EXPECT_GT(hits, 750);
}

}  // namespace
}  // namespace sonvale

namespace sonvale {
namespace {

// Pairs of written and spoken character where a reading differs from its key:
// 238 distinct pairs as listed, less the 搂 pair, which now speaks 搂 itself.
// The most frequent are 长→肠 (86), 得→德 (49) and 地→弟 (45).
TEST(PhraseTable, WrittenAndSpokenPairs) {
  std::map<std::pair<char16_t, char16_t>, int> pairs;
  for (std::size_t length = 2; length <= 4; ++length)
    for (const PhraseEntry& e : phraseEntries(length))
      for (std::size_t k = 0; k < length; ++k)
        if (e.key[k] != e.reading[k]) ++pairs[{e.key[k], e.reading[k]}];
  EXPECT_EQ(pairs.size(), 237u);
  EXPECT_EQ((pairs[{u'长', u'肠'}]), 86);
  EXPECT_EQ((pairs[{u'得', u'德'}]), 49);
  EXPECT_EQ((pairs[{u'地', u'弟'}]), 45);
  int most = 0;
  for (const auto& [pair, count] : pairs) most = std::max(most, count);
  EXPECT_EQ(most, 86);
}

}  // namespace
}  // namespace sonvale
