// Number reading and the phrase table on arbitrary code units.
//
// Input: a selector byte, then UTF-16LE code units. Selector bit 0 clear:
// matchPhrase on every window of four code units (0 past the end). Bit 0 set:
// readNumber on parts cut from the code units; with bit 1 set the parts are
// first made well formed the way the speaking loop makes them (an optional
// '-' and ASCII digits; "点" and numerals; "%" or nothing).
//
// Checked: matchPhrase answers 1 and leaves the word alone, or 2..4 having
// written the key's text, ideograph readings and values inside the tables;
// readNumber never reads a number of more than 13 digits, and reads a
// well-formed one as ideographs that a plain parse of Chinese numerals turns
// back into the same value, with its percent prefix, sign and fraction.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <string>

#include "fuzz_support.h"
#include "platform/utf.h"
#include "text/number_reading.h"
#include "text/phrase_table.h"

namespace {

using namespace sonvale;

bool isIdeograph(char16_t c) { return c >= 0x4E00 && c <= 0x9FA5; }

// The value of a reading in formal numerals (六 is the everyday six), place
// units 拾佰仟 within a group of four and 万亿 closing groups, 零 for a gap and
// a silent one before a leading or gap-following 拾. A slow textbook parse,
// kept apart from how readNumber builds the text. False for anything else.
bool valueOf(std::u16string_view text, std::uint64_t& value) {
  static constexpr std::u16string_view kDigits = u"\u96F6\u58F9\u8D30\u53C1\u8086\u4F0D\u516D\u67D2\u634C\u7396";
  std::uint64_t total = 0, group = 0, section = 0, digit = 0;
  if (text.empty()) return false;
  for (const char16_t c : text) {
    if (const std::size_t d = kDigits.find(c); d != std::u16string_view::npos) {
      digit = d;
    } else if (c == 0x62FE) {  // 拾
      section += (digit == 0 ? 1 : digit) * 10;
      digit = 0;
    } else if (c == 0x4F70 || c == 0x4EDF) {  // 佰, 仟
      section += digit * (c == 0x4F70 ? 100 : 1000);
      digit = 0;
    } else if (c == 0x4E07) {  // 万
      group += (section + digit) * 10000;
      section = digit = 0;
    } else if (c == 0x4EBF) {  // 亿
      total += (group + section + digit) * 100000000;
      group = section = digit = 0;
    } else {
      return false;
    }
  }
  value = total + group + section + digit;
  return true;
}

void checkPhrases(const std::u16string& units) {
  const std::size_t windows = units.empty() ? 1 : units.size();
  for (std::size_t p = 0; p < windows; ++p) {
    char16_t window[4];
    for (std::size_t k = 0; k < 4; ++k) window[k] = p + k < units.size() ? units[p + k] : char16_t{0};
    WordRecord word;
    std::memset(&word, 0xA5, sizeof word);
    WordRecord before;
    std::memcpy(&before, &word, sizeof word);
    const int n = matchPhrase(window, word);
    if (n == 1) {
      SONVALE_FUZZ_CHECK(std::memcmp(&before, &word, sizeof word) == 0, "no phrase, yet the word changed");
      continue;
    }
    SONVALE_FUZZ_CHECK(n >= 2 && n <= 4, "matchPhrase gave %d", n);
    SONVALE_FUZZ_CHECK(word.text[n] == 0 && word.reading[n] == 0, "a phrase of %d without terminators", n);
    for (int k = 0; k < n; ++k) {
      SONVALE_FUZZ_CHECK(word.text[k] == window[k], "the phrase's text differs at %d", k);
      SONVALE_FUZZ_CHECK(isIdeograph(word.reading[k]), "reading U+%04X is no ideograph", word.reading[k]);
      for (const std::int32_t v : {word.cutBefore[k], word.cutAfter[k], word.volumeIndex[k], word.durationIndex[k]})
        SONVALE_FUZZ_CHECK(v >= -10 && v <= 10, "a value of %d", v);
    }
    // Nothing past the phrase's own syllables is written.
    for (int k = n + 1; k < 9; ++k) SONVALE_FUZZ_CHECK(word.text[k] == before.text[k], "text[%d] written", k);
    for (int k = n; k < 8; ++k)
      SONVALE_FUZZ_CHECK(word.cutBefore[k] == before.cutBefore[k] && word.durationIndex[k] == before.durationIndex[k],
                         "values of syllable %d written", k);
  }
}

void checkNumber(const std::u16string& units, bool wellFormed) {
  NumberParts parts;
  // The first unit says how the rest is shared between the three parts.
  const std::size_t split = units.empty() ? 0 : units[0];
  const std::u16string body = units.empty() ? u"" : units.substr(1);
  const std::size_t integerLength = std::min(body.size(), split % 32);
  const std::size_t fractionLength = std::min(body.size() - integerLength, split / 32 % 32);
  parts.integerPart = body.substr(0, integerLength);
  parts.fractionPart = body.substr(integerLength, fractionLength);
  parts.percent = body.substr(integerLength + fractionLength, 2);
  if (wellFormed) {
    static constexpr char16_t kNumerals[10] = {0x96F6, 0x4E00, 0x4E8C, 0x4E09, 0x56DB,
                                               0x4E94, 0x516D, 0x67D2, 0x634C, 0x7396};
    // ASCII digits stay themselves; every other code unit becomes some digit.
    const auto digitOf = [](char16_t c) { return static_cast<char16_t>(c - u'0') % 10; };
    for (std::size_t i = 0; i < parts.integerPart.size(); ++i)
      parts.integerPart[i] =
          (i == 0 && (split & 0x400)) ? u'-' : static_cast<char16_t>(u'0' + digitOf(parts.integerPart[i]));
    if (parts.integerPart.empty() || parts.integerPart == u"-") parts.integerPart += u'7';
    for (std::size_t i = 0; i < parts.fractionPart.size(); ++i)
      parts.fractionPart[i] = i == 0 ? char16_t{0x70B9} : kNumerals[digitOf(parts.fractionPart[i])];
    if (parts.fractionPart.size() == 1) parts.fractionPart.clear();
    parts.percent = (split & 0x800) ? u"%" : u"";
  }
  int warnings = 0;
  const std::u16string reading = readNumber(parts, [&warnings] { ++warnings; });

  const std::u16string_view digits =
      std::u16string_view(parts.integerPart).substr(!parts.integerPart.empty() && parts.integerPart[0] == u'-');
  if (digits.size() > kMaxNumberDigits) {
    SONVALE_FUZZ_CHECK(reading.empty() && warnings == 1, "a number of %zu digits was read", digits.size());
    return;
  }
  SONVALE_FUZZ_CHECK(warnings == 0, "a number of %zu digits was refused", digits.size());
  if (!wellFormed) return;
  SONVALE_FUZZ_CHECK(!reading.empty(), "a number of %zu digits reads as nothing", digits.size());
  for (const char16_t c : reading) SONVALE_FUZZ_CHECK(isIdeograph(c), "U+%04X in a reading", c);

  // The reading says the number: percent prefix, sign, the integer in
  // numerals and place units, the fraction as handed in.
  std::u16string_view rest = reading;
  const std::u16string_view percentPrefix = u"\u767E\u4EFD\u4E4B";  // 百份之
  if (!parts.percent.empty()) {
    SONVALE_FUZZ_CHECK(rest.starts_with(percentPrefix), "a percentage without its prefix");
    rest.remove_prefix(percentPrefix.size());
  }
  if (parts.integerPart[0] == u'-') {
    SONVALE_FUZZ_CHECK(rest.starts_with(u'\u8D1F'), "a negative number without its sign");  // 负
    rest.remove_prefix(1);
  }
  SONVALE_FUZZ_CHECK(rest.ends_with(parts.fractionPart), "the fraction is not at the end");
  rest.remove_suffix(parts.fractionPart.size());
  std::uint64_t expected = 0;
  for (const char16_t d : digits) expected = expected * 10 + static_cast<std::uint64_t>(d - u'0');
  std::uint64_t value = 0;
  SONVALE_FUZZ_CHECK(valueOf(rest, value), "'%s' is not a Chinese number", platform::utf16ToUtf8(rest).c_str());
  SONVALE_FUZZ_CHECK(value == expected, "'%s' reads %llu, not %llu", platform::utf16ToUtf8(rest).c_str(),
                     static_cast<unsigned long long>(value), static_cast<unsigned long long>(expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ByteStream in({data, size});
  const std::uint8_t selector = in.u8();
  std::u16string units;
  while (in.remaining() >= 2) units.push_back(static_cast<char16_t>(in.u16()));
  if (selector & 1) {
    checkNumber(units, (selector & 2) != 0);
  } else {
    checkPhrases(units);
  }
  return 0;
}
