// Jyutping syllables, and the phoneme codes in which the speech synthesizer
// that records the default voice's units is asked to say them.
#pragma once

#include <string>
#include <string_view>

namespace sonvale::recipe {

// One syllable: "gwong2" is initial "gw", final "ong", tone 2. A syllabic
// nasal ("m4", "ng5", "hm1", "hng6") has the nasal as its final.
struct Syllable {
  std::string initial;  // "" or b p m f d t n l g k h w z c s j gw kw ng
  std::string final;    // "aa", "oeng", "yut", ...; "m" or "ng" for a syllabic nasal
  int tone = 0;         // 1..6

  friend bool operator==(const Syllable&, const Syllable&) = default;
};

// Parses one lower-case syllable such as "hoeng1". False (and `out`
// unspecified) when the text is not an initial, a known final and a tone 1..6.
bool parseSyllable(std::string_view text, Syllable& out);

// The synthesizer's phoneme code for one syllable: the initial (ng written N),
// the stress mark ', the vowel, the tone digit, then a stop or nasal coda
// (m, n, p, t, k). Finals in -ng are single vowel phonemes there, so their
// tone comes last ("h'ong4"); a syllabic m is said as syllabic ng, the only
// syllabic nasal the synthesizer has ("m4" -> "'ng4").
std::string phonemesOf(const Syllable& syllable);

// Converts space-separated syllables ("cin1 hak1") into one phoneme string,
// syllables joined by '|' so that a coda never merges with the next initial
// ("c'i1n|h'a1k"). Returns an empty string on success, else a message naming
// the syllable that is not jyutping; empty input is an error too.
std::string jyutpingToPhonemes(std::string_view syllables, std::string& phonemes);

}  // namespace sonvale::recipe
