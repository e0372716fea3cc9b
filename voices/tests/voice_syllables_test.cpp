// The built default voices: every syllable that the readings of the sources
// use (the input method's character list and word list, and the voice's own
// words) is said by some unit (its unit list names the unit and the voice has
// playable audio for it), and everyday text is read with the right syllables.
// Runs on the voices the build made.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "host/output_site.h"
#include "reading_data.h"
#include "synth/voice_format.h"
#include "test_support.h"
#include "voice_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace sonvale::recipe;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The unit list beside a voice's files: unit code -> jyutping.
std::map<std::uint32_t, std::string> unitList(const fs::path& dir) {
  std::map<std::uint32_t, std::string> units;
  std::istringstream list(slurp(dir / "units.txt"));
  for (std::string line; std::getline(list, line);) {
    const std::size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    // The jyutping is the second field; a share of text may follow.
    units[static_cast<std::uint32_t>(std::stoul(line.substr(0, tab)))] =
        line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
  }
  return units;
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
  ASSERT_TRUE(fs::exists(dir / "units.txt")) << dir << " is not built";
  const std::string def = slurp(dir / sonvale::voice::kVoiceDefFileName);
  const std::span<const std::uint8_t> defBytes(reinterpret_cast<const std::uint8_t*>(def.data()), def.size());
  ASSERT_TRUE(sonvale::voice::hasVoiceDefIdentity(defBytes));

  std::set<std::string> said;
  for (const auto& [unit, jyutping] : unitList(dir)) {
    sonvale::voice::UnitEntry e;
    ASSERT_TRUE(sonvale::voice::readUnitEntry(defBytes, unit, e)) << unit;
    if (e.length > 0) said.insert(jyutping);
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

// Everyday words, cuts and phrase keys in the whole voice: the syllables its
// units say, and whether the phrase values came along.
class EverydayReadings : public sonvale::testing::EngineTest {};

TEST_F(EverydayReadings, ContextWordsCutsAndPhraseKeys) {
  const fs::path dir = fs::path(SONVALE_VOICES_BUILD_DIR) / "default";
  ASSERT_TRUE(fs::exists(dir / "units.txt")) << dir << " is not built";
  const std::map<std::uint32_t, std::string> units = unitList(dir);
  struct Case {
    const char16_t* text;
    const char* jyutping;
    bool shaped;  // some syllable has phrase values
  };
  const Case cases[] = {
      {u"呢間房間", "ni1 gaan1 fong4 gaan1", true},  // not 間房 out of the middle
      {u"我都會去", "ngo5 dou1 wui5 heoi3", true},   // "also will", not "metropolis"; 都会's values
      {u"大都會", "daai6 dou1 wui6", false},
      {u"歷史上", "lik6 si2 soeng6", false},  // corrected entry
      {u"十九", "sap6 gau2", false},          // corrected entry
      {u"行到公園", "haang4 dou3 gung1 jyun2", false},
      {u"條路好長", "tiu4 lou6 hou2 coeng4", false},
      {u"因為", "jan1 wai6", true},
      {u"為咗佢", "wai6 zo2 keoi5", false},
      {u"中咗獎", "zung3 zo2 zoeng2", false},
      {u"種樹", "zung3 syu6", false},
      {u"朝着", "ciu4 zoek6", false},
      {u"調高", "tiu4 gou1", false},
      {u"數錢", "sou2 cin2", false},
      {u"呢個", "ni1 go3", false},
      {u"成日", "seng4 jat6", false},
      {u"好平", "hou2 peng4", false},
      {u"百分之五十", "baak3 fan6 zi1 ng5 sap6", false},
      {u"一天", "jat1 tin1", true},  // the phrase key's values, without the swap to 义
      {u"天长地久", "tin1 coeng4 dei6 gau2", true},
      {u"天長地久", "tin1 coeng4 dei6 gau2", true},  // the key in traditional spelling
      {u"曲高和寡", "kuk1 gou1 wo6 gwaa2", true},
  };
  // The syllables the voice says for `text`, and whether any has phrase values.
  const auto speak = [&](const std::u16string& text, std::string& said, bool& shaped) {
    sonvale::Engine engine;
    ASSERT_EQ(sonvale::testing::loadVoice(engine, dir.string()), S_OK) << engine.voiceError();
    sonvale::testing::RecordingSynth synth;
    sonvale::host::OutputSite site;
    engine.setSynth(&synth);
    const sonvale::testing::FragmentList list{text};
    ASSERT_EQ(engine.speak(0, list.head(), &site), S_OK);
    said.clear();
    shaped = false;
    for (const auto& call : synth.calls) {
      const auto it = units.find(call.unitCode);
      said += (said.empty() ? "" : " ") + (it == units.end() ? std::string("?") : it->second);
      shaped = shaped || !(call.params == sonvale::SyllableParams{});
    }
  };
  std::string said;
  bool shaped = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(sonvale::platform::utf16ToUtf8(c.text));
    speak(c.text, said, shaped);
    EXPECT_EQ(said, c.jyutping);
    EXPECT_EQ(shaped, c.shaped);
  }
  // Read as a number, a percentage is said the same way.
  storeSettings({{u"ReadNumber", 1}});
  speak(u"50%", said, shaped);
  EXPECT_EQ(said, "baak3 fan6 zi1 ng5 sap6");
}

}  // namespace
