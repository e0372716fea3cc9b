#include "engine/word_record.h"

#include <cstring>

namespace sonvale {

namespace {

template <std::size_t N>
std::size_t boundedLength(const char16_t (&units)[N]) {
  std::size_t n = 0;
  while (n < N && units[n] != 0) ++n;
  return n;
}

}  // namespace

void WordRecord::clear() { std::memset(static_cast<void*>(this), 0, sizeof *this); }

std::size_t WordRecord::textLength() const { return boundedLength(text); }

std::size_t WordRecord::readingLength() const { return boundedLength(reading); }

SyllableParams WordRecord::syllable(std::size_t k) const {
  if (k >= kMaxWordSyllables) return {};
  return {cutBefore[k], cutAfter[k], volumeIndex[k], durationIndex[k]};
}

}  // namespace sonvale
