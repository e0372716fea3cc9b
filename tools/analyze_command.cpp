#include "analyze_command.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "command_line.h"
#include "engine/engine.h"
#include "engine/word_dictionary.h"
#include "host/output_site.h"
#include "host/sapi_xml.h"
#include "host/voice_tokens.h"
#include "platform/file_map.h"
#include "platform/utf.h"
#include "settings/engine_settings.h"

namespace sonvale::tools {

namespace {

const char kUsage[] =
    "usage: sonvale analyze [TEXT...] [-f FILE] [--voice NAME] [--read-numbers] [--read-punctuation] [--json]\n"
    "\n"
    "Shows how TEXT (or FILE, or standard input) is read, one word a line:\n"
    "  POSITION  TEXT  SPOKEN  PARAMS  [JYUTPING]\n"
    "SPOKEN is the characters whose voice units are spoken, one a syllable ('_' for a\n"
    "silent mark); PARAMS is cutBefore,cutAfter,volumeIndex,durationIndex per syllable;\n"
    "JYUTPING is what each unit says, shown when the voice's folder has its unit list\n"
    "(units.txt: a unit code and its jyutping a line).\n"
    "--json writes one JSON array instead, an object a word: position, length (UTF-16\n"
    "code units), text, spoken, jyutping (null where unknown), source (dictionary,\n"
    "phrase, number, character or symbol), cutBefore, cutAfter, volumeIndex and\n"
    "durationIndex (one value a syllable).\n"
    "Words come from the voice's dictionary (the default voice unless --voice), then\n"
    "from the built-in phrase rules. --read-numbers and --read-punctuation read the\n"
    "text as if the ReadNumber and ReadPunctuation settings were 1.\n";

struct Word {
  std::uint32_t pos = 0, len = 0;
  std::u16string spoken;
  std::vector<std::uint32_t> units;
  std::vector<SyllableParams> params;
};

// The voice's unit list beside its files: "UNIT<TAB>JYUTPING[<TAB>SHARE]" a line, '#' comments.
std::map<std::uint32_t, std::string> readUnitList(const std::filesystem::path& file) {
  std::map<std::uint32_t, std::string> units;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    char* end = nullptr;
    const unsigned long unit = std::strtoul(line.c_str(), &end, 10);
    if (end != line.c_str() + tab) continue;
    units[static_cast<std::uint32_t>(unit)] = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
  }
  return units;
}

// Where a word's syllables came from, told from what the loop did with it: a
// number is read with numerals (units of ideographs), a digit read alone as a mark.
const char* sourceOf(const std::u16string& written, const Word& w, const WordDictionary& dictionary) {
  const auto isDigit = [](char16_t c) { return (c >= u'0' && c <= u'9') || (c >= 0xFF10 && c <= 0xFF19); };
  const bool numerals = std::any_of(w.units.begin(), w.units.end(), [](std::uint32_t u) { return u >= 1000; });
  if (numerals && std::any_of(written.begin(), written.end(), isDigit)) return "number";
  if (written.size() == 1) return written[0] >= 0x4E00 && written[0] <= 0x9FA5 ? "character" : "symbol";
  WordRecord record;
  record.clear();
  if (dictionary.lookUpWord(written.c_str(), written.size(), record) > 1 && std::u16string(record.text) == written)
    return "dictionary";
  return "phrase";
}

// Records the syllables instead of speaking them.
class AnalysisSynth : public SyllableSynth {
 public:
  explicit AnalysisSynth(std::vector<Word>& words) : words_(words) {}
  std::uint32_t speakSyllable(ISpTTSEngineSite*, std::int32_t, std::uint32_t, std::uint32_t unit,
                              const SyllableParams& p) override {
    if (words_.empty()) return 0;
    Word& w = words_.back();
    // A mark's unit shows as the mark; any other unit as the reading character that names it.
    w.spoken += unit == 0                    ? u'_'
                : unit < 256                 ? static_cast<char16_t>(unit)
                : unit >= 501 && unit <= 563 ? static_cast<char16_t>(unit + 0x2E0C)
                                             : static_cast<char16_t>(unit + 0x4A18);
    w.units.push_back(unit);
    w.params.push_back(p);
    return 0;
  }

 private:
  std::vector<Word>& words_;
};

}  // namespace

