#include "platform/utf.h"

#include <gtest/gtest.h>

namespace {

using sonvale::platform::utf16ToUtf8;
using sonvale::platform::utf8ToUtf16;

TEST(Utf, EightToSixteen) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string utf16;
  };
  const Case cases[] = {
      {"ascii", "abc", u"abc"},
      {"cjk", "\xE4\xBD\xA0\xE5\xA5\xBD", u"\u4F60\u597D"},
      {"astral", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
      {"lone continuation", "a\x80z", u"a\uFFFDz"},
      {"truncated three-byte", "\xE4\xBD", u"\uFFFD\uFFFD"},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"invalid lead", "\xFF", u"\uFFFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(utf8ToUtf16(c.utf8), c.utf16) << c.name;
}

TEST(Utf, SixteenToEight) {
  EXPECT_EQ(utf16ToUtf8(u"\u4F60\u597D!"), "\xE4\xBD\xA0\xE5\xA5\xBD!");
  EXPECT_EQ(utf16ToUtf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(Utf, RoundTripOfEveryScalarValueInTheBasicPlane) {
  std::u16string all;
  for (std::uint32_t c = 1; c < 0x10000; ++c)
    if (c < 0xD800 || c > 0xDFFF) all += static_cast<char16_t>(c);
  EXPECT_EQ(utf8ToUtf16(utf16ToUtf8(all)), all);
}

// Code points to UTF-8: one, two, three and four bytes at each boundary; a
// surrogate or a value past U+10FFFF is U+FFFD (EF BF BD).
TEST(Utf, ThirtyTwoToEight) {
  struct Case {
    char32_t codePoint;
    std::string bytes;
  };
  const Case cases[] = {
      {U'\x7F', "\x7F"},
      {U'\x80', "\xC2\x80"},
      {U'\x7FF', "\xDF\xBF"},
      {U'\x800', "\xE0\xA0\x80"},
      {U'\x4F60', "\xE4\xBD\xA0"},  // 你
      {U'\xFFFF', "\xEF\xBF\xBF"},
      {U'\x10000', "\xF0\x90\x80\x80"},
      {U'\x10FFFF', "\xF4\x8F\xBF\xBF"},
      {static_cast<char32_t>(0xD800), "\xEF\xBF\xBD"},
      {static_cast<char32_t>(0x110000), "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sonvale::platform::utf32ToUtf8(std::u32string(1, c.codePoint)), c.bytes)
        << std::hex << static_cast<unsigned>(c.codePoint);
  }
}

TEST(Utf, CaseInsensitiveCompare) {
  EXPECT_TRUE(sonvale::platform::equalsIgnoreAsciiCase(u"VoiceDef", u"VOICEDEF"));
  EXPECT_FALSE(sonvale::platform::equalsIgnoreAsciiCase(u"VoiceDef", u"VoiceDe"));
  EXPECT_FALSE(sonvale::platform::equalsIgnoreAsciiCase(u"\u00C0", u"\u00E0"));  // ASCII only
}

}  // namespace
