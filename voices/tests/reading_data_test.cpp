#include "reading_data.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

using namespace sonvale::recipe;

TEST(ReadingData, Utf8RoundTripAndMalformedBytes) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u32string points;
  };
  const Case cases[] = {
      {"ascii", "ab", U"ab"},
      {"cjk", "\xE9\x95\xB7", U"\u9577"},
      {"extension B", "\xF0\xA0\xAE\xA9", U"\U00020BA9"},
      {"lone continuation", "a\x80z", U"a\uFFFDz"},
      {"truncated", "\xE9\x95", U"\uFFFD\uFFFD"},
      {"overlong", "\xC0\xAF", U"\uFFFD\uFFFD"},
      {"surrogate", "\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(decodeUtf8(c.utf8), c.points) << c.name;
  EXPECT_EQ(encodeUtf8(U"\u9577a\U00020BA9"), "\xE9\x95\xB7" "a" "\xF0\xA0\xAE\xA9");
}

TEST(ReadingData, DictionarySkipsItsHeaderAndReadsWeights) {
  const std::string text =
      "# Rime dictionary\n"
      "---\n"
      "name: x\n"
      "長\tnot an entry: still header\n"
      "...\n"
      "\n"
      "# a comment\n"
      "長\tcoeng4\r\n"
      "長\tzoeng2\t5%\n"
      "啊\taa3\t0.5%\n"
      "行\thang4\t12\n"
      "孤\n"
      "銀行\tngan4 hong4\n";
  const std::vector<DictionaryEntry> entries = parseDictionary(text);
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].text, U"長");
  EXPECT_EQ(entries[0].reading, "coeng4");  // the CR of a CRLF line is not part of it
  EXPECT_EQ(entries[0].weightPercent, 100);
  EXPECT_EQ(entries[1].weightPercent, 5);
  EXPECT_EQ(entries[2].weightPercent, 0.5);
  EXPECT_EQ(entries[3].weightPercent, 100) << "a weight without % counts as 100%";
  EXPECT_EQ(entries[4].text, U"銀行");
  EXPECT_EQ(entries[4].reading, "ngan4 hong4");
}

TEST(ReadingData, DictionaryWithoutHeaderIsAllBody) {
  const std::vector<DictionaryEntry> entries = parseDictionary("長\tcoeng4\n");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].reading, "coeng4");
}

TEST(ReadingData, FrequenciesKeepTheLargestCount) {
  const auto counts = parseFrequencies("的\t1107709\n長\t98775\n長\t5\nbad line\n行\tx\n\t7\n");
  EXPECT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts.at(U"的"), 1107709u);
  EXPECT_EQ(counts.at(U"長"), 98775u);
}

TEST(ReadingData, UnihanFieldsAndVariants) {
  const std::string readings =
      "# comment\tkCantonese\tzz1\n"
      "U+9577\tkCantonese\tcoeng4 zoeng2\n"
      "U+9577\tkMandarin\tcháng\n"
      "U+4E0D\tkCantonese\tbat1\n";
  const auto cantonese = parseUnihanField(readings, "kCantonese");
  ASSERT_EQ(cantonese.size(), 2u);
  EXPECT_EQ(cantonese.at(0x9577), (std::vector<std::string>{"coeng4", "zoeng2"}));
  EXPECT_EQ(cantonese.at(0x4E0D), (std::vector<std::string>{"bat1"}));

  const std::string variants =
      "U+957F\tkTraditionalVariant\tU+9577\n"
      "U+5E72\tkTraditionalVariant\tU+4E7E U+5E72 U+5E79\n"
      "U+725C\tkSemanticVariant\tU+725B<kMatthews\n"
      "U+4E7E\tkSimplifiedVariant\tU+4E7E<kFenn U+5E72 junk\n";
  const auto traditional = parseUnihanVariants(variants, "kTraditionalVariant");
  EXPECT_EQ(traditional.at(0x957F), (std::vector<char32_t>{0x9577}));
  EXPECT_EQ(traditional.at(0x5E72), (std::vector<char32_t>{0x4E7E, 0x5E72, 0x5E79}));
  EXPECT_EQ(traditional.count(0x725C), 0u);
  const auto simplified = parseUnihanVariants(variants, "kSimplifiedVariant");
  EXPECT_EQ(simplified.at(0x4E7E), (std::vector<char32_t>{0x4E7E, 0x5E72}));
}

