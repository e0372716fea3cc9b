// Speaks an arbitrary fragment list with the small fuzz voice: random
// actions, texts from every class of code unit, source offsets in and out of
// step with the texts, settings values inside and outside their ranges, and a
// site that aborts, skips, changes rate and volume and fails its calls at
// chosen moments. Every text is held in a buffer of exactly its length, so a
// read past a fragment's end is caught.
//
// Input: a flag byte, five setting bytes, the site's schedule, then fragments
// until the input ends (see readProgram). Checked on every run: the call
// returns S_OK, E_INVALIDARG for an empty list or the HRESULT of the site
// call that was made to fail; every Write is whole samples; events are in
// stream order and never ahead of the audio; without failures the engine's
// audioOffset is the number of bytes the site received.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/engine.h"
#include "fuzz_support.h"
#include "fuzz_voice.h"
#include "host/output_site.h"
#include "settings/engine_settings.h"
#include "ui/ui.h"

namespace {

using namespace sonvale;
using sonvale::fuzz::ByteStream;

// Audio beyond this ends the call with an abort, as a listener would: a
// silence of 65 s or a pause setting of 100000 bytes is legal but slow.
constexpr std::uint64_t kAudioCapBytes = 4u << 20;
constexpr std::size_t kMaxFragments = 24;
constexpr std::size_t kMaxFragmentUnits = 80;

constexpr std::int32_t kPauseValues[] = {-2147483647 - 1, -1, 0, 1, 2, 3, 999, 1000, 1001, 5000, 15000, 100001};
constexpr std::int32_t kSmallValues[] = {0, 1, 2, -1, 3, 4, 5, 100};

struct Schedule {
  std::uint64_t abortAt = 0, rateAt = 0, volumeAt = 0, skipAt = 0;  // GetActions call numbers, 0 never
  LONG rate = 0;
  USHORT volume = 100;
  LONG skip = 0;
  std::optional<host::OutputSite::Call> failing;
  std::uint64_t failAt = 0;
  HRESULT failure = E_FAIL;
};

struct Program {
  DWORD speakFlags = 0;
  bool dumps = false;
  std::int32_t readNumber = 0, readPunctuation = 0, puncLong = 0, puncShort = 0, voiceStyle = 0;
  std::int32_t waveOutStyle = 0, rtfOutStyle = 0;
  Schedule schedule;
  std::vector<std::vector<char16_t>> texts;  // each exactly its fragment's length
  std::vector<SPVTEXTFRAG> fragments;
};

void readProgram(ByteStream& in, Program& p) {
  const std::uint8_t flags = in.u8();
  p.speakFlags = (flags & 3) == 3 ? 2 : 0;  // 2 is the flag the engine ignores the call for
  p.dumps = (flags & 4) != 0;
  p.readNumber = kSmallValues[in.u8() % std::size(kSmallValues)];
  p.readPunctuation = kSmallValues[in.u8() % std::size(kSmallValues)];
  p.puncLong = kPauseValues[in.u8() % std::size(kPauseValues)];
  p.puncShort = kPauseValues[in.u8() % std::size(kPauseValues)];
  const std::uint8_t styles = in.u8();
  p.voiceStyle = static_cast<std::int32_t>(styles % 6) - 1;
  p.waveOutStyle = p.dumps ? styles / 6 % 6 : 0;
  p.rtfOutStyle = p.dumps ? styles / 36 % 2 : 0;

  Schedule& s = p.schedule;
  s.abortAt = in.u16();
  s.rateAt = in.u16();
  s.rate = static_cast<std::int8_t>(in.u8());
  s.volumeAt = in.u16();
  s.volume = in.u16();
  s.skipAt = in.u8();
  s.skip = static_cast<std::int8_t>(in.u8());
  const std::uint8_t failing = in.u8();
  s.failAt = in.u8();
  if (failing % 8 < static_cast<int>(host::OutputSite::Call::kCount) && s.failAt > 0) {
    s.failing = static_cast<host::OutputSite::Call>(failing % 8);
    s.failure = failing & 0x80 ? E_OUTOFMEMORY : E_ABORT;
  }

  ULONG sourceOffset = 0;
  while (!in.empty() && p.texts.size() < kMaxFragments) {
    const std::uint8_t action = in.u8();
    const std::uint8_t fragmentFlags = in.u8();
    const std::size_t length = in.u8() % (kMaxFragmentUnits + 1);
    std::vector<char16_t> text;
    for (std::size_t i = 0; i < length && !in.empty(); ++i) text.push_back(fuzz::drawUnit(in));
    SPVTEXTFRAG f{};
    // Mostly spoken text; the other actions and a value outside the set.
    static constexpr SPVACTIONS kActions[] = {SPVA_Speak,    SPVA_Speak,   SPVA_Speak, SPVA_Silence,
                                              SPVA_Bookmark, SPVA_Pronounce, SPVA_SpellOut, SPVA_Section,
                                              SPVA_ParseUnknownTag, static_cast<SPVACTIONS>(77)};
    f.State.eAction = kActions[action % std::size(kActions)];
    f.State.Volume = 100;
    f.State.LangID = 0x0C04;
    if (f.State.eAction == SPVA_Silence) f.State.SilenceMSecs = in.u16();
    f.ulTextLen = static_cast<ULONG>(text.size());
    f.ulTextSrcOffset = (fragmentFlags & 1) ? in.u32() : sourceOffset;
    sourceOffset += f.ulTextLen;
    p.texts.push_back(std::move(text));
    p.fragments.push_back(f);
  }
  for (std::size_t i = 0; i < p.fragments.size(); ++i) {
    // An empty text is a null pointer or a zero-length buffer; either is
    // never read.
    p.fragments[i].pTextStart = p.texts[i].empty() ? nullptr : p.texts[i].data();
    p.fragments[i].pNext = i + 1 < p.fragments.size() ? &p.fragments[i + 1] : nullptr;
  }
}

struct Fixture {
  fuzz::ScratchDir dir;
  std::unique_ptr<fuzz::FileToken> token;
  // One engine speaks every input, as a host keeps one; loading the voice
  // for each run would cost more than speaking it.
  std::unique_ptr<Engine> engine;

