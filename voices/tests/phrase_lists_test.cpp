#include "phrase_lists.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

using sonvale::recipe::parsePhraseList;
using sonvale::recipe::PhraseEntry;
using sonvale::recipe::SyllableValues;

TEST(PhraseLists, TemplateListWithReadingsAndStandIns) {
  const std::string text =
      "# comment\n"
      "\n"
      "template two-character-level\n"
      "syllable -6 -6 0 -6\n"
      "syllable 4 4 0 6\r\n"
      "entries 3\n"
      "长短(肠短)\n"
      "好像\n"
      "stand-in <U+E834> 搂\n"
      "搂钱(<U+E834>钱)\n";
  std::vector<PhraseEntry> out;
  ASSERT_EQ(parsePhraseList(text, out), "");
  ASSERT_EQ(out.size(), 3u);
  const std::vector<SyllableValues> level = {{-6, -6, 0, -6}, {4, 4, 0, 6}};
  EXPECT_EQ(out[0].key, U"长短");
  EXPECT_EQ(out[0].reading, U"肠短");
  EXPECT_EQ(out[0].values, level);
  EXPECT_EQ(out[1].reading, U"好像");
  EXPECT_EQ(out[2].reading, U"搂钱") << "the escaped code point is spoken through its stand-in";
}

TEST(PhraseLists, EntriesWithValuesOfTheirOwn) {
  const std::string text =
      "template own-values\n"
      "entries 1\n"
      "长的文本(肠的文本) | 4 4 0 5 | -4 -4 0 -4 | -2 -2 0 5 | 4 4 0 -1\n";
  std::vector<PhraseEntry> out;
  ASSERT_EQ(parsePhraseList(text, out), "");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].reading, U"肠的文本");
  EXPECT_EQ(out[0].values, (std::vector<SyllableValues>{{4, 4, 0, 5}, {-4, -4, 0, -4}, {-2, -2, 0, 5}, {4, 4, 0, -1}}));
}

TEST(PhraseLists, MismatchedEntriesAreRefused) {
  struct Case {
    const char* name;
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"three values for two syllables", "syllable 1 1 1 1\nsyllable 2 2 2 2\n好像 |\n",
       "line 3: expected four values after each '|'"},
      {"template of two for a key of three", "syllable 1 1 1 1\nsyllable 2 2 2 2\n差不多\n",
       "line 3: the reading and the values must have one item per character of the key"},
      {"short reading", "syllable 1 1 1 1\nsyllable 2 2 2 2\n长短(肠)\n",
       "line 3: the reading and the values must have one item per character of the key"},
      {"bad syllable line", "syllable 1 1 x 1\n", "line 1: expected four values after 'syllable'"},
  };
  for (const Case& c : cases) {
    std::vector<PhraseEntry> out;
    EXPECT_EQ(parsePhraseList(c.text, out), c.error) << c.name;
    EXPECT_TRUE(out.empty()) << c.name;
  }
}

TEST(PhraseLists, TheEnginesListsParse) {
  // The counts of the engine's lists: 1128 + 5 + 700 + 2376 + 1891 + 1197 = 7297.
  std::vector<PhraseEntry> all;
  for (const char* name : {"four_character.txt", "four_character_own_values.txt", "three_character.txt",
                           "two_character_stressed.txt", "two_character_level.txt", "two_character_padded.txt"}) {
    std::ifstream in(std::string(SONVALE_PHRASES_DIR) + "/" + name, std::ios::binary);
    ASSERT_TRUE(in) << name;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(parsePhraseList(text, all), "") << name;
  }
  EXPECT_EQ(all.size(), 7297u);
}

}  // namespace
