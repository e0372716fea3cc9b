#include "analyze_command.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "command_line.h"
#include "engine/engine.h"
#include "host/output_site.h"
#include "host/sapi_xml.h"
#include "host/voice_tokens.h"
#include "platform/utf.h"
#include "settings/engine_settings.h"

namespace sonvale::tools {

namespace {

const char kUsage[] =
    "usage: sonvale analyze [TEXT...] [-f FILE] [--voice NAME] [--read-numbers] [--read-punctuation]\n"
    "\n"
    "Shows how TEXT (or FILE, or standard input) is read, one word a line:\n"
    "  POSITION  TEXT  SPOKEN  PARAMS\n"
    "SPOKEN is the characters whose voice units are spoken, one a syllable ('_' for a\n"
    "silent mark); PARAMS is cutBefore,cutAfter,volumeIndex,durationIndex per syllable.\n"
    "Words come from the voice's dictionary (the default voice unless --voice), then\n"
    "from the built-in phrase rules. --read-numbers and --read-punctuation read the\n"
    "text as if the ReadNumber and ReadPunctuation settings were 1.\n";

struct Word {
  std::uint32_t pos = 0, len = 0;
  std::u16string spoken;
  std::string params;
};

// Records the syllables instead of speaking them.
class AnalysisSynth : public SyllableSynth {
 public:
  explicit AnalysisSynth(std::vector<Word>& words) : words_(words) {}
  std::uint32_t speakSyllable(ISpTTSEngineSite*, std::int32_t, std::uint32_t, std::uint32_t unit,
                              const SyllableParams& p) override {
    if (words_.empty()) return 0;
    Word& w = words_.back();
    w.spoken += unit == 0 ? u'_' : unit < 1000 ? static_cast<char16_t>(unit) : static_cast<char16_t>(unit + 0x4A18);
    if (!w.params.empty()) w.params += ' ';
    w.params += std::to_string(p.cutBefore) + "," + std::to_string(p.cutAfter) + "," + std::to_string(p.volumeIndex) +
                "," + std::to_string(p.durationIndex);
    return 0;
  }

 private:
  std::vector<Word>& words_;
};

}  // namespace

int analyzeCommand(int argc, char** argv) {
  enum { kVoice = 256, kNumbers, kPunctuation };
  const option options[] = {{"file", required_argument, nullptr, 'f'},
                            {"voice", required_argument, nullptr, kVoice},
                            {"read-numbers", no_argument, nullptr, kNumbers},
                            {"read-punctuation", no_argument, nullptr, kPunctuation},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
  std::string file, voiceName;
  bool numbers = false, punctuation = false;
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
  if (SUCCEEDED(host::openVoiceToken(voiceName, &token, error))) {
    const HRESULT hr = engine.loadVoice(*token);
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
        words.push_back({static_cast<std::uint32_t>(e.lParam), static_cast<std::uint32_t>(e.wParam), {}, {}});
      });
  if (fragments.head() != nullptr) engine.speak(0, fragments.head(), &site);
  for (const Word& w : words) {
    const std::u16string written = w.pos < utf16.size() ? utf16.substr(w.pos, w.len) : std::u16string();
    std::printf("%u\t%s\t%s\t%s\n", w.pos, platform::utf16ToUtf8(written).c_str(),
                platform::utf16ToUtf8(w.spoken).c_str(), w.params.c_str());
  }
  return 0;
}

}  // namespace sonvale::tools
