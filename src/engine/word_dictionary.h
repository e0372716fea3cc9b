// The voice's word dictionary: groups ideographs into words with their own
// readings and per-syllable values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/word_record.h"

namespace sonvale {

class WordDictionary {
 public:
  // Uses the dictionary file's bytes; an empty span means no dictionary.
  void attach(std::span<const std::uint8_t> file) { file_ = file; }

  // `probe` holds up to 8 code units starting at the current ideograph
  // (`length` of them). Returns the syllables of the word found, having copied
  // its record into `word`, or 1 when no word starts here (then `word` is left
  // as it was). Without a dictionary no word is ever found.
  int lookUpWord(const char16_t* probe, std::size_t length, WordRecord& word) const;

 private:
  std::span<const std::uint8_t> file_;
};

}  // namespace sonvale
