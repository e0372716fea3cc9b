// The built-in readings and prosody templates of fixed two- to four-character
// phrases.
#pragma once

#include "engine/word_record.h"

namespace sonvale {

// Given the four code units at the current position (0 past the item's end),
// returns 1 when no phrase applies, else the number of syllables (2..4)
// having filled text, reading and the four per-syllable arrays of `word`.
// Until the phrase table is built no phrase applies.
int matchPhrase(const char16_t (&units)[4], WordRecord& word);

}  // namespace sonvale
