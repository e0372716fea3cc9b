// Every syllable that the readings of the sources use (the input method's
// character list and word list, and the voice's own words) is said by some
// unit of a built default voice: its unit list names the unit and the voice
// has playable audio for it. Runs on the voices the build made.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "reading_data.h"
#include "synth/voice_format.h"

namespace {

namespace fs = std::filesystem;
using namespace sonvale::recipe;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Syllable -> an example of its use.
std::map<std::string, std::string> sourceSyllables() {
  std::map<std::string, std::string> out;
  const fs::path rime(SONVALE_RIME_DATA_DIR);
  for (const char* name : {"jyut6ping3.chars.dict.yaml", "jyut6ping3.words.dict.yaml"}) {
    for (const DictionaryEntry& e : parseDictionary(slurp(rime / name))) {
      std::istringstream syllables(e.reading);
      for (std::string s; syllables >> s;) out.emplace(s, encodeUtf8(e.text));
    }
  }
  std::vector<HandWord> words;
  EXPECT_EQ(parseHandWords(slurp(fs::path(SONVALE_VOICES_DIR) / "words.txt"), words), "");
  for (const HandWord& w : words)
    for (const std::string& s : w.syllables) out.emplace(s, encodeUtf8(w.text));
  return out;
}

class VoiceSyllables : public ::testing::TestWithParam<const char*> {};

TEST_P(VoiceSyllables, EverySourceSyllableHasAUnitWithAudio) {
  const fs::path dir = fs::path(SONVALE_VOICES_BUILD_DIR) / GetParam();
  if (!fs::exists(dir / "units.txt")) GTEST_SKIP() << dir << " is not built";
  const std::string def = slurp(dir / sonvale::voice::kVoiceDefFileName);
  const std::span<const std::uint8_t> defBytes(reinterpret_cast<const std::uint8_t*>(def.data()), def.size());
  ASSERT_TRUE(sonvale::voice::hasVoiceDefIdentity(defBytes));

  std::set<std::string> said;
  std::istringstream list(slurp(dir / "units.txt"));
  for (std::string line; std::getline(list, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    const auto unit = static_cast<std::uint32_t>(std::stoul(line.substr(0, tab)));
    sonvale::voice::UnitEntry e;
    ASSERT_TRUE(sonvale::voice::readUnitEntry(defBytes, unit, e)) << unit;
    if (e.length > 0) said.insert(line.substr(tab + 1));
  }
  const std::map<std::string, std::string> needed = sourceSyllables();
  ASSERT_GT(needed.size(), 2000u);
  std::size_t missing = 0;
  for (const auto& [syllable, example] : needed) {
    if (said.count(syllable) != 0) continue;
    ++missing;
    ADD_FAILURE() << syllable << " (as in " << example << ") has no unit in " << dir;
  }
  EXPECT_EQ(missing, 0u);
}

INSTANTIATE_TEST_SUITE_P(Voices, VoiceSyllables, ::testing::Values("default_small", "default"),
                         [](const ::testing::TestParamInfo<const char*>& p) { return std::string(p.param); });

}  // namespace