TEST(ReadingData, OverridesAreReadWithTheirReasons) {
  std::vector<Override> out;
  const std::string text =
      "# heading\n"
      "\n"
      "長\tzoeng2\t# grow\n"
      "  兛 cin1 hak1   # kilogram  \n";
  ASSERT_EQ(parseOverrides(text, out), "");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].character, U'長');
  EXPECT_EQ(out[0].reading, "zoeng2");
  EXPECT_EQ(out[0].reason, "grow");
  EXPECT_EQ(out[0].line, 3u);
  EXPECT_EQ(out[1].character, U'兛');
  EXPECT_EQ(out[1].reading, "cin1 hak1");
  EXPECT_EQ(out[1].reason, "kilogram");
}

TEST(ReadingData, BadOverridesAreRefusedByLine) {
  struct Case {
    const char* name;
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"no reason", "長 zoeng2\n", "line 1: an entry needs a reason after '#'"},
      {"empty reason", "長 zoeng2 #  \n", "line 1: an entry needs a reason after '#'"},
      {"no reading", "# x\n長 # why\n", "line 2: expected a text and its jyutping before '#'"},
      {"two characters", "長長 zoeng2 # why\n", "line 1: \"長長\" is not one ideograph U+4E00..U+9FA5"},
      {"outside the voiced range", "A aa1 # why\n", "line 1: \"A\" is not one ideograph U+4E00..U+9FA5"},
      {"bad syllable", "長 zoeng9 # why\n", "line 1: \"zoeng9\" is not a jyutping syllable"},
      {"twice", "長 zoeng2 # a\n長 coeng4 # b\n", "line 2: 長 has an override already"},
  };
  for (const Case& c : cases) {
    std::vector<Override> out;
    EXPECT_EQ(parseOverrides(c.text, out), c.error) << c.name;
    EXPECT_TRUE(out.empty()) << c.name;
  }
}

TEST(ReadingData, HandWordsAreCheckedByLine) {
  struct Case {
    const char* name;
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"good", "# x\n呢間\tni1 gaan1\t# this (room)\n", ""},
      {"one character", "呢 ni1 # why\n", "line 1: \"呢\" is not 2..8 ideographs U+4E00..U+9FA5"},
      {"a letter", "T恤 ti1 seot1 # why\n", "line 1: \"T恤\" is not 2..8 ideographs U+4E00..U+9FA5"},
      {"syllable count", "呢間 ni1 # why\n", "line 1: 呢間 has 2 characters but 1 syllables"},
      {"no reason", "呢間 ni1 gaan1\n", "line 1: an entry needs a reason after '#'"},
      {"twice", "呢間 ni1 gaan1 # a\n呢間 nei1 gaan1 # b\n", "line 2: 呢間 is listed already"},
  };
  for (const Case& c : cases) {
    std::vector<HandWord> out;
    EXPECT_EQ(parseHandWords(c.text, out), c.error) << c.name;
    EXPECT_EQ(out.size(), c.error.empty() ? 1u : 0u) << c.name;
  }
  std::vector<HandWord> out;
  ASSERT_EQ(parseHandWords("呢間\tni1 gaan1\t# this (room)\n", out), "");
  EXPECT_EQ(out[0].syllables, (std::vector<std::string>{"ni1", "gaan1"}));
  EXPECT_EQ(out[0].reason, "this (room)");
}

TEST(ReadingData, ShippedHandListsParse) {
  const auto read = [](const char* name) {
    std::ifstream in(std::string(SONVALE_VOICES_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in) << SONVALE_VOICES_DIR << "/" << name;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  std::vector<Override> overrides;
  EXPECT_EQ(parseOverrides(read("overrides.txt"), overrides), "");
  EXPECT_FALSE(overrides.empty());
  std::vector<HandWord> words;
  EXPECT_EQ(parseHandWords(read("words.txt"), words), "");
  EXPECT_FALSE(words.empty());
}

}  // namespace
