// Reading digit runs as Chinese numbers.
#pragma once

#include <cstddef>
#include <functional>
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

// The most digits an integer part may have, leading zeros counted; the
// highest place read is the trillions (万亿).
inline constexpr std::size_t kMaxNumberDigits = 13;

// Told, once, when a number has more than kMaxNumberDigits digits and so is
// not read. May be empty. Whatever it throws is swallowed.
using NumberWarning = std::function<void()>;

// Turns a number into the ideographs that read it, one per syllable: 百份之
// (百分之 as Cantonese says it, baak3 fan6 zi1) when the percent part begins with '%', 负 for a leading '-', the integer
// part in formal numerals with 拾佰仟万亿 and 零, then the fraction part as
// it is. Returns an empty string, after calling `warn`, when the integer part
// has more than kMaxNumberDigits digits, and an empty string without a
// warning when it holds anything but ASCII digits after the optional '-'.
// Only std::bad_alloc can escape.
std::u16string readNumber(const NumberParts& parts, const NumberWarning& warn = {});

}  // namespace sonvale
