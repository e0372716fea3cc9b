// Conversions between UTF-8 and UTF-16, as the platform's wide-character
// calls would do them. Malformed input never fails: each bad UTF-8 byte and
// each unpaired surrogate becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace sonvale::platform {

std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);
std::string utf32ToUtf8(std::u32string_view text);

// Appends one code point in UTF-8; a surrogate or a value past U+10FFFF
// becomes U+FFFD.
void appendUtf8(std::string& out, char32_t codePoint);

// Maps ASCII A-Z to a-z and leaves everything else alone.
char16_t asciiLower(char16_t c);

// Equality without regard to ASCII letter case.
bool equalsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b);

}  // namespace sonvale::platform
