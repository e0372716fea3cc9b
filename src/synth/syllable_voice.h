// Building a voice from one recording per Cantonese syllable.
//
// A voice says every syllable with one unit, so a person's voice needs only
// one clip of each syllable, named by its jyutping (`gaa1.wav`, `ngo5.flac`:
// any format, rate and channel count libsndfile reads). A unit list tells
// which syllables each unit says (the default voice's `units.txt`: letters,
// digits and symbols say the syllables of their Cantonese names, one after
// another), so the result has the same units as the voice the list came from
// and that voice's words file works with it unchanged.
//
// Every clip is cleaned the same way: its mean (DC) removed, leading and
// trailing silence cut by an energy gate, 5 ms fades at both ends, and its
// loudness (EBU R128, K-weighted, over the whole clip) brought to one level,
// after rate conversion to 11025 Hz.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "synth/voice_builder.h"

namespace sonvale::voice {

// The loudness every unit is brought to, in LUFS; a unit whose peak would
// pass kSyllablePeakLimit is scaled down to it instead (the engine amplifies
// a stressed syllable by up to 1.64).
inline constexpr double kSyllableLoudnessLufs = -23.0;
inline constexpr float kSyllablePeakLimit = 19800.0f / 32768.0f;

// One line of a unit list: "UNIT<TAB>JYUTPING[<TAB>SHARE]", the jyutping one
// or more syllables separated by spaces; SHARE is the unit's share of running
// text in percent (absent: 0).
struct UnitReading {
  std::uint32_t unit = 0;
  std::vector<std::string> syllables;
  double sharePercent = 0;
};

// Parses a unit list ('#' comments and blank lines skipped). Returns an empty
// string, or the first bad line and what is wrong with it.
std::string parseUnitList(std::string_view text, std::vector<UnitReading>& units);

// One line of a syllable list (the default voice's `syllables.txt`, the most
// used first): "SYLLABLE<TAB>SHARE[<TAB>EXAMPLE]...", an example being a text
// and its jyutping ("我們 ngo5 mun4").
struct SyllableEntry {
  std::string syllable;
  double sharePercent = 0;
  std::vector<std::string> examples;
};

// Parses a syllable list; returns an empty string or the first bad line.
std::string parseSyllableList(std::string_view text, std::vector<SyllableEntry>& list);

// True for a jyutping syllable: lower-case letters and a tone digit 1..6.
bool isJyutpingSyllable(std::string_view s);

// A syllable and how much of running text it says: the shares of the units
// that say it alone, and how many units need it (alone or in a name).
struct SyllableUse {
  std::string syllable;
  double sharePercent = 0;
  std::size_t units = 0;
};

// Every syllable of `units`, the most used first (share, then unit count,
// then the syllable).
std::vector<SyllableUse> syllablesByUse(std::span<const UnitReading> units);

// Loudness of mono samples at 11025 Hz in LUFS (EBU R128 K-weighting, one
// window over the whole clip); -HUGE_VAL for silence or an empty clip.
double clipLoudness(std::span<const float> samples);

// Cleans one clip at 11025 Hz as described above. Returns an empty string and
// the cleaned clip, or why the clip cannot be used (silent, too quiet, no
// sound above the gate). `peakLimited` tells that the peak limit, not the
// loudness, set the level.
std::string cleanSyllableClip(std::vector<float> clip, std::vector<float>& cleaned, bool& peakLimited);

struct SyllableBuildOptions {
  std::string syllablesDir;  // the recordings, <syllable>.<ext>
  std::string unitList;      // units.txt
  std::string wordsFile;     // as for buildVoice
  std::string outDir;
  std::string fillFrom;  // a voice folder (voice.def, voice.dat, units.txt) for missing syllables, or empty
};

struct MissingSyllable {
  SyllableUse use;
  bool filled = false;  // taken from the fill voice
};

struct SyllableBuildReport {
  std::size_t syllablesNeeded = 0;       // distinct syllables of the unit list
  std::size_t syllablesRecorded = 0;     // of those, found in the folder
  std::vector<MissingSyllable> missing;  // the most used first
  double missingSharePercent = 0;        // share of running text of the missing syllables not filled
  std::vector<std::string> ignored;      // files whose names are no syllable of the list
  std::size_t unitsFilledWhole = 0;      // units the fill voice gave whole (a syllable it says only there)
  std::size_t silentUnits = 0;           // units left without audio
  std::size_t droppedWords = 0;          // words that would need a silent unit
  std::size_t peakLimitedUnits = 0;
  BuildSummary summary;
};

// Reading clips: done and total; then the units as buildVoice reports them.
std::string buildVoiceFromSyllables(const SyllableBuildOptions& options, const BuildProgress& clipProgress,
                                    const BuildProgress& unitProgress, SyllableBuildReport& report);

}  // namespace sonvale::voice
