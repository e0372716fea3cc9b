// The small voice the fuzz targets speak with: four short units coded from
// synthetic signals (short, so that a run speaks many syllables), shared by every entry of the unit index (some entries
// left empty, some with an energy of 0 or the largest there is), and a
// dictionary of words whose readings are shorter or longer than their texts
// and whose values run past the tables' ends.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "synth/voice_builder.h"
#include "synth/voice_format.h"

namespace sonvale::fuzz {

struct VoiceImages {
  std::vector<std::uint8_t> def, data, word;
  std::vector<voice::CodedUnit> units;  // the distinct coded units, in VoiceData order
};

inline std::vector<std::int16_t> toneSamples(double hz, double seconds, double amplitude, std::size_t silentEdge = 0) {
  std::vector<std::int16_t> s(silentEdge + static_cast<std::size_t>(seconds * 11025) + silentEdge, 0);
  for (std::size_t i = silentEdge; i + silentEdge < s.size(); ++i)
    s[i] = static_cast<std::int16_t>(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / 11025.0));
  return s;
}

inline std::vector<std::int16_t> noiseSamples(double seconds, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(-9000, 9000);
  std::vector<std::int16_t> s(static_cast<std::size_t>(seconds * 11025));
  for (auto& x : s) x = static_cast<std::int16_t>(dist(rng));
  return s;
}

// A word record: text and reading as ideographs, and per syllable the four
// values cutBefore, cutAfter, volumeIndex, durationIndex.
inline WordRecord makeWord(std::u16string_view text, std::u16string_view reading,
                           std::vector<SyllableParams> params = {}, std::int32_t disabled = 0) {
  WordRecord w;
  w.clear();
  for (std::size_t i = 0; i < text.size() && i < 8; ++i) w.text[i] = text[i];
  for (std::size_t i = 0; i < reading.size() && i < 8; ++i) w.reading[i] = reading[i];
  for (std::size_t k = 0; k < params.size() && k < 8; ++k) {
    w.cutBefore[k] = params[k].cutBefore;
    w.cutAfter[k] = params[k].cutAfter;
    w.volumeIndex[k] = params[k].volumeIndex;
    w.durationIndex[k] = params[k].durationIndex;
  }
  w.disabled = disabled;
  return w;
}

inline std::vector<WordRecord> fuzzWords() {
  return {
      makeWord(u"你好", u"你好", {{6, 6, 0, 0}, {-10, 10, 10, -9}}),
      makeWord(u"香港人", u"香港", {{0, 0, 0, 0}, {5, 5, -10, 10}}),
      makeWord(u"大学", u"大学生", {{1, 2, 3, 4}, {-4, -3, -2, -1}, {10, 10, 10, 10}}),
      makeWord(u"一二三十百千万亿", u"一二三十百千万亿",
               {{-10, -10, -10, -10}, {10, 10, 10, 10}, {0, 0, 0, 0}, {6, 6, 0, 0},
                {-5, 7, 2, -3}, {9, -9, 9, -9}, {3, 3, 3, 3}, {-1, -1, -1, -1}}),
      // Values past the ends of every table: the engine holds them at the ends.
      makeWord(u"中国", u"中国", {{1000, -1000, 1 << 30, -(1 << 30)}, {-2147483647 - 1, 2147483647, 11, -11}}),
      makeWord(u"中国人", u"中国人", {}, 1),  // disabled: never matches
      makeWord(u"我们", u"我"),
      makeWord(u"天下", u"天下"),
  };
}

// Codes the four units and lays out the three files. Returns an empty string,
// or what failed.
inline std::string buildFuzzVoice(VoiceImages& voice) {
  const std::vector<std::vector<std::int16_t>> signals = {
      toneSamples(300, 0.05, 8000), toneSamples(520, 0.03, 12000, 100), noiseSamples(0.04, 7),
      toneSamples(700, 0.05, 50)};
  voice = VoiceImages{};
  for (const auto& samples : signals) {
    voice::CodedUnit unit;
    if (std::string error = voice::codeUnit(samples, unit); !error.empty()) return error;
    voice.units.push_back(std::move(unit));
  }
  std::vector<std::uint32_t> offsets;
  for (const auto& unit : voice.units) {
    offsets.push_back(static_cast<std::uint32_t>(voice.data.size()));
    voice.data.insert(voice.data.end(), unit.coded.begin(), unit.coded.end());
  }
  voice.def = voice::voiceDefHeader();
  for (std::uint32_t u = 0; u < voice::kUnitCount; ++u) {
    voice::UnitEntry e;
    if (u % 11 != 10) {
      const std::size_t k = u % voice.units.size();
      e.offset = offsets[k];
      e.length = static_cast<std::uint32_t>(voice.units[k].coded.size());
      e.energy = voice.units[k].energy;
      if (u % 13 == 5) e.energy = std::numeric_limits<std::uint64_t>::max();
      if (u % 17 == 3) e.energy = 0;
    }
    voice::appendUnitEntry(voice.def, e);
  }
  voice.word = voice::buildDictionary(fuzzWords());
  return {};
}

}  // namespace sonvale::fuzz
