#include "text/number_reading.h"

#include <algorithm>
#include <string_view>

namespace sonvale {
namespace {

constexpr char16_t kZero = 0x96F6;      // 零
constexpr char16_t kMinus = 0x8D1F;     // 负
constexpr char16_t kTen = 0x62FE;       // 拾
constexpr char16_t kHundred = 0x4F70;   // 佰
constexpr char16_t kThousand = 0x4EDF;  // 仟
constexpr char16_t kWan = 0x4E07;       // 万, ten thousand
constexpr char16_t kYi = 0x4EBF;        // 亿, hundred million
// 百分之, with 分 written 份: Cantonese says baak3 fan6 zi1, and the unit of 分
// says its everyday fan1 (分鐘), while 份's says fan6.
constexpr std::u16string_view kPercentPrefix = u"\u767E\u4EFD\u4E4B";  // 百份之

// Numerals for the digits 1 to 9 (index 0 unused): the formal ones, except
// that 6 is read with the everyday 六.
constexpr char16_t kNumerals[10] = {0,      0x58F9, 0x8D30, 0x53C1, 0x8086,
                                    0x4F0D, 0x516D, 0x67D2, 0x634C, 0x7396};

// The unit written after a non-zero digit, by place (digits after it); 0 for none.
constexpr char16_t kPlaceUnits[kMaxNumberDigits] = {0,     kTen, kHundred, kThousand, kWan, kTen, kHundred,
                                                    kThousand, kYi, kTen, kHundred,  kThousand, kWan};

bool isAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

void tellTooLarge(const NumberWarning& warn) {
  if (!warn) return;
  // The warning only informs; the reading is empty whether or not it was shown.
  try {
    warn();
  } catch (...) {
  }
}

}  // namespace

std::u16string readNumber(const NumberParts& parts, const NumberWarning& warn) {
  std::u16string reading;
  if (!parts.percent.empty() && parts.percent.front() == u'%') reading += kPercentPrefix;

  std::u16string_view digits = parts.integerPart;
  if (!digits.empty() && digits.front() == u'-') {
    reading += kMinus;
    digits.remove_prefix(1);
  }
  // The length is checked before anything else looks at the digits, so a
  // place beyond the table is never reached.
  if (digits.size() > kMaxNumberDigits) {
    tellTooLarge(warn);
    return {};
  }
  if (!std::all_of(digits.begin(), digits.end(), isAsciiDigit)) return {};

  if (std::all_of(digits.begin(), digits.end(), [](char16_t c) { return c == u'0'; })) reading += kZero;

  bool leading = true;
  bool pendingZero = false;
  bool upperGroup = false;  // a digit at place 5, 6 or 7 was non-zero: a zero at place 4 still closes with 万
  for (std::size_t i = 0; i < digits.size(); ++i) {
    const std::size_t place = digits.size() - 1 - i;
    const int d = digits[i] - u'0';
    if (d == 0) {
      if (leading) continue;
      pendingZero = true;
      // 万 and 亿 close their groups even when the digits before them were zeros.
      if (place == 4 && upperGroup) reading += kWan;
      if (place == 8) reading += kYi;
      continue;
    }
    leading = false;
    if (pendingZero) {
      reading += kZero;
      pendingZero = false;
    }
    // A 1 in the tens of a group is silent: 10 is 拾, 110 is 壹佰拾.
    const bool silentOne = d == 1 && (place == 1 || place == 5 || place == 9);
    if (!silentOne) reading += kNumerals[d];
    if (kPlaceUnits[place] != 0) reading += kPlaceUnits[place];
    if (place >= 5 && place <= 7) upperGroup = true;
  }

  reading += parts.fractionPart;
  return reading;
}

}  // namespace sonvale
