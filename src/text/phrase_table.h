// The built-in readings and prosody templates of fixed two- to four-character
// phrases. The table itself is written at build time by gen_phrase_table from
// the phrase lists in data/phrases; each key length has its own sub-table,
// sorted by code units and searched by binary search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/word_record.h"

namespace sonvale {

// Given the four code units at the current position (0 past the item's end),
// returns 1 when no phrase applies, else the number of syllables (2..4)
// having filled text, reading and the four per-syllable arrays of `word` for
// those syllables; tries four units first (only when the third and fourth are
// not 0), then three (only when the third is not 0), then two. On no match
// `word` is unchanged. Every reading it writes is an ideograph U+4E00..U+9FA5.
int matchPhrase(const char16_t (&units)[4], WordRecord& word);

// One entry of the phrase table. Code units past the key's length are 0 in
// both `key` and `reading`.
struct PhraseEntry {
  char16_t key[4];
  char16_t reading[4];         // the ideographs whose units are spoken
  std::uint8_t templateIndex;  // into phraseTemplates()
};

// The SyllableParams of each syllable of a phrase; those past its length are 0.
struct PhraseTemplate {
  SyllableParams syllables[4];
};

// The sub-table of keys of `keyLength` code units (2, 3 or 4), in ascending
// code unit order; empty for any other length.
std::span<const PhraseEntry> phraseEntries(std::size_t keyLength);

// Every template an entry can name.
std::span<const PhraseTemplate> phraseTemplates();

// Defined in the source that gen_phrase_table writes; read them through
// phraseEntries() and phraseTemplates().
namespace phrase_data {
extern const PhraseTemplate kTemplates[];
extern const std::size_t kTemplateCount;
extern const PhraseEntry kTwoCharacter[];
extern const std::size_t kTwoCharacterCount;
extern const PhraseEntry kThreeCharacter[];
extern const std::size_t kThreeCharacterCount;
extern const PhraseEntry kFourCharacter[];
extern const std::size_t kFourCharacterCount;
}  // namespace phrase_data

}  // namespace sonvale
