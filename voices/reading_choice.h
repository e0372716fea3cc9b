// Choosing what each voice unit says, and the word list that corrects the
// words whose syllables differ from those units.
//
// Every ideograph U+4E00..U+9FA5 gets one default reading, taken from the
// first of these that has one:
//  1. the overrides file (hand-made, for characters whose top readings tie);
//  2. the input method's character list, the reading of highest weight,
//     unless the character is also the simplified form of a traditional
//     character that is more frequent than itself (广 for 廣, 体 for 體):
//     then, as for a character the list does not have,
//  3. its most frequent traditional variant with a reading from 1 or 2;
//  4. the Unicode Han database's kCantonese, its first reading.
// A word whose syllables differ from its characters' default readings is
// given a reading that names, per syllable, the most frequent ideograph whose
// default reading is that syllable (its "carrier": 銀行 hong4 -> 銀航).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "phrase_lists.h"
#include "reading_data.h"

namespace sonvale::recipe {

enum class ReadingSource { None, CharacterList, TraditionalVariant, UnihanCantonese, Override };

struct CharReading {
  std::string reading;  // space-separated jyutping; empty when no source had one
  ReadingSource source = ReadingSource::None;
  bool tied = false;  // the character list's top weight was shared and no override settled it
};

// One reading of a character from the character list, with its weight.
struct WeightedReading {
  std::string reading;
  double weightPercent = 100;
};

// The reading of highest weight; on a tie the first listed, with `tied` set.
// An empty list gives an empty reading.
struct TopReading {
  std::string reading;
  bool tied = false;
};
TopReading topReading(std::span<const WeightedReading> readings);

struct ReadingInputs {
  std::map<char32_t, std::vector<WeightedReading>> characterList;  // file order per character
  std::map<char32_t, std::vector<char32_t>> traditionalVariants;   // kTraditionalVariant
  std::map<char32_t, std::vector<std::string>> cantonese;          // kCantonese
  std::map<char32_t, std::string> overrides;
  std::unordered_map<char32_t, std::uint64_t> frequency;  // occurrences of the character alone
};

// Builds the character list part of the inputs from the dictionary's entries
// (single-code-point texts only).
std::map<char32_t, std::vector<WeightedReading>> characterReadings(std::span<const DictionaryEntry> entries);

// Single-code-point texts of a frequency list.
std::unordered_map<char32_t, std::uint64_t> characterFrequencies(
    const std::unordered_map<std::u32string, std::uint64_t>& counts);

// The default reading of every ideograph; element i is U+4E00 + i.
std::vector<CharReading> chooseReadings(const ReadingInputs& inputs);

// For each single syllable that some voiced ideograph says by default, the
// most frequent such ideograph (the lowest code point on equal counts).
// `voiced[i]` says whether U+4E00 + i gets a unit; characters without one
// carry nothing.
std::map<std::string, char32_t> chooseCarriers(std::span<const CharReading> readings,
                                               const std::unordered_map<char32_t, std::uint64_t>& frequency,
                                               const std::vector<bool>& voiced);

// One word of the input method's word list.
struct SourceWord {
  std::u32string text;
  std::vector<std::string> syllables;
  std::uint64_t frequency = 0;  // of the whole word in the frequency list
};

// Words of the dictionary whose texts are 2..8 voiced ideographs with one
// syllable each; the frequency comes from `counts`.
std::vector<SourceWord> sourceWords(std::span<const DictionaryEntry> entries,
                                    const std::unordered_map<std::u32string, std::uint64_t>& counts);

// One line of the words file.
struct WordEntry {
  std::u32string text;
  std::u32string reading;  // the ideographs whose units are spoken
  std::vector<std::string> syllables;
  bool simplified = false;  // made from a traditional word through kSimplifiedVariant
  std::vector<SyllableValues> values;  // a phrase entry's shaping; empty: all 0
};

// Simplified spellings of a traditional text: every combination of each
// character's kSimplifiedVariant values (a character without one stays), in
// order, at most `maxForms`, the text itself left out.
std::vector<std::u32string> simplifiedForms(const std::u32string& text,
                                            const std::map<char32_t, std::vector<char32_t>>& simplifiedVariants,
                                            std::size_t maxForms);

// The words file's entries. Each word of `words` and each of its simplified
// forms is a candidate for its text; a text is decided by its candidates from
// the most trusted source (the word's own text before a simplified form, then
// the most frequent word, then file order), and among that word's
// pronunciations:
//  - a text that is also a key of the engine's phrase lists gets no entry
//    when the phrase entry's reading already says one of them (the engine's
//    phrase rule, with its shaping, is then right); otherwise it gets an entry
//    with the phrase entry's values, so that the shaping is kept while the
//    syllables are corrected (this includes entries whose reading is their
//    own text, which stop a substitution that is wrong in Cantonese);
//  - any other text gets no entry when one pronunciation matches the
//    defaults; otherwise an entry with all values 0, unless its reading would
//    equal its text.
// The pronunciation written is the one with the fewest syllables off the
// defaults, each such syllable spoken through its carrier (or its own
// character when no ideograph carries it). Entries that would need a
// character without a unit are left out. Sorted by text.
std::vector<WordEntry> buildWordList(std::span<const SourceWord> words, std::span<const CharReading> readings,
                                     const std::map<std::string, char32_t>& carriers,
                                     const std::map<char32_t, std::vector<char32_t>>& simplifiedVariants,
                                     std::span<const PhraseEntry> phrases, const std::vector<bool>& voiced);

// The words file's text: a comment header, then TEXT TAB READING TAB
// ROMANIZATION [TAB PARAMS] per entry (one jyutping item per character; PARAMS
// "cb,ca,vi,di" per syllable when the entry has values).
std::string formatWordsFile(std::span<const WordEntry> entries);

}  // namespace sonvale::recipe
