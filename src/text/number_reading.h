// Reading digit runs as Chinese numbers.
#pragma once

#include <string>

namespace sonvale {

// The parts of one number as the speaking loop gathers them: the integer part
// ("-" and ASCII digits), the fraction part (empty, or "点" followed by one
// numeral per digit) and the percent part (empty or "%"). Each part holds at
// most kMaxNumberPart code units.
struct NumberParts {
  std::u16string integerPart;
  std::u16string fractionPart;
  std::u16string percent;
};

inline constexpr std::size_t kMaxNumberPart = 255;

// Turns a number into the ideographs that read it, one per syllable. Until
// number reading is built the reading is empty: the number gets its word
// boundary but no syllables.
std::u16string readNumber(const NumberParts& parts);

}  // namespace sonvale
