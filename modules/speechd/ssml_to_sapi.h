// speech-dispatcher hands its output modules SSML; the engine reads the speech
// API's markup. This turns the one into the other, element by element:
//   <mark name="x"/>                 <bookmark mark="i"/>, i counting the marks from 0
//   <break time="1.5s"/>             <silence msec="1500"/>; a strength without a time
//                                    takes the length in kBreakStrengths
//   text, entities, CDATA            text, with '&', '<' and '>' written as entities
//   <sub alias="a">x</sub>           a (x is not read)
//   <say-as interpret-as="characters">x</say-as>   x spelled
//   <p>, <s>                         a space at each edge, so words never join across them
//   <desc>, <metadata>, <lexicon>    nothing, content included
//   any other tag, comments, <?...?> nothing; the content of an element is read
// Marks are numbered rather than copied: their names are the server's to
// choose, and numbering brings each back unchanged through SapiText::marks
// whatever characters it holds.
//
// The input must be well-formed: a '<' that opens no tag, an unknown entity,
// a closing tag that does not close the innermost open element, an element
// left open, a <mark> without a name, a <break> time or strength that is not
// one, or bytes that are not UTF-8 make it fail.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace sonvale::speechd {

struct SapiText {
  std::string markup;              // the speech API's markup, UTF-8
  std::vector<std::string> marks;  // the names of the marks, bookmark "i" being marks[i]
};

// Longest break, in milliseconds; longer ones are clamped to it (the engine's
// own limit for a silence).
inline constexpr unsigned kMaxBreakMs = 65535;

struct BreakStrength {
  std::string_view name;
  unsigned ms;
};
// The length of a <break strength="..."/> without a time; <break/> alone is "medium".
inline constexpr std::array<BreakStrength, 6> kBreakStrengths = {{{"none", 0},
                                                                   {"x-weak", 100},
                                                                   {"weak", 200},
                                                                   {"medium", 400},
                                                                   {"strong", 700},
                                                                   {"x-strong", 1000}}};

// Converts `ssml` (UTF-8) into `out`. With `spell` every character of the
// text is spoken on its own, as if each were a word. Returns "" or the first
// fault as "byte N: ..." (N counting from 0); on a fault `out` holds what was
// converted before it and must not be spoken.
std::string ssmlToSapi(std::string_view ssml, bool spell, SapiText& out);

}  // namespace sonvale::speechd