int analyzeCommand(int argc, char** argv) {
  enum { kVoice = 256, kNumbers, kPunctuation, kJson };
  const option options[] = {{"file", required_argument, nullptr, 'f'},
                            {"voice", required_argument, nullptr, kVoice},
                            {"read-numbers", no_argument, nullptr, kNumbers},
                            {"read-punctuation", no_argument, nullptr, kPunctuation},
                            {"json", no_argument, nullptr, kJson},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
  std::string file, voiceName;
  bool numbers = false, punctuation = false, json = false;
  std::vector<std::string> operands;
  const int status = readCommandLine(
      argc, argv, "f:h", options,
      [&](int c, const char* arg) {
        switch (c) {
          case 'f':
            file = arg;
            break;
          case kVoice:
            voiceName = arg;
            break;
          case kNumbers:
            numbers = true;
            break;
          case kPunctuation:
            punctuation = true;
            break;
          case kJson:
            json = true;
            break;
          case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        }
        return -1;
      },
      kUsage, operands);
  if (status >= 0) return status;
  std::string text = joinOperands(operands);
  if (operands.empty()) {
    if (file.empty() || file == "-") {
      text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
      std::ifstream in(file, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "sonvale: %s: %s\n", file.c_str(), std::strerror(errno));
        return 1;
      }
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }

  Engine engine;
  ISpObjectToken* token = nullptr;
  std::string error;
  std::map<std::uint32_t, std::string> unitList;
  platform::MappedFile wordFile;
  WordDictionary dictionary;
  if (SUCCEEDED(host::openVoiceToken(voiceName, &token, error))) {
    const HRESULT hr = engine.loadVoice(*token);
    LPWSTR path = nullptr;
    if (SUCCEEDED(hr) && SUCCEEDED(token->GetStringValue(u"VoiceDef", &path)) && path != nullptr) {
      const std::filesystem::path def{std::u16string(path)};
      unitList = readUnitList(def.parent_path() / "units.txt");
    }
    CoTaskMemFree(path);
    path = nullptr;
    if (SUCCEEDED(hr) && SUCCEEDED(token->GetStringValue(u"VoiceWord", &path)) && path != nullptr &&
        wordFile.open(platform::utf16ToUtf8(path)) == ERROR_SUCCESS)
      dictionary.attach(wordFile.bytes());
    CoTaskMemFree(path);
    token->Release();
    if (FAILED(hr)) {
      std::fprintf(stderr, "sonvale: %s\n", engine.voiceError().c_str());
      return 1;
    }
  } else if (!voiceName.empty()) {
    std::fprintf(stderr, "sonvale: %s\n", error.c_str());
    return 1;
  } else {
    std::fprintf(stderr, "sonvale: no voice installed; words come from the phrase rules only\n");
  }
  if (numbers) settings::engineSettings().readNumber = 1;
  if (punctuation) settings::engineSettings().readPunctuation = 1;

  std::vector<Word> words;
  AnalysisSynth synth(words);
  engine.setSynth(&synth);
  const std::u16string utf16 = platform::utf8ToUtf16(text);
  const host::FragmentList fragments = host::parseSpeakText(utf16, host::looksLikeXml(utf16));
  host::OutputSite site(
      [](const std::uint8_t*, std::uint32_t) { return S_OK; },
      [&words](const host::RecordedEvent& e) {
        if (e.id != SPEI_WORD_BOUNDARY) return;
        words.push_back({static_cast<std::uint32_t>(e.lParam), static_cast<std::uint32_t>(e.wParam), {}, {}, {}});
      });
  if (fragments.head() != nullptr) engine.speak(0, fragments.head(), &site);
  std::string jsonText;
  for (const Word& w : words) {
    const std::u16string written = w.pos < utf16.size() ? utf16.substr(w.pos, w.len) : std::u16string();
    nlohmann::ordered_json jyutping = nlohmann::ordered_json::array();
    std::string paramsText, jyutpingText;
    nlohmann::ordered_json values = {{"cutBefore", nlohmann::ordered_json::array()},
                                     {"cutAfter", nlohmann::ordered_json::array()},
                                     {"volumeIndex", nlohmann::ordered_json::array()},
                                     {"durationIndex", nlohmann::ordered_json::array()}};
    for (std::size_t k = 0; k < w.units.size(); ++k) {
      const SyllableParams& p = w.params[k];
      values["cutBefore"].push_back(p.cutBefore);
      values["cutAfter"].push_back(p.cutAfter);
      values["volumeIndex"].push_back(p.volumeIndex);
      values["durationIndex"].push_back(p.durationIndex);
      paramsText += (k > 0 ? " " : "") + std::to_string(p.cutBefore) + "," + std::to_string(p.cutAfter) + "," +
                    std::to_string(p.volumeIndex) + "," + std::to_string(p.durationIndex);
      const auto it = unitList.find(w.units[k]);
      jyutping.push_back(it == unitList.end() ? nlohmann::ordered_json() : nlohmann::ordered_json(it->second));
      jyutpingText += (k > 0 ? " " : "") + (it == unitList.end() ? std::string("_") : it->second);
    }
    if (json) {
      nlohmann::ordered_json word = {{"position", w.pos},
                                     {"length", w.len},
                                     {"text", platform::utf16ToUtf8(written)},
                                     {"spoken", platform::utf16ToUtf8(w.spoken)},
                                     {"jyutping", jyutping},
                                     {"source", sourceOf(written, w, dictionary)}};
      word.update(values);
      jsonText += (jsonText.empty() ? "[\n" : ",\n") + word.dump();
    } else {
      std::printf("%u\t%s\t%s\t%s%s%s\n", w.pos, platform::utf16ToUtf8(written).c_str(),
                  platform::utf16ToUtf8(w.spoken).c_str(), paramsText.c_str(), unitList.empty() ? "" : "\t",
                  unitList.empty() ? "" : jyutpingText.c_str());
    }
  }
  if (json) std::printf("%s\n]\n", jsonText.empty() ? "[" : jsonText.c_str());
  return 0;
}

}  // namespace sonvale::tools
