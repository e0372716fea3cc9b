// Readers for the open data the default voice is made from: the Cantonese
// input method's dictionaries (character readings with weights, words with
// per-syllable readings, a frequency list), the Unicode Han database's
// readings and variants, and the voice's own list of hand-made readings.
// Each reader works on the text of a file, so tests need no files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sonvale::recipe {

inline constexpr char32_t kFirstIdeograph = 0x4E00;  // the ideographs that have voice units
inline constexpr char32_t kLastIdeograph = 0x9FA5;
inline constexpr std::size_t kIdeographCount = kLastIdeograph - kFirstIdeograph + 1;  // 20902

inline bool isVoicedIdeograph(char32_t c) { return c >= kFirstIdeograph && c <= kLastIdeograph; }

// UTF-8 to code points; each malformed byte becomes U+FFFD.
std::u32string decodeUtf8(std::string_view text);
std::string encodeUtf8(std::u32string_view text);

// One line of a dictionary of the input method: "長\tcoeng4\t5%".
struct DictionaryEntry {
  std::u32string text;
  std::string reading;         // space-separated jyutping syllables, as in the file
  double weightPercent = 100;  // a line without a weight counts as 100%
};

// Reads a dictionary file: the YAML header up to the line "..." is skipped,
// then one entry a line (TEXT TAB READING [TAB WEIGHT]); comment lines ('#'),
// blank lines and lines with fewer than two fields are skipped. A weight is a
// percentage ("5%", "0.5%"); a plain number or anything else counts as 100%.
// Entries keep file order. A file without the "..." line is read from its start.
std::vector<DictionaryEntry> parseDictionary(std::string_view text);

// Reads the frequency list: one "TEXT TAB COUNT" a line; other lines skipped.
// A text listed twice keeps its largest count.
std::unordered_map<std::u32string, std::uint64_t> parseFrequencies(std::string_view text);

// Reads one field of a Unihan file ("U+9577\tkCantonese\tcoeng4 zoeng2"):
// for each code point, the values of that field split at blanks, in file order.
std::map<char32_t, std::vector<std::string>> parseUnihanField(std::string_view text, std::string_view field);

// Reads a variant field (kTraditionalVariant, kSimplifiedVariant) into code
// points; "U+9577<kMatthews" counts as U+9577, values that are not U+XXXX are skipped.
std::map<char32_t, std::vector<char32_t>> parseUnihanVariants(std::string_view text, std::string_view field);

// One hand-made reading of the voice's overrides file.
struct Override {
  char32_t character = 0;
  std::string reading;  // space-separated jyutping
  std::string reason;   // the comment after '#'
  std::size_t line = 0;
};

// Reads the overrides file. One entry a line: an ideograph U+4E00..U+9FA5,
// its jyutping syllables, then '#' and why (required). Blank lines and lines
// whose first non-blank character is '#' are comments. Returns an empty string
// and fills `out` in file order, or returns a message "line N: ..." about the
// first bad line (a second entry for one character is one).
std::string parseOverrides(std::string_view text, std::vector<Override>& out);

// One word of the voice's own word list: how it is said, and why.
struct HandWord {
  std::u32string text;
  std::vector<std::string> syllables;  // one per character
  std::string reason;
  std::size_t line = 0;
};

// Reads the voice's own word list, in the overrides' form: a text of 2..8
// ideographs U+4E00..U+9FA5, one jyutping syllable per character, then '#'
// and why (required). Returns an empty string and fills `out` in file order,
// or a message "line N: ..." about the first bad line (a text listed twice is one).
std::string parseHandWords(std::string_view text, std::vector<HandWord>& out);

}  // namespace sonvale::recipe
