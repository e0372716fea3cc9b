// Loads a voice from arbitrary VoiceDef, VoiceData and VoiceWord bytes the
// way the engine does (the three files written to a memory file system and
// named by a token), speaks a text with it, and checks the same images with
// the voice checker.
//
// Input (see fuzz_support.h): a flag byte, then four parts each written as a
// u32le length and its bytes: VoiceDef, VoiceData, VoiceWord, and the text
// (UTF-16LE, at most 24 code units). With flag 1 the VoiceDef part is a patch
// list over a blank unit index, with flag 2 the VoiceWord part one over an
// empty dictionary; flag 4 has the voice checker look at the voice too.
//
// Checked on every run: loading gives S_OK, or E_INVALIDARG with one line
// naming the damaged file, or the mapping error of an empty file; a voice the
// engine refuses is one in which the checker (when asked) finds a problem,
// or one with an empty file; a refused voice
// speaks nothing but silence; a loaded one speaks with its unit audio and
// dictionary held in buffers of exactly the files' sizes, so that any read
// past them is caught, and its engine counts exactly the bytes it wrote.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "fuzz_support.h"
#include "host/output_site.h"
#include "settings/engine_settings.h"
#include "synth/voice_builder.h"
#include "ui/ui.h"

namespace {

using namespace sonvale;
using sonvale::fuzz::ByteStream;

constexpr std::size_t kMaxTextUnits = 24;
constexpr std::uint8_t kRunChecker = 4;
constexpr std::uint64_t kAudioCapBytes = 4u << 20;

struct Fixture {
  fuzz::ScratchDir dir;
  std::vector<std::uint8_t> blankDef = fuzz::blankVoiceDef();
  std::vector<std::uint8_t> emptyDictionary = voice::buildDictionary({});

  Fixture() {
    SONVALE_FUZZ_CHECK(!dir.path().empty(), "no scratch directory");
    setenv("SONVALE_REGISTRY", dir.file("registry.reg").c_str(), 1);
    unsetenv("SONVALE_DUMP_DIR");
    ui::setWarningSink([](ui::UserWarning, const std::string&, void*) {}, nullptr);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Fixture& fx = fixture();
  ByteStream in({data, size});
  const std::uint8_t flags = in.u8();
  const auto defPart = in.part();
  const auto dataPart = in.part();
  const auto wordPart = in.part();
  const auto textPart = in.part();

  std::vector<std::uint8_t> def, word;
  if (flags & fuzz::kDefPatched) {
    def = fx.blankDef;
    fuzz::applyPatches(def, ByteStream(defPart), false);
  } else {
    def.assign(defPart.begin(), defPart.end());
  }
  if (flags & fuzz::kWordPatched) {
    word = fx.emptyDictionary;
    fuzz::applyPatches(word, ByteStream(wordPart), true);
  } else {
    word.assign(wordPart.begin(), wordPart.end());
  }
  const std::vector<std::uint8_t> voiceData(dataPart.begin(), dataPart.end());
  std::vector<char16_t> text;
  for (std::size_t i = 0; i + 1 < textPart.size() && text.size() < kMaxTextUnits; i += 2)
    text.push_back(static_cast<char16_t>(textPart[i] | textPart[i + 1] << 8));

  fuzz::writeFile(fx.dir.file("voice.def"), def);
  fuzz::writeFile(fx.dir.file("voice.dat"), voiceData);
  fuzz::writeFile(fx.dir.file("voice.wrd"), word);
  fuzz::FileToken token(fx.dir.file("voice.def"), fx.dir.file("voice.dat"), fx.dir.file("voice.wrd"));

  Engine engine;
  settings::engineSettings().readNumber.store(1);
  settings::engineSettings().readPunctuation.store(1);
  const HRESULT hr = engine.loadVoice(token);
  const std::string& error = engine.voiceError();
  const bool someFileEmpty = def.empty() || voiceData.empty() || word.empty();
  if (hr == S_OK) {
    SONVALE_FUZZ_CHECK(error.empty(), "loaded, yet the error says '%s'", error.c_str());
  } else {
    const bool known = hr == E_INVALIDARG || (someFileEmpty && hr == HRESULT_FROM_WIN32(ERROR_FILE_INVALID));
    SONVALE_FUZZ_CHECK(known, "loading gave 0x%08X (%s)", static_cast<unsigned>(hr), error.c_str());
    SONVALE_FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos, "refused with the error '%s'",
                       error.c_str());
    const bool namesFile = error.rfind("VoiceDef", 0) == 0 || error.rfind("VoiceData", 0) == 0 ||
                           error.rfind("VoiceWord", 0) == 0;
    SONVALE_FUZZ_CHECK(namesFile, "the error '%s' names no file", error.c_str());
  }

