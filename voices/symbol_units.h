// What the default voice says for the units below 1000: letters, digits,
// symbols and CJK punctuation. Letters are their English names as a Hong
// Kong speaker says them, digits the Cantonese numerals (through the numeral
// ideographs' own units, so the two share their audio), symbols and
// punctuation their Cantonese names. Units not listed stay empty: the engine
// speaks nothing for them (control characters, spaces, quote marks and
// brackets that would otherwise be read at every occurrence).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace sonvale::recipe {

struct SymbolUnit {
  std::uint32_t unit = 0;        // the unit code: Latin-1 code, or 501..563 for U+3001..U+303F
  std::string_view jyutping;     // syllables to say; empty when `sameAs` names an ideograph
  char32_t sameAs = 0;           // speak this ideograph's default reading instead
  std::string_view description;  // what the unit stands for, for the manifest
};

// The table, ordered by unit code, each code once.
std::span<const SymbolUnit> symbolUnits();

}  // namespace sonvale::recipe
