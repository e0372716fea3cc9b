#include "text/phrase_table.h"

#include <algorithm>

namespace sonvale {

namespace {

// The first n code units as one number whose order is the code unit order of
// the keys; units from n on count as 0, as they are in a shorter entry's key.
std::uint64_t packKey(const char16_t* units, std::size_t n) {
  std::uint64_t packed = 0;
  for (std::size_t k = 0; k < 4; ++k) packed = (packed << 16) | (k < n ? units[k] : 0u);
  return packed;
}

const PhraseEntry* findPhrase(const char16_t (&units)[4], std::size_t keyLength) {
  const std::span<const PhraseEntry> table = phraseEntries(keyLength);
  const std::uint64_t wanted = packKey(units, keyLength);
  const auto it = std::lower_bound(table.begin(), table.end(), wanted, [](const PhraseEntry& entry, std::uint64_t key) {
    return packKey(entry.key, 4) < key;
  });
  if (it == table.end() || packKey(it->key, 4) != wanted) return nullptr;
  return &*it;
}

}  // namespace

std::span<const PhraseEntry> phraseEntries(std::size_t keyLength) {
  switch (keyLength) {
    case 2:
      return {phrase_data::kTwoCharacter, phrase_data::kTwoCharacterCount};
    case 3:
      return {phrase_data::kThreeCharacter, phrase_data::kThreeCharacterCount};
    case 4:
      return {phrase_data::kFourCharacter, phrase_data::kFourCharacterCount};
    default:
      return {};
  }
}

std::span<const PhraseTemplate> phraseTemplates() {
  return {phrase_data::kTemplates, phrase_data::kTemplateCount};
}

int matchPhrase(const char16_t (&units)[4], WordRecord& word) {
  if (units[1] == 0) return 1;
  std::size_t n = 0;
  const PhraseEntry* entry = nullptr;
  if (units[2] != 0 && units[3] != 0) {
    entry = findPhrase(units, 4);
    n = 4;
  }
  if (entry == nullptr && units[2] != 0) {
    entry = findPhrase(units, 3);
    n = 3;
  }
  if (entry == nullptr) {
    entry = findPhrase(units, 2);
    n = 2;
  }
  // The generator checks every template index; the guard keeps a damaged
  // table from reading past the templates all the same.
  if (entry == nullptr || entry->templateIndex >= phrase_data::kTemplateCount) return 1;

  const PhraseTemplate& shape = phrase_data::kTemplates[entry->templateIndex];
  for (std::size_t k = 0; k < n; ++k) {
    word.text[k] = entry->key[k];
    word.reading[k] = entry->reading[k];
    word.cutBefore[k] = shape.syllables[k].cutBefore;
    word.cutAfter[k] = shape.syllables[k].cutAfter;
    word.volumeIndex[k] = shape.syllables[k].volumeIndex;
    word.durationIndex[k] = shape.syllables[k].durationIndex;
  }
  word.text[n] = 0;
  word.reading[n] = 0;
  return static_cast<int>(n);
}

}  // namespace sonvale