  // The checker finds a problem in every voice the engine refuses (an empty
  // file, which cannot be mapped, aside). It runs when flag 4 asks for it:
  // it describes every unit as it goes, which costs more than loading.
  voice::VoiceCheck check;
  if (flags & kRunChecker) {
    check = voice::checkVoiceImages(def, voiceData, word);
    SONVALE_FUZZ_CHECK(hr == S_OK || someFileEmpty || !check.problems.empty(),
                       "the engine refused the voice (%s), the checker did not", error.c_str());
  }

  // Speak with exact-size copies of the files in place of their mappings:
  // the engine checked the entries against the mapped sizes, which are these.
  std::vector<voice::UnitEntry> units;
  if (hr == S_OK) {
    units.resize(voice::kUnitCount);
    for (std::uint32_t u = 0; u < voice::kUnitCount; ++u)
      SONVALE_FUZZ_CHECK(voice::readUnitEntry(def, u, units[u]), "loaded without unit %u", u);
    engine.synthesizer().attach(&units, voiceData);
    engine.dictionary().attach(word);
  }

  // Every lookup the speaking loop could make, straight at the dictionary.
  for (std::size_t p = 0; p < text.size(); ++p) {
    WordRecord w;
    w.clear();
    const std::size_t n = std::min<std::size_t>(kMaxWordSyllables, text.size() - p);
    const int found = engine.dictionary().lookUpWord(text.data() + p, n, w);
    // A damaged record may hold no reading (0) or one without its terminator (9).
    SONVALE_FUZZ_CHECK(found >= 0 && found <= 9, "lookUpWord gave %d", found);
  }

  std::uint64_t received = 0;
  bool onlySilence = true;
  host::SiteControls controls;
  host::OutputSite site(
      [&](const std::uint8_t* bytes, std::uint32_t count) -> HRESULT {
        for (std::uint32_t i = 0; i < count && onlySilence; ++i) onlySilence = bytes[i] == 0;
        received += count;
        if (received > kAudioCapBytes) controls.requestAbort();
        return S_OK;
      },
      [](const host::RecordedEvent&) {}, &controls);
  SPVTEXTFRAG fragment{};
  fragment.State.eAction = SPVA_Speak;
  fragment.State.Volume = 100;
  fragment.pTextStart = text.empty() ? nullptr : text.data();
  fragment.ulTextLen = static_cast<ULONG>(text.size());
  const HRESULT spoken = engine.speak(0, &fragment, &site);
  SONVALE_FUZZ_CHECK(spoken == S_OK, "Speak gave 0x%08X", static_cast<unsigned>(spoken));
  SONVALE_FUZZ_CHECK(engine.audioOffset() == received, "audioOffset %llu, received %llu",
                     static_cast<unsigned long long>(engine.audioOffset()), static_cast<unsigned long long>(received));
  SONVALE_FUZZ_CHECK(hr == S_OK || onlySilence, "a refused voice made sound");

  if (fuzz::verbose())
    std::fprintf(stderr, "voice: load 0x%08X (%s), %zu problems, %llu bytes spoken%s\n", static_cast<unsigned>(hr),
                 error.c_str(), check.problems.size(), static_cast<unsigned long long>(received),
                 onlySilence ? ", all silence" : "");
  // The synthesizer must not keep the copies past this run.
  engine.synthesizer().attach(nullptr, {});
  engine.dictionary().attach({});
  return 0;
}
