#include "text/number_reading.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <string_view>

#include "platform/utf.h"
#include "test_seed.h"

namespace {

using sonvale::kMaxNumberDigits;
using sonvale::kMaxNumberPart;
using sonvale::NumberParts;
using sonvale::NumberWarning;
using sonvale::readNumber;
using sonvale::platform::utf16ToUtf8;
using sonvale::platform::utf8ToUtf16;

struct Reading {
  std::string text;  // UTF-8, for readable failure messages
  int warnings = 0;
};

Reading read(const std::string& integerPart, const std::string& fractionPart = "", const std::string& percent = "") {
  Reading result;
  const NumberParts parts{utf8ToUtf16(integerPart), utf8ToUtf16(fractionPart), utf8ToUtf16(percent)};
  result.text = utf16ToUtf8(readNumber(parts, [&result] { ++result.warnings; }));
  return result;
}

// Each reading is worked out by hand, digit by digit from the most significant,
// with the place e = digits after it: a non-zero digit writes its numeral (none
// for a 1 at e = 1, 5, 9) and the unit of e (拾佰仟 in each group, 万 at 4 and
// 12, 亿 at 8); a zero after the first non-zero digit is remembered and becomes
// one 零 before the next non-zero digit, and writes 亿 at e = 8, or 万 at e = 4
// when a digit at e = 5..7 was non-zero. 百份之 comes first, then 负, and the
// fraction part goes on the end as it is.
struct Case {
  const char* name;
  const char* integerPart;
  const char* fractionPart;
  const char* percent;
  const char* expected;
};

const Case kCases[] = {
    // zeros and single digits
    {"zero", "0", "", "", "零"},
    {"three zeros", "000", "", "", "零"},
    {"minus zero", "-0", "", "", "负零"},
    {"leading zeros are silent", "007", "", "", "柒"},
    {"leading zeros before a ten", "0010", "", "", "拾"},
    {"one", "1", "", "", "壹"},
    {"two", "2", "", "", "贰"},
    {"three", "3", "", "", "叁"},
    {"four", "4", "", "", "肆"},
    {"five", "5", "", "", "伍"},
    {"six is the everyday numeral", "6", "", "", "六"},
    {"seven", "7", "", "", "柒"},
    {"eight", "8", "", "", "捌"},
    {"nine", "9", "", "", "玖"},
    // tens and hundreds
    {"ten", "10", "", "", "拾"},
    {"eleven", "11", "", "", "拾壹"},
    {"fifteen", "15", "", "", "拾伍"},
    {"twenty", "20", "", "", "贰拾"},
    {"ninety-nine", "99", "", "", "玖拾玖"},
    {"hundred", "100", "", "", "壹佰"},
    {"hundred and one", "101", "", "", "壹佰零壹"},
    {"hundred and ten: the tens 1 is silent", "110", "", "", "壹佰拾"},
    {"hundred and fifteen", "115", "", "", "壹佰拾伍"},
    {"six everywhere", "6666", "", "", "六仟六佰六拾六"},
    // thousands
    {"thousand", "1000", "", "", "壹仟"},
    {"thousand and one", "1001", "", "", "壹仟零壹"},
    {"thousand and ten", "1010", "", "", "壹仟零拾"},
    {"eleven hundred", "1100", "", "", "壹仟壹佰"},
    // the 万 group
    {"ten thousand", "10000", "", "", "壹万"},
    {"ten thousand and ten", "10010", "", "", "壹万零拾"},
    {"hundred thousand", "100000", "", "", "拾万"},
    {"hundred thousand and one", "100001", "", "", "拾万零壹"},
    {"hundred thousand one hundred", "100100", "", "", "拾万零壹佰"},
    {"zero at place 4 gives a 零 before the next group", "101000", "", "", "拾万零壹仟"},
    {"hundred and ten thousand", "110000", "", "", "拾壹万"},
    {"million", "1000000", "", "", "壹佰万"},
    {"million and ten", "1000010", "", "", "壹佰万零拾"},
    {"1200000", "1200000", "", "", "壹佰贰拾万"},
    {"1010101", "1010101", "", "", "壹佰零壹万零壹佰零壹"},
    {"ten million and one", "10000001", "", "", "壹仟万零壹"},
    {"30000005", "30000005", "", "", "叁仟万零伍"},
    // the 亿 group
    {"hundred million", "100000000", "", "", "壹亿"},
    {"hundred million and one", "100000001", "", "", "壹亿零壹"},
    {"empty 万 group writes no 万", "100010000", "", "", "壹亿零壹万"},
    {"200000020", "200000020", "", "", "贰亿零贰拾"},
    {"billion", "1000000000", "", "", "拾亿"},
    {"1100000000", "1100000000", "", "", "拾壹亿"},
    {"ten billion", "10000000000", "", "", "壹佰亿"},
    {"hundred billion and a million", "100001000000", "", "", "壹仟亿零壹佰万"},
    {"trillion", "1000000000000", "", "", "壹万亿"},
    {"trillion and a hundred million", "1000100000000", "", "", "壹万零壹亿"},
    {"largest", "9999999999999", "", "", "玖万玖仟玖佰玖拾玖亿玖仟玖佰玖拾玖万玖仟玖佰玖拾玖"},
    {"every digit", "1234567890123", "", "", "壹万贰仟叁佰肆拾伍亿六仟柒佰捌拾玖万零壹佰贰拾叁"},
    {"thirteen digits with leading zeros", "0000000000001", "", "", "壹"},
    // sign
    {"minus five", "-5", "", "", "负伍"},
    {"minus ten", "-10", "", "", "负拾"},
    {"minus leading zeros", "-007", "", "", "负柒"},
    {"minus thirteen digits", "-1234567890123", "", "",
     "负壹万贰仟叁佰肆拾伍亿六仟柒佰捌拾玖万零壹佰贰拾叁"},
    {"minus thirteen digits with leading zeros", "-0000000000001", "", "", "负壹"},
    // percent and fraction
    {"fifty percent", "50", "", "%", "百份之伍拾"},
    {"percent before minus", "-5", "", "%", "百份之负伍"},
    {"zero percent", "0", "", "%", "百份之零"},
    {"hundred percent", "100", "", "%", "百份之壹佰"},
    {"three point one four", "3", "点一四", "", "叁点一四"},
    {"zero point five", "0", "点五", "", "零点五"},
    {"ten point zero one", "10", "点零一", "", "拾点零一"},
    {"fraction after trailing zeros", "1000", "点柒捌玖", "", "壹仟点柒捌玖"},
    {"all three parts", "-12", "点五", "%", "百份之负拾贰点五"},
    {"large with fraction and percent", "1000000000000", "点六", "%", "百份之壹万亿点六"},
    // no digits at all: the loop never sends this; it reads as zero
    {"empty integer part", "", "", "", "零"},
    {"lone minus", "-", "", "", "负零"},
    {"fraction without integer digits", "", "点五", "", "零点五"},
};

TEST(NumberReading, HandWorkedReadings) {
  for (const Case& c : kCases) {
    const Reading r = read(c.integerPart, c.fractionPart, c.percent);
    EXPECT_EQ(r.text, c.expected) << c.name;
    EXPECT_EQ(r.warnings, 0) << c.name;
  }
}

// More than 13 digits, leading zeros counted and the sign not counted: the
// warning is given once and nothing of the number is read.
TEST(NumberReading, TooManyDigitsWarnsAndReadsNothing) {
  struct TooLarge {
    const char* name;
    std::string integerPart;
    const char* fractionPart;
    const char* percent;
  };
  const TooLarge cases[] = {
      {"fourteen digits", "10000000000000", "", ""},
      {"fourteen zeros", "00000000000000", "", ""},
      {"leading zeros counted", "00000000000001", "", ""},
      {"minus and fourteen digits", "-10000000000000", "", ""},
      {"with percent and fraction", "12345678901234", "点五", "%"},
      {"longest part the loop sends", std::string(kMaxNumberPart, '9'), "", ""},
      {"longer than the loop sends", std::string(4 * kMaxNumberPart, '1'), "", ""},
  };
  for (const TooLarge& c : cases) {
    const Reading r = read(c.integerPart, c.fractionPart, c.percent);
    EXPECT_EQ(r.text, "") << c.name;
    EXPECT_EQ(r.warnings, 1) << c.name;
  }
}

TEST(NumberReading, TooLargeWithoutWarningCallbackStillReadsNothing) {
  const NumberParts parts{u"10000000000000", u"", u""};
  EXPECT_EQ(readNumber(parts), u"");
  EXPECT_EQ(readNumber(parts, NumberWarning{}), u"");
}

TEST(NumberReading, ThrowingWarningDoesNotEscape) {
  const NumberParts parts{u"10000000000000", u"", u"%"};
  std::u16string result = u"unset";
  EXPECT_NO_THROW(result = readNumber(parts, [] { throw std::runtime_error("no desktop"); }));
  EXPECT_EQ(result, u"");
}

// Anything but digits after the optional sign is not a number the loop sends;
// it reads as nothing, without the too-large warning.
TEST(NumberReading, MalformedIntegerPartReadsNothing) {
  struct Malformed {
    const char* name;
    std::u16string integerPart;
  };
  const Malformed cases[] = {
      {"letter", u"1a2"},
      {"second minus", u"--1"},
      {"minus inside", u"1-2"},
      {"space", u"1 2"},
      {"embedded NUL", std::u16string(u"12\0" "3", 4)},
      {"fullwidth digit", u"1\uFF12"},
      {"ideograph", u"\u4E00"},
      {"lone surrogate", std::u16string(1, char16_t(0xD800))},
  };
  for (const Malformed& c : cases) {
    int warnings = 0;
    EXPECT_EQ(readNumber({c.integerPart, u"", u"%"}, [&warnings] { ++warnings; }), u"") << c.name;
    EXPECT_EQ(warnings, 0) << c.name;
  }
}

// The characters number reading may write for the integer part, the sign and
// the percent prefix.
const std::u16string_view kIntegerCharacters = u"零壹贰叁肆伍六柒捌玖拾佰仟万亿";
// The numerals the loop uses for fraction digits 0 to 9.
const char16_t kFractionNumerals[10] = {u'零', u'一', u'二', u'三', u'四', u'五', u'六', u'柒', u'捌', u'玖'};

// Reads a Chinese numeral back into its value, the way a reader would: a
// numeral is held until a unit multiplies it (a unit with no numeral before it
// means one), 万 and 亿 close what came before them, 零 only fills a gap.
// Returns false on a character that is not a numeral or unit.
bool valueOf(std::u16string_view text, std::uint64_t& value) {
  std::uint64_t yiPart = 0, wanPart = 0, section = 0, digit = 0;
  bool haveDigit = false;
  for (const char16_t c : text) {
    const std::size_t numeral = std::u16string_view(u"零壹贰叁肆伍六柒捌玖").find(c);
    if (numeral != std::u16string_view::npos) {
      digit = numeral;
      haveDigit = numeral != 0;
      continue;
    }
    const std::uint64_t held = haveDigit ? digit : 1;
    switch (c) {
      case u'拾': section += held * 10; break;
      case u'佰': section += held * 100; break;
      case u'仟': section += held * 1000; break;
      case u'万':
        wanPart += (section + (haveDigit ? digit : 0)) * 10000;
        section = 0;
        break;
      case u'亿':
        yiPart = (yiPart + wanPart + section + (haveDigit ? digit : 0)) * 100000000;
        wanPart = section = 0;
        break;
      default: return false;
    }
    haveDigit = false;
  }
  value = yiPart + wanPart + section + (haveDigit ? digit : 0);
  return true;
}

TEST(NumberReading, ValueReaderAgreesWithKnownReadings) {
  std::uint64_t value = 0;
  ASSERT_TRUE(valueOf(u"壹万贰仟叁佰肆拾伍亿六仟柒佰捌拾玖万零壹佰贰拾叁", value));
  EXPECT_EQ(value, 1234567890123u);
  ASSERT_TRUE(valueOf(u"壹佰拾", value));
  EXPECT_EQ(value, 110u);
  ASSERT_TRUE(valueOf(u"拾万零壹", value));
  EXPECT_EQ(value, 100001u);
  EXPECT_FALSE(valueOf(u"壹点", value));
}

using sonvale::testing::testSeed;

// Random digit runs, as the loop gathers them: whatever they are, the reading
// is made only of numerals and units, says the same value, has no doubled or
// trailing 零, and keeps the prefix, sign and fraction where they belong.
TEST(NumberReading, RandomNumbersReadBackToTheirValue) {
  const std::uint32_t seed = testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto chance = [&rng](unsigned oneIn) { return std::uniform_int_distribution<unsigned>(1, oneIn)(rng) == 1; };
  const auto below = [&rng](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };

  for (int iteration = 0; iteration < 20000; ++iteration) {
    const bool negative = chance(4);
    const bool percent = chance(4);
    std::size_t digitCount = chance(20) ? 1 + below(kMaxNumberPart - 1) : 1 + below(16);
    std::u16string digits;
    // Runs of zeros are where the reading is subtle, so favour them.
    const bool zeroHeavy = chance(2);
    for (std::size_t i = 0; i < digitCount; ++i)
      digits += static_cast<char16_t>(u'0' + ((zeroHeavy && !chance(4)) ? 0 : below(10)));
    std::u16string fraction;
    if (chance(3)) {
      fraction = u"点";
      for (std::size_t i = 1 + below(8); i > 0; --i) fraction += kFractionNumerals[below(10)];
    }

    NumberParts parts{(negative ? u"-" : u"") + digits, fraction, percent ? u"%" : u""};
    int warnings = 0;
    const std::u16string got = readNumber(parts, [&warnings] { ++warnings; });
    const std::string context = utf16ToUtf8(parts.integerPart) + " " + utf16ToUtf8(fraction) +
                                (percent ? " %" : "") + " -> " + utf16ToUtf8(got);

    if (digitCount > kMaxNumberDigits) {
      EXPECT_EQ(warnings, 1) << context;
      EXPECT_TRUE(got.empty()) << context;
      continue;
    }
    EXPECT_EQ(warnings, 0) << context;

    std::u16string_view rest = got;
    if (percent) {
      ASSERT_TRUE(rest.starts_with(u"百份之")) << context;
      rest.remove_prefix(3);
    }
    if (negative) {
      ASSERT_TRUE(rest.starts_with(u"负")) << context;
      rest.remove_prefix(1);
    }
    ASSERT_TRUE(rest.ends_with(fraction)) << context;
    rest.remove_suffix(fraction.size());

    // 13 digits: each digit gives at most a numeral and a unit, the last no unit.
    EXPECT_GE(rest.size(), 1u) << context;
    EXPECT_LE(rest.size(), 2 * kMaxNumberDigits - 1) << context;
    EXPECT_EQ(rest.find_first_not_of(kIntegerCharacters), std::u16string_view::npos) << context;
    EXPECT_EQ(rest.find(u"零零"), std::u16string_view::npos) << context;

    const std::uint64_t expected = std::stoull(utf16ToUtf8(digits));
    if (expected == 0) {
      EXPECT_EQ(rest, u"零") << context;
    } else {
      EXPECT_FALSE(rest.starts_with(u"零")) << context;
      EXPECT_FALSE(rest.ends_with(u"零")) << context;
    }
    std::uint64_t value = 0;
    ASSERT_TRUE(valueOf(rest, value)) << context;
    EXPECT_EQ(value, expected) << context;
  }
}

// Arbitrary code units in every part never crash; a non-empty reading is made
// of numerals, units, 负 and 百份之, followed by the fraction part.
TEST(NumberReading, ArbitraryPartsNeverCrash) {
  const std::uint32_t seed = testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const std::u16string alphabet = std::u16string(u"0123456789-%.a \u4E00\u96F6\uFFFF") + char16_t(0) + char16_t(0xD800);
  const auto randomPart = [&](std::size_t maxLength) {
    std::u16string part;
    for (std::size_t n = std::uniform_int_distribution<std::size_t>(0, maxLength)(rng); n > 0; --n)
      part += alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
    return part;
  };
  for (int iteration = 0; iteration < 20000; ++iteration) {
    // Mostly digits, so that many inputs are numbers.
    std::u16string integerPart = randomPart(3);
    for (std::size_t n = std::uniform_int_distribution<std::size_t>(0, 18)(rng); n > 0; --n)
      integerPart += static_cast<char16_t>(u'0' + std::uniform_int_distribution<int>(0, 9)(rng));
    const NumberParts parts{integerPart, randomPart(6), randomPart(2)};
    int warnings = 0;
    const std::u16string got = readNumber(parts, [&warnings] { ++warnings; });
    EXPECT_LE(warnings, 1);
    if (warnings == 1) {
      EXPECT_TRUE(got.empty());
    }
    if (got.empty()) continue;
    ASSERT_TRUE(got.ends_with(parts.fractionPart));
    const std::u16string_view head = std::u16string_view(got).substr(0, got.size() - parts.fractionPart.size());
    EXPECT_EQ(head.find_first_not_of(u"零壹贰叁肆伍六柒捌玖拾佰仟万亿负百份之"), std::u16string_view::npos)
        << utf16ToUtf8(parts.integerPart) << " -> " << utf16ToUtf8(got);
  }
}

}  // namespace
