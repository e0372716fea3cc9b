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

enum class ReadingSource { None, CharacterList, TraditionalVariant, UnihanCantonese, Override, ExtraSyllable };

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
  std::unordered_map<char32_t, std::uint64_t> inWords;    // words of the word list that hold the character
};

// Builds the character list part of the inputs from the dictionary's entries
// (single-code-point texts only).
std::map<char32_t, std::vector<WeightedReading>> characterReadings(std::span<const DictionaryEntry> entries);

// Single-code-point texts of a frequency list.
std::unordered_map<char32_t, std::uint64_t> characterFrequencies(
    const std::unordered_map<std::u32string, std::uint64_t>& counts);

// The default reading of every ideograph; element i is U+4E00 + i.
std::vector<CharReading> chooseReadings(const ReadingInputs& inputs);

// How often a character is met: its own count or that of its most frequent
// traditional variant, whichever is larger (the frequency list counts
// traditional text, so a simplified character is met as often as its variant).
std::uint64_t usageCount(const ReadingInputs& inputs, char32_t c);

// The engine speaks a reading character c with unit c - 0x4A18, so the
// characters U+4A18..U+4DFF name the units below 1000.
inline constexpr char32_t kUnitBias = 0x4A18;

// The unit codes below 1000 that no character of a text reaches (the letters,
// digits and symbols take 0..255, the CJK punctuation 501..563), ascending.
std::vector<std::uint32_t> freeUnitCodes();

// Units for the syllables that no ideograph says by default.
struct ExtraSyllables {
  std::vector<std::pair<std::uint32_t, std::string>> units;  // a free unit code and its syllable
  std::vector<char32_t> retold;        // rare ideographs whose unit now says another of their own readings
  std::vector<std::string> unsayable;  // syllables that neither could take
};

// Gives every syllable of `needed` (syllable -> how much it is used) that no
// ideograph's default reading says a unit: the most used get the free unit
// codes in turn; each further one goes to the least used ideograph
// (usageCount plus the words that hold it or a traditional variant, then
// code point), not a simplified character, that has it among its readings in
// the character list, whose own default is said by another ideograph too, and
// that is not in `keep`. Such an ideograph's reading in `readings` becomes
// that syllable (source ExtraSyllable).
ExtraSyllables chooseExtraSyllables(const std::map<std::string, std::uint64_t>& needed, const ReadingInputs& inputs,
                                    std::vector<CharReading>& readings, std::u32string_view keep);

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
  bool handMade = false;        // from the voice's own word list: always an entry, trusted first
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
// a hand-made word, then the most frequent word, then file order), and among
// that word's pronunciations:
//  - a text that is also a key of the engine's phrase lists gets no entry
//    when the phrase entry's reading already says one of them (the engine's
//    phrase rule, with its shaping, is then right); otherwise it gets an entry
//    with the phrase entry's values, so that the shaping is kept while the
//    syllables are corrected (this includes entries whose reading is their
//    own text, which stop a substitution that is wrong in Cantonese);
//  - any other text gets no entry when one pronunciation matches the
//    defaults; otherwise an entry with all values 0, unless its reading would
//    equal its text;
//  - a hand-made word (or its simplified form) always gets an entry, said
//    only as the hand-made list says (the word list's pronunciations of the
//    same text are set aside); one that reads as the defaults still makes
//    the engine's cut fall around it.
// The pronunciation written is the one with the fewest syllables off the
// defaults, each such syllable spoken through its carrier (or its own
// character when nothing carries it). A carrier below U+4E00 names an extra
// unit, which every voice has. Entries that would need an ideograph without a
// unit are left out. Sorted by text.
//
// The engine's phrase rules see only their keys, which are simplified, so
// each key's traditional spellings (kTraditionalVariant combinations, at most
// 8; of several, only those that are words of `words` when some are) are
// treated as phrase texts too, with the key's values: a word decides
// one as above, but always gets an entry. A phrase text no word decides gets
// the key's Cantonese syllables: per character, the phrase entry's spoken
// character's default where that is one of the key character's own readings
// (character list, also of its traditional variants), else the key
// character's own default (a swap right only in Mandarin: 一天 is not 义天).
// A key whose entry already says those gets no entry; any other phrase text does.
struct PhraseInputs {
  std::span<const PhraseEntry> entries;
  const std::map<char32_t, std::vector<char32_t>>* traditionalVariants = nullptr;
  const std::map<char32_t, std::vector<WeightedReading>>* characterList = nullptr;
};
std::vector<WordEntry> buildWordList(std::span<const SourceWord> words, std::span<const CharReading> readings,
                                     const std::map<std::string, char32_t>& carriers,
                                     const std::map<char32_t, std::vector<char32_t>>& simplifiedVariants,
                                     const PhraseInputs& phrases, const std::vector<bool>& voiced);

// The words file's text: a comment header, then TEXT TAB READING TAB
// ROMANIZATION [TAB PARAMS] per entry (one jyutping item per character; PARAMS
// "cb,ca,vi,di" per syllable when the entry has values).
std::string formatWordsFile(std::span<const WordEntry> entries);

}  // namespace sonvale::recipe