  Fixture() {
    fuzz::VoiceImages voice;
    const std::string error = fuzz::buildFuzzVoice(voice);
    SONVALE_FUZZ_CHECK(error.empty(), "the fuzz voice cannot be built: %s", error.c_str());
    SONVALE_FUZZ_CHECK(!dir.path().empty(), "no scratch directory");
    fuzz::writeFile(dir.file("voice.def"), voice.def);
    fuzz::writeFile(dir.file("voice.dat"), voice.data);
    fuzz::writeFile(dir.file("voice.wrd"), voice.word);
    token = std::make_unique<fuzz::FileToken>(dir.file("voice.def"), dir.file("voice.dat"), dir.file("voice.wrd"));
    // A private registry store and dump directory; warnings are dropped.
    setenv("SONVALE_REGISTRY", dir.file("registry.reg").c_str(), 1);
    setenv("SONVALE_DUMP_DIR", dir.path().c_str(), 1);
    ui::setWarningSink([](ui::UserWarning, const std::string&, void*) {}, nullptr);
    engine = std::make_unique<Engine>();
    const HRESULT loaded = engine->loadVoice(*token);
    SONVALE_FUZZ_CHECK(loaded == S_OK, "the fuzz voice does not load: %s", engine->voiceError().c_str());
  }
};

// The engine keeps the rate and volume the site last reported from one call
// to the next; a call that only picks up SAPI's defaults (an ideographic
// space is read, never spoken) makes every run start alike.
void startAfresh(Engine& engine) {
  host::OutputSite site;
  site.setRate(0);
  site.setVolume(100);
  const char16_t space = 0x3000;
  SPVTEXTFRAG fragment{};
  fragment.State.eAction = SPVA_Speak;
  fragment.State.Volume = 100;
  fragment.pTextStart = &space;
  fragment.ulTextLen = 1;
  engine.speak(0, &fragment, &site);
  SONVALE_FUZZ_CHECK(engine.rate() == 0 && engine.volume() == 100, "the engine kept rate %d, volume %u",
                     engine.rate(), static_cast<unsigned>(engine.volume()));
}

Fixture& fixture() {
  static Fixture f;
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Fixture& fx = fixture();
  ByteStream in({data, size});
  Program p;
  readProgram(in, p);

  Engine& engine = *fx.engine;
  settings::resetSettings();
  startAfresh(engine);

  settings::EngineSettings& config = settings::engineSettings();
  config.readNumber.store(p.readNumber);
  config.readPunctuation.store(p.readPunctuation);
  config.puncLong.store(p.puncLong);
  config.puncShort.store(p.puncShort);
  config.voiceStyle.store(p.voiceStyle);
  config.waveOutStyle.store(p.waveOutStyle);
  config.rtfOutStyle.store(p.rtfOutStyle);

  std::uint64_t received = 0;
  std::uint64_t lastEventOffset = 0;
  host::SiteControls controls;
  host::OutputSite site(
      [&](const std::uint8_t*, std::uint32_t count) -> HRESULT {
        SONVALE_FUZZ_CHECK(count % 2 == 0, "a Write of %u bytes splits a sample", count);
        received += count;
        if (received > kAudioCapBytes) controls.requestAbort();
        return S_OK;
      },
      [&](const host::RecordedEvent& e) {
        SONVALE_FUZZ_CHECK(e.audioOffset >= lastEventOffset, "event at %llu after one at %llu",
                           static_cast<unsigned long long>(e.audioOffset),
                           static_cast<unsigned long long>(lastEventOffset));
        SONVALE_FUZZ_CHECK(e.audioOffset % 2 == 0, "event at odd offset %llu",
                           static_cast<unsigned long long>(e.audioOffset));
        lastEventOffset = e.audioOffset;
      },
      &controls);
  const Schedule& s = p.schedule;
  site.setActionsHook([&s](host::OutputSite& at, std::uint64_t call) {
    if (call == s.abortAt) at.requestAbort();
    if (call == s.rateAt) at.setRate(s.rate);
    if (call == s.volumeAt) at.setVolume(s.volume);
    if (call == s.skipAt) at.requestSkip(s.skip);
  });
  if (s.failing) site.failCallAt(*s.failing, s.failAt, s.failure);

  const SPVTEXTFRAG* head = p.fragments.empty() ? nullptr : p.fragments.data();
  const HRESULT hr = engine.speak(p.speakFlags, head, &site);

  const bool staged = s.failing.has_value() && site.calls(*s.failing) >= s.failAt;
  if (p.speakFlags == 2) {
    SONVALE_FUZZ_CHECK(hr == S_OK && received == 0, "an ignored call gave 0x%08X and %llu bytes",
                       static_cast<unsigned>(hr), static_cast<unsigned long long>(received));
  } else if (head == nullptr) {
    SONVALE_FUZZ_CHECK(hr == E_INVALIDARG, "an empty list gave 0x%08X", static_cast<unsigned>(hr));
  } else {
    SONVALE_FUZZ_CHECK(hr == S_OK || (staged && hr == s.failure), "Speak gave 0x%08X", static_cast<unsigned>(hr));
  }
  SONVALE_FUZZ_CHECK(lastEventOffset <= received || staged, "an event at %llu but only %llu bytes written",
                     static_cast<unsigned long long>(lastEventOffset), static_cast<unsigned long long>(received));
  // An ignored or refused call leaves audioOffset as the last call did.
  if (!staged && p.speakFlags != 2 && head != nullptr) {
    SONVALE_FUZZ_CHECK(engine.audioOffset() == received, "audioOffset %llu but the site received %llu",
                       static_cast<unsigned long long>(engine.audioOffset()),
                       static_cast<unsigned long long>(received));
  }
  if (fuzz::verbose())
    std::fprintf(stderr, "speak: 0x%08X, %llu bytes, %zu fragments\n", static_cast<unsigned>(hr),
                 static_cast<unsigned long long>(received), p.fragments.size());
  return 0;
}
