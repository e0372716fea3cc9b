#include "jyutping.h"

#include <gtest/gtest.h>

namespace {

using sonvale::recipe::jyutpingToPhonemes;
using sonvale::recipe::parseSyllable;
using sonvale::recipe::phonemesOf;
using sonvale::recipe::Syllable;

TEST(Jyutping, ParsesInitialFinalAndTone) {
  struct Case {
    const char* name;
    const char* text;
    Syllable expected;
  };
  const Case cases[] = {
      {"plain", "hong4", {"h", "ong", 4}},
      {"ng initial", "ngaan4", {"ng", "aan", 4}},
      {"gw before g", "gwong2", {"gw", "ong", 2}},
      {"kw before k", "kwaa1", {"kw", "aa", 1}},
      {"j and yu", "jyut6", {"j", "yut", 6}},
      {"no initial", "oi3", {"", "oi", 3}},
      {"bare a", "a1", {"", "a", 1}},
      {"syllabic m", "m4", {"", "m", 4}},
      {"syllabic ng", "ng5", {"", "ng", 5}},
      {"h with syllabic m", "hm1", {"h", "m", 1}},
      {"h with syllabic ng", "hng6", {"h", "ng", 6}},
      {"m initial", "maa1", {"m", "aa", 1}},
      {"colloquial eu", "deu6", {"d", "eu", 6}},
      {"longest syllable", "gwaang1", {"gw", "aang", 1}},
  };
  for (const Case& c : cases) {
    Syllable s;
    ASSERT_TRUE(parseSyllable(c.text, s)) << c.name;
    EXPECT_EQ(s, c.expected) << c.name;
  }
}

TEST(Jyutping, RefusesWhatIsNotASyllable) {
  struct Case {
    const char* name;
    const char* text;
  };
  const Case cases[] = {
      {"empty", ""},           {"tone only", "4"},        {"no tone", "hong"},     {"tone 7", "hong7"},
      {"tone 0", "hong0"},     {"upper case", "Hong4"},   {"unknown final", "hx1"}, {"ng is no final", "gwng1"},
      {"initial only", "b1"},  {"pinyin", "zhong1"},      {"two tones", "si11"},
  };
  for (const Case& c : cases) {
    Syllable s;
    EXPECT_FALSE(parseSyllable(c.text, s)) << c.name;
  }
}

// The rule: initial (ng as N), ', vowel, tone, then a coda m/n/p/t/k; -ng
// finals are single vowels so the tone comes last; syllabic m is said as ng.
TEST(Jyutping, PhonemeCodes) {
  struct Case {
    const char* name;
    const char* syllable;
    const char* phonemes;
  };
  const Case cases[] = {
      {"ng final is a vowel", "hong4", "h'ong4"},
      {"ng initial is N", "ngaan4", "N'aa4n"},
      {"stop coda after tone", "hok6", "h'o6k"},
      {"p coda", "aap3", "'aa3p"},
      {"m coda", "sam1", "s'a1m"},
      {"open diphthong", "aai1", "'aai1"},
      {"three-letter vowel", "seoi2", "s'eoi2"},
      {"oe nasal vowel", "coeng1", "c'oeng1"},
      {"yu with coda", "jyut6", "j'yu6t"},
      {"eo with coda", "ceot1", "c'eo1t"},
      {"syllabic m", "m4", "'ng4"},
      {"syllabic ng", "ng5", "'ng5"},
      {"h and syllabic m", "hm1", "h'ng1"},
      {"gw cluster", "gwaang1", "gw'aang1"},
      {"colloquial eu", "deu6", "d'eu6"},
  };
  for (const Case& c : cases) {
    Syllable s;
    ASSERT_TRUE(parseSyllable(c.syllable, s)) << c.name;
    EXPECT_EQ(phonemesOf(s), c.phonemes) << c.name;
  }
}

TEST(Jyutping, SeveralSyllablesAreJoinedWithABar) {
  struct Case {
    const char* name;
    const char* text;
    const char* phonemes;
  };
  const Case cases[] = {
      {"one", "si1", "s'i1"},
      {"coda then initial", "cin1 hak1", "c'i1n|h'a1k"},
      {"n before g stays apart", "cin1 gaa1", "c'i1n|g'aa1"},
      {"extra blanks", "  daa1  bou1 jiu1 ", "d'aa1|b'ou1|j'iu1"},
  };
  for (const Case& c : cases) {
    std::string phonemes;
    EXPECT_EQ(jyutpingToPhonemes(c.text, phonemes), "") << c.name;
    EXPECT_EQ(phonemes, c.phonemes) << c.name;
  }
}

TEST(Jyutping, ConversionNamesTheBadSyllable) {
  std::string phonemes = "left over";
  EXPECT_EQ(jyutpingToPhonemes("cin1 xx9", phonemes), "\"xx9\" is not a jyutping syllable");
  EXPECT_EQ(phonemes, "");
  EXPECT_EQ(jyutpingToPhonemes("   ", phonemes), "no syllables");
}

}  // namespace
