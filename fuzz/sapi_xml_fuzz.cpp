// The host's speech markup parser on arbitrary text, and the engine's text
// preparation and speaking loop on whatever list it makes (syllables replaced
// by a stand-in that writes one sample, so that only the loop is exercised).
//
// Input: a selector byte, then the text: UTF-16LE code units, or with
// selector bit 1 UTF-8 bytes. Selector bit 0 asks for markup to be parsed.
//
// Checked: the parse succeeds; every fragment's text is NUL-terminated after
// ulTextLen code units; every fragment's source span lies inside the text; a
// text without '<' and '&', or one not parsed as markup, is one fragment of
// itself; the engine speaks the list with S_OK.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "fuzz_support.h"
#include "host/output_site.h"
#include "host/sapi_xml.h"
#include "settings/engine_settings.h"
#include "ui/ui.h"

namespace {

using namespace sonvale;

constexpr std::uint64_t kAudioCapBytes = 4u << 20;

// One zero sample per syllable: enough for the loop's offsets to move.
class OneSampleSynth final : public SyllableSynth {
 public:
  std::uint32_t speakSyllable(ISpTTSEngineSite* site, std::int32_t, std::uint32_t, std::uint32_t,
                              const SyllableParams&) override {
    static constexpr std::uint8_t kSample[2] = {};
    return FAILED(site->Write(kSample, 2, nullptr)) ? 0 : 2;
  }
};

struct Fixture {
  fuzz::ScratchDir dir;
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

std::size_t lengthOf(const char16_t* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fixture();
  fuzz::ByteStream in({data, size});
  const std::uint8_t selector = in.u8();
  const bool parseXml = (selector & 1) != 0;
  std::u16string text;
  if (selector & 2) {
    const auto bytes = in.rest();
    text = platform::utf8ToUtf16({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  } else {
    while (in.remaining() >= 2) text.push_back(static_cast<char16_t>(in.u16()));
  }

  const host::FragmentList list = host::parseSpeakText(text, parseXml);
  SONVALE_FUZZ_CHECK(list.status() == host::ParseStatus::Ok, "the parse failed");
  std::size_t count = 0;
  for (const SPVTEXTFRAG* f = list.head(); f != nullptr; f = f->pNext, ++count) {
    SONVALE_FUZZ_CHECK(count < list.size(), "the list is longer than its %zu fragments", list.size());
    SONVALE_FUZZ_CHECK(&list[count] == f, "fragment %zu is out of place", count);
    SONVALE_FUZZ_CHECK(f->pTextStart != nullptr, "fragment %zu has no text", count);
    SONVALE_FUZZ_CHECK(f->pTextStart[f->ulTextLen] == 0, "fragment %zu is not terminated", count);
    const std::uint64_t end = std::uint64_t{f->ulTextSrcOffset} + list.sourceLength(count);
    SONVALE_FUZZ_CHECK(end <= text.size(), "fragment %zu spans %u..%llu of %zu code units", count,
                       f->ulTextSrcOffset, static_cast<unsigned long long>(end), text.size());
    for (const LPCWSTR context : {f->State.Context.pCategory, f->State.Context.pBefore, f->State.Context.pAfter})
      if (context != nullptr) SONVALE_FUZZ_CHECK(lengthOf(context) <= text.size(), "a context longer than the text");
  }
  SONVALE_FUZZ_CHECK(count == list.size(), "%zu fragments linked of %zu", count, list.size());

  const bool plain = !parseXml || text.find_first_of(u"<&") == std::u16string::npos;
  if (plain) {
    SONVALE_FUZZ_CHECK(list.size() == (text.empty() ? 0u : 1u), "plain text made %zu fragments", list.size());
    if (!text.empty()) {
      const SPVTEXTFRAG& f = list[0];
      SONVALE_FUZZ_CHECK(f.State.eAction == SPVA_Speak && f.ulTextSrcOffset == 0 && f.ulTextLen == text.size() &&
                             std::u16string_view(f.pTextStart, f.ulTextLen) == text,
                         "plain text is not one fragment of itself");
    }
  }
  if (list.head() == nullptr) return 0;

  // One engine for every run, as a host keeps one: nothing a call leaves
  // behind may change the next.
  static Engine engine;
  static OneSampleSynth synth;
  engine.setSynth(&synth);
  settings::engineSettings().readNumber.store(selector & 4 ? 1 : 0);
  settings::engineSettings().readPunctuation.store(selector & 8 ? 1 : 0);
  std::uint64_t received = 0;
  host::SiteControls controls;
  host::OutputSite site(
      [&](const std::uint8_t*, std::uint32_t bytes) -> HRESULT {
        received += bytes;
        if (received > kAudioCapBytes) controls.requestAbort();
        return S_OK;
      },
      [](const host::RecordedEvent&) {}, &controls);
  const HRESULT hr = engine.speak(0, list.head(), &site);
  SONVALE_FUZZ_CHECK(hr == S_OK, "Speak gave 0x%08X", static_cast<unsigned>(hr));
  SONVALE_FUZZ_CHECK(engine.audioOffset() == received, "audioOffset %llu, received %llu",
                     static_cast<unsigned long long>(engine.audioOffset()), static_cast<unsigned long long>(received));
  return 0;
}
