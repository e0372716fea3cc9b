// The record of one word: its written form, the ideographs whose units are
// spoken, and four per-syllable parameter arrays. The dictionary file stores
// the same fields as 428-byte little-endian records; this is the in-memory
// form that the speaking loop fills and the word display panel reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sonvale {

inline constexpr std::size_t kWordRecordBytes = 428;
inline constexpr std::size_t kMaxWordSyllables = 8;

// The four values that select rows of the synthesis tables for one syllable;
// each -10..+10 (durationIndex -9..+10).
struct SyllableParams {
  std::int32_t cutBefore = 0;
  std::int32_t cutAfter = 0;
  std::int32_t volumeIndex = 0;
  std::int32_t durationIndex = 0;

  friend bool operator==(const SyllableParams&, const SyllableParams&) = default;
};

struct WordRecord {
  char16_t text[9];            // written form, NUL-terminated, at most 8 code units
  char romanization[8][8];     // per code unit of text: ASCII with tone digit, NUL-terminated
  char16_t reading[9];         // per syllable: the ideograph whose unit is spoken, NUL-terminated
  char16_t note[50];           // third line of the word display panel, NUL-terminated
  std::int32_t cutBefore[8];
  std::int32_t cutAfter[8];
  std::int32_t volumeIndex[8];
  std::int32_t durationIndex[8];
  std::int32_t disabled;       // dictionary only: not 0 means the record never matches

  // Sets every field to zero.
  void clear();

  // Code units of `text` before its NUL (at most 8; 9 only for a record
  // without a terminator, which is then treated as full).
  std::size_t textLength() const;

  // Code units of `reading` before its NUL (at most 9 likewise).
  std::size_t readingLength() const;

  // The parameters of syllable k (0..7).
  SyllableParams syllable(std::size_t k) const;
};

}  // namespace sonvale
