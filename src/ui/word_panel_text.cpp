#include "ui/word_panel_text.h"

#include <algorithm>
#include <cstring>

#include "platform/utf.h"

namespace sonvale::ui {

namespace {

constexpr char kTonedLetters[] = "aeiouvmn";
constexpr std::size_t kLetterCount = sizeof kTonedLetters - 1;
constexpr std::size_t kRomanizationBytes = sizeof(WordRecord{}.romanization[0]);

// The Unicode spelling of each folded byte, in byte order: four tones of a,
// then of e, i, o, u, v, m, n. m and n with macron, caron and grave have no
// precomposed letter and take a combining mark.
constexpr const char* kTonedUtf8[kLetterCount * 4] = {
    "ā",       "á", "ǎ",       "à",        // a
    "ē",       "é", "ě",       "è",        // e
    "ī",       "í", "ǐ",       "ì",        // i
    "ō",       "ó", "ǒ",       "ò",        // o
    "ū",       "ú", "ǔ",       "ù",        // u
    "ǖ",       "ǘ", "ǚ",       "ǜ",        // v
    "m\u0304", "ḿ", "m\u030C", "m\u0300",  // m
    "n\u0304", "ń", "ň",       "ǹ",        // n
};

template <std::size_t N>
std::u16string_view terminated(const char16_t (&units)[N]) {
  std::size_t n = 0;
  while (n < N && units[n] != 0) ++n;
  return {units, n};
}

}  // namespace

std::uint8_t tonedLetterByte(char letter, char digit) {
  if (digit < '1' || digit > '4' || letter == '\0') return 0;
  const char* found = std::strchr(kTonedLetters, letter);
  if (found == nullptr) return 0;
  const auto place = static_cast<unsigned>(found - kTonedLetters);
  return static_cast<std::uint8_t>(kFirstTonedByte + 4 * place + static_cast<unsigned>(digit - '1'));
}

std::string foldTones(std::string_view syllable) {
  const std::size_t end = syllable.find('\0');
  if (end != std::string_view::npos) syllable = syllable.substr(0, end);
  if (syllable.size() > kRomanizationBytes) syllable = syllable.substr(0, kRomanizationBytes);
  std::string out;
  out.reserve(syllable.size());
  for (std::size_t i = 0; i < syllable.size(); ++i) {
    const std::uint8_t folded = i + 1 < syllable.size() ? tonedLetterByte(syllable[i], syllable[i + 1]) : 0;
    if (folded != 0) {
      out.push_back(static_cast<char>(folded));
      ++i;  // the digit is dropped
    } else {
      out.push_back(syllable[i]);
    }
  }
  return out;
}

std::string romanizedLine(const WordRecord& word) {
  std::string line;
  // A text without its terminator has 9 code units but only 8 romanizations.
  const std::size_t count = std::min(word.textLength(), kMaxWordSyllables);
  for (std::size_t i = 0; i < count; ++i) {
    line += foldTones(std::string_view(word.romanization[i], kRomanizationBytes));
    line += ' ';
  }
  return line;
}

std::string romanizedLineUtf8(std::string_view line) {
  std::string out;
  out.reserve(line.size() * 2);
  for (const char c : line) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x80) {
      out.push_back(c);
    } else if (byte >= kFirstTonedByte && byte <= kLastTonedByte) {
      out += kTonedUtf8[byte - kFirstTonedByte];
    } else {
      out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return out;
}

ui::PanelLines panelLines(const WordRecord& word) {
  ui::PanelLines lines;
  if (word.textLength() <= 1) return lines;
  lines.visible = true;
  lines.word = platform::utf16ToUtf8(terminated(word.text));
  lines.romanized = romanizedLineUtf8(romanizedLine(word));
  lines.note = platform::utf16ToUtf8(terminated(word.note));
  return lines;
}

}  // namespace sonvale::ui
