// Reading the engine's phrase lists (data/phrases/*.txt) for the recipe: the
// words file must agree with them, since a dictionary word hides a phrase
// entry with the same text from the engine.
//
// A list is a header (`template NAME`, a `syllable CB CA VI DI` line per
// syllable, `entries N`), optional `stand-in <U+XXXX> C` lines, and one entry
// a line: the key, its reading in parentheses where it differs, and for a list
// without `syllable` lines, the values of each syllable after a '|'. The
// engine's table generator checks the lists strictly; this reader only takes
// what the recipe needs and skips what it does not understand.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace sonvale::recipe {

using SyllableValues = std::array<int, 4>;  // cutBefore, cutAfter, volumeIndex, durationIndex

struct PhraseEntry {
  std::u32string key;
  std::u32string reading;  // the characters whose units are spoken; stand-ins replaced
  std::vector<SyllableValues> values;  // one per syllable
};

// Appends the entries of one list to `out`. Returns an empty string, or a
// message "line N: ..." for an entry whose reading or values do not match
// its key's length (then nothing is appended).
std::string parsePhraseList(std::string_view text, std::vector<PhraseEntry>& out);

}  // namespace sonvale::recipe
