// Building a voice from recordings and a word list, and checking a built voice
// the way the engine will load it.
//
// A build reads a folder of unit recordings, one file per voice unit named
// `<unitcode>.<ext>` (any format, rate and channel count libsndfile reads),
// and a words file; it writes the three voice files into an output folder:
// kVoiceDefFileName (unit index), kVoiceDataFileName (unit audio) and
// kVoiceWordFileName (word dictionary). Each unit is mixed to mono,
// resampled to 11025 Hz, coded as its own MPEG-2.5 Layer III stream and
// decoded again to measure its length and energy.
//
// Words file: UTF-8, one word a line; blank lines and lines whose first
// non-blank character is '#' are skipped. Fields are separated by TAB:
//   TEXT [TAB READING [TAB ROMANIZATION [TAB PARAMS [TAB NOTE]]]]
// TEXT      2..8 UTF-16 code units, the first an ideograph U+4E00..U+9FA5.
// READING   1..8 characters U+4A18..U+9FA5 whose units (c - 0x4A18) are
//           spoken, one a syllable; empty or absent means TEXT. Characters
//           below U+4E00 name the units below 1000 that no text reaches.
// ROMANIZATION  empty, or one space-separated item per code unit of TEXT,
//           each 1..7 printable ASCII characters (e.g. "hoeng1 gong2").
// PARAMS    empty (all 0), or one space-separated `cb,ca,vi,di` per syllable
//           of READING: cutBefore, cutAfter, volumeIndex in -10..10 and
//           durationIndex in -9..10.
// NOTE      at most 49 UTF-16 code units.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/word_record.h"
#include "synth/voice_format.h"

namespace sonvale::voice {

// Every unit is coded at this constant bit rate: 2.72 s of audio (the most a
// unit may hold) then takes about 11.7 KB, well inside the 16384-byte limit.
inline constexpr int kUnitBitrateKbps = 32;

// One parsed line of a words file.
struct WordLine {
  std::size_t lineNumber = 0;  // 1-based
  WordRecord record{};
};

// Parses a words file's bytes. Returns an empty string and fills `words` in
// file order, or returns one message naming the first bad line (then `words`
// is unspecified).
std::string parseWordsFile(std::string_view fileBytes, std::vector<WordLine>& words);

// The bytes of a word dictionary holding `words`: record 0 is a disabled
// placeholder (an index entry (0, 0) means "no words"), then each indexed
// character's words from the longest text to the shortest, equal lengths in
// code-unit order. Words shorter than 2 code units or whose first code unit
// is outside U+4E00..U+9FA5 are left out (the index cannot reach them).
std::vector<std::uint8_t> buildDictionary(std::span<const WordRecord> words);

// One unit after coding: its MPEG bytes and what decoding them gives.
struct CodedUnit {
  std::vector<std::uint8_t> coded;
  std::uint32_t decodedBytes = 0;  // 16-bit samples, so always even
  std::uint64_t energy = 0;        // sum of squared decoded samples
};

// Codes 16-bit mono samples at 11025 Hz as one self-contained stream and
// measures it by decoding. Returns an empty string on success, else what is
// wrong (empty input, more than 60000 decoded bytes, more than 16384 coded
// bytes, a stream that does not decode).
std::string codeUnit(std::span<const std::int16_t> samples, CodedUnit& out);

// Reads an audio file and turns it into 16-bit mono samples at 11025 Hz:
// channels averaged, rate converted without dither. Refuses (returning the
// reason) files libsndfile cannot read and files whose converted length would
// exceed `maxSamples`, before decoding them.
std::string loadRecording(const std::string& path, std::size_t maxSamples, std::vector<std::int16_t>& samples);
// The same as floats in -1..1, before rounding to 16 bits; `removeMean`
// subtracts the mean (a DC offset) before the rate conversion, where the step
// from nothing to the offset at the file's ends would otherwise ring.
std::string loadRecording(const std::string& path, std::size_t maxSamples, std::vector<float>& samples,
                          bool removeMean);

// Units done and units in total; called once with (0, total) and after each unit.
using BuildProgress = std::function<void(std::uint32_t done, std::uint32_t total)>;

struct BuildSummary {
  std::uint32_t units = 0;           // units with audio
  std::uint32_t words = 0;           // dictionary words
  std::uint64_t voiceDataBytes = 0;  // size of the unit audio file
  std::uint64_t voiceWordBytes = 0;  // size of the dictionary file
  std::uint64_t decodedBytes = 0;    // all units decoded, 16-bit samples
};

// Builds the voice. Returns an empty string on success, else one line saying
// what failed (naming the unit and file, or the words file's line); a failed
// build writes nothing into `outDir`. `outDir` is created when missing;
// existing voice files there are replaced, each by one rename.
std::string buildVoice(const std::string& unitsDir, const std::string& wordsFile, const std::string& outDir,
                       const BuildProgress& progress, BuildSummary& summary);

// Gives the audio of the index-th unit: 16-bit mono samples at 11025 Hz.
// Returns an empty string, or what is wrong; `source` may name where the audio
// came from (a file), for messages.
using UnitAudioLoader =
    std::function<std::string(std::size_t index, std::vector<std::int16_t>& samples, std::string& source)>;

// Builds a voice whose units, `units` (distinct codes), get their audio from
// `load`, and whose dictionary holds `words`, whose readings must all name
// units with audio. Units with the same samples are coded once and share their
// bytes. Writes as buildVoice does.
std::string buildVoiceFromAudio(std::span<const std::uint32_t> units, const UnitAudioLoader& load,
                                std::span<const WordLine> words, const std::string& outDir,
                                const BuildProgress& progress, BuildSummary& summary);

// What a voice check found: problems (each names the file and the unit or
// record, and what was expected and found) and a summary of what is usable.
struct VoiceCheck {
  std::vector<std::string> problems;
  std::uint32_t unitsPresent = 0;  // entries with length > 0
  std::uint64_t decodedBytes = 0;  // over the units that decode
  std::uint32_t words = 0;         // enabled dictionary records
  double decodedSeconds() const { return static_cast<double>(decodedBytes) / 2.0 / 11025.0; }
};

// Checks three voice file images as the engine would load and speak them.
VoiceCheck checkVoiceImages(std::span<const std::uint8_t> voiceDef, std::span<const std::uint8_t> voiceData,
                            std::span<const std::uint8_t> voiceWord);

// Maps the three voice files of `folder` (by the names above) read-only and
// checks them; a file that cannot be mapped is a problem.
VoiceCheck checkVoice(const std::string& folder);

}  // namespace sonvale::voice
