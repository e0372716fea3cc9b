// SSML, as speech-dispatcher and other Linux programs hand it to a speech
// engine, turned into the speech API's markup that the engine reads, element
// by element:
//   <mark name="x"/>                 <bookmark mark="i"/>, i counting the marks from 0
//   <break time="1.5s"/>             <silence msec="1500"/>; a strength without a time
//                                    takes the length in kBreakStrengths
//   text, entities, CDATA            text, with '&', '<' and '>' written as entities
//   <sub alias="a">x</sub>           a (x is not read)
//   <say-as interpret-as="characters">x</say-as>   x spelled (also spell-out,
//                                    digits, telephone)
//   <say-as interpret-as="cardinal">12</say-as>    12 read as a number (also number)
//   <prosody rate="fast" volume="-6dB">  <rate absspeed="3"><volume level="50">: the
//                                    running rate and volume, worked out from the
//                                    enclosing ones (kProsodyRates, kProsodyVolumes,
//                                    "150%", "+20%", "0.5", "+6dB", "80", "+10")
//   <emphasis>                       <emph> (nothing for level="none")
//   <p>, <s>                         a space at each edge, so words never join across them
//   <desc>, <metadata>, <lexicon>    nothing, content included
//   any other tag (<lang>, <voice>, <audio>...), comments, <?...?>
//                                    nothing; the content of an element is read
// Marks are numbered rather than copied: their names are the server's to
// choose, and numbering brings each back unchanged through SapiText::marks
// whatever characters it holds.
//
// The input must be well-formed: a '<' that opens no tag, an unknown entity,
// a closing tag that does not close the innermost open element, an element
// left open, a <mark> without a name, a <break> time or strength or a
// <prosody> rate or volume that is not one, or bytes that are not UTF-8 make
// it fail.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace sonvale::host {

// Where a run of the markup came from: from byte `markupByte` of the markup
// on, the bytes stand for the SSML from byte `ssmlByte` on.
struct SourceAnchor {
  std::size_t markupByte = 0;
  std::size_t ssmlByte = 0;
};

struct SapiText {
  std::string markup;                 // the speech API's markup, UTF-8
  std::vector<std::string> marks;     // the names of the marks, bookmark "i" being marks[i]
  std::vector<SourceAnchor> anchors;  // in increasing order of both bytes

  // The SSML byte that markup byte `markupByte` stands for: a byte of text
  // maps to its own byte, a tag the converter wrote to the SSML element's '<'.
  std::size_t ssmlByteOf(std::size_t markupByte) const;
};

// Longest break, in milliseconds; longer ones are clamped to it (the engine's
// own limit for a silence).
inline constexpr unsigned kMaxBreakMs = 65535;

struct BreakStrength {
  std::string_view name;
  unsigned ms;
};
// The length of a <break strength="..."/> without a time; <break/> alone is "medium".
inline constexpr std::array<BreakStrength, 6> kBreakStrengths = {
    {{"none", 0}, {"x-weak", 100}, {"weak", 200}, {"medium", 400}, {"strong", 700}, {"x-strong", 1000}}};

struct ProsodyRate {
  std::string_view name;
  int rate;  // the speech API's rate, -10..10: each step a factor of 3^(1/10)
};
inline constexpr std::array<ProsodyRate, 6> kProsodyRates = {
    {{"x-slow", -6}, {"slow", -3}, {"medium", 0}, {"default", 0}, {"fast", 3}, {"x-fast", 6}}};

struct ProsodyVolume {
  std::string_view name;
  unsigned volume;  // 0..100
};
inline constexpr std::array<ProsodyVolume, 7> kProsodyVolumes = {
    {{"silent", 0}, {"x-soft", 20}, {"soft", 40}, {"medium", 60}, {"loud", 80}, {"x-loud", 100}, {"default", 100}}};

// True when `text` is SSML rather than the speech API's markup or plain
// text: it begins, after spaces, an XML declaration and comments, with a
// <speak> element.
bool looksLikeSsml(std::string_view text);

// Converts `ssml` (UTF-8) into `out`. With `spell` every character of the
// text is spoken on its own, as if each were a word. Returns "" or the first
// fault as "byte N: ..." (N counting from 0); on a fault `out` holds what was
// converted before it and must not be spoken.
std::string ssmlToSapi(std::string_view ssml, bool spell, SapiText& out);

}  // namespace sonvale::host
