#include "symbol_units.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "jyutping.h"

namespace {

using sonvale::recipe::jyutpingToPhonemes;
using sonvale::recipe::SymbolUnit;
using sonvale::recipe::symbolUnits;

const SymbolUnit* find(std::uint32_t unit) {
  for (const SymbolUnit& s : symbolUnits())
    if (s.unit == unit) return &s;
  return nullptr;
}

TEST(SymbolUnits, CodesAreOrderedUniqueAndBelowTheIdeographs) {
  std::uint32_t previous = 0;
  for (const SymbolUnit& s : symbolUnits()) {
    EXPECT_GT(s.unit, previous) << s.description;
    previous = s.unit;
    // Latin-1 codes, or 501..563 for U+3001..U+303F.
    EXPECT_TRUE(s.unit <= 0xFF || (s.unit >= 501 && s.unit <= 563)) << s.unit;
  }
  EXPECT_EQ(find(0), nullptr) << "unit 0 speaks muted punctuation and unknown characters: it stays silent";
}

TEST(SymbolUnits, EverySyllableIsJyutping) {
  for (const SymbolUnit& s : symbolUnits()) {
    if (s.sameAs != 0) {
      EXPECT_TRUE(s.jyutping.empty()) << s.description;
      EXPECT_TRUE(s.sameAs >= 0x4E00 && s.sameAs <= 0x9FA5) << s.description;
      continue;
    }
    std::string phonemes;
    EXPECT_EQ(jyutpingToPhonemes(s.jyutping, phonemes), "") << s.description;
  }
}

TEST(SymbolUnits, LettersAreUpperCaseOnly) {
  // The engine raises a..z to A..Z before it looks a unit up.
  for (std::uint32_t c = 'A'; c <= 'Z'; ++c) EXPECT_NE(find(c), nullptr) << static_cast<char>(c);
  for (std::uint32_t c = 'a'; c <= 'z'; ++c) EXPECT_EQ(find(c), nullptr) << static_cast<char>(c);
}

TEST(SymbolUnits, DigitsShareTheNumeralsUnits) {
  const char32_t numerals[] = U"零一二三四五六七八九";
  for (std::uint32_t d = 0; d < 10; ++d) {
    const SymbolUnit* s = find('0' + d);
    ASSERT_NE(s, nullptr) << d;
    EXPECT_EQ(s->sameAs, numerals[d]) << d;
  }
}

}  // namespace
