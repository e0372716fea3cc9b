// How long one paragraph takes at every rate from -10 to +10, with the
// FastSpeech setting off and on, spoken by a real voice. Prints a table of
// seconds and each rate's duration as a fraction of rate 0's.
//
// usage: rate_durations [VOICE_DIR]   (default: the voice the build made)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "host/output_site.h"
#include "host/registry_token.h"
#include "platform/utf.h"
#include "settings/engine_settings.h"
#include "synth/voice_format.h"

namespace {

// Punctuation, a number, a Latin word and plain running text.
constexpr char kParagraph[] =
    "今日天氣好好，我哋一齊去公園散步。公園入面有好多人，有啲喺度跑步，有啲喺度打太極。"
    "我哋行咗大概兩個鐘，先至返屋企食飯。聽日如果都係咁好天，我哋再去一次，順便影啲相。";

HRESULT loadVoice(sonvale::Engine& engine, const std::string& dir) {
  using namespace sonvale;
  ISpObjectToken* token = nullptr;
  HRESULT hr = host::RegistryToken::open(platform::RegRoot::LocalMachine, u"SOFTWARE\\Bench\\Voice", true, &token);
  if (FAILED(hr)) return hr;
  const std::pair<const char16_t*, const char*> values[] = {{u"VoiceDef", voice::kVoiceDefFileName},
                                                            {u"VoiceData", voice::kVoiceDataFileName},
                                                            {u"VoiceWord", voice::kVoiceWordFileName}};
  for (const auto& [name, file] : values)
    if (SUCCEEDED(hr)) hr = token->SetStringValue(name, platform::utf8ToUtf16(dir + "/" + file).c_str());
  if (SUCCEEDED(hr)) hr = engine.loadVoice(*token);
  token->Release();
  return hr;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace sonvale;
  const std::string dir = argc > 1 ? argv[1] : SONVALE_BENCH_VOICE_DIR;
  const std::string registry = "/tmp/sonvale-rate-durations-" + std::to_string(::getpid()) + ".reg";
  setenv("SONVALE_REGISTRY", registry.c_str(), 1);
  Engine engine;
  if (FAILED(loadVoice(engine, dir))) {
    std::fprintf(stderr, "rate_durations: cannot load the voice in %s\n", dir.c_str());
    return 1;
  }
  const std::u16string text = platform::utf8ToUtf16(kParagraph);
  SPVTEXTFRAG fragment{};
  fragment.State.eAction = SPVA_Speak;
  fragment.State.Volume = 100;
  fragment.pTextStart = text.c_str();
  fragment.ulTextLen = static_cast<ULONG>(text.size());

  double seconds[2][21] = {};
  for (int fast = 0; fast < 2; ++fast) {
    settings::engineSettings().fastSpeech = fast;
    for (int rate = -10; rate <= 10; ++rate) {
      host::OutputSite site;
      site.setRate(rate);
      if (FAILED(engine.speak(0, &fragment, &site))) return 1;
      seconds[fast][rate + 10] = static_cast<double>(site.bytesWritten()) / (2.0 * 11025.0);
    }
  }
  std::remove(registry.c_str());
  std::printf("%zu characters, voice %s\n", text.size(), dir.c_str());
  std::printf("rate  FastSpeech 0        FastSpeech 1\n");
  for (int rate = -10; rate <= 10; ++rate) {
    std::printf("%+4d  %6.2f s  %5.3f    %6.2f s  %5.3f\n", rate, seconds[0][rate + 10],
                seconds[0][rate + 10] / seconds[0][10], seconds[1][rate + 10], seconds[1][rate + 10] / seconds[1][10]);
  }
  return 0;
}
