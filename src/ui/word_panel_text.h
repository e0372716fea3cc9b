// The word display panel's three lines, made from the current WordRecord:
// the written form, the romanized form and the note.
//
// The romanized form is built as 8-bit text for the phonetic font: a tone
// digit 1..4 directly after one of the letters a e i o u v m n is folded with
// that letter into one byte, 0x81 + 4 * (the letter's place in "aeiouvmn") +
// (digit - 1), so 0x81..0xA0. Where that font is missing, those bytes are
// shown as the same letters with tone marks: tone 1 a macron, 2 an acute,
// 3 a caron, 4 a grave accent (v is u with a diaeresis).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/word_record.h"
#include "ui/word_panel.h"

namespace sonvale::ui {

inline constexpr std::uint8_t kFirstTonedByte = 0x81;
inline constexpr std::uint8_t kLastTonedByte = 0xA0;

// The folded byte of `letter` with tone digit `digit`, or 0 when the letter
// is not one of a e i o u v m n or the digit is not 1..4.
std::uint8_t tonedLetterByte(char letter, char digit);

// One syllable's romanization (bytes up to the first NUL, at most 8) with
// every letter-and-tone pair folded; every other byte is kept.
std::string foldTones(std::string_view syllable);

// The panel's second line as 8-bit text: for each code unit of the word's
// text (at most 8), its romanization folded, then a blank.
std::string romanizedLine(const WordRecord& word);

// The 8-bit line in UTF-8 for fonts without the toned glyphs: bytes
// 0x81..0xA0 become letters with tone marks, other bytes from 0x80 up are
// read as Latin-1, and ASCII stays as it is.
std::string romanizedLineUtf8(std::string_view line);

// What the panel draws for `word`: nothing unless its text is longer than one
// code unit; then the text, the romanized line in UTF-8 and the note.
ui::PanelLines panelLines(const WordRecord& word);

}  // namespace sonvale::ui
