#include "espeak_recorder.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

namespace sonvale::recipe {

namespace {

// The phoneme string said, and thrown away, before every unit.
constexpr char kThrowAway[] = "s'i1";
// The library's pitch range parameter: 100 spreads the tones over the whole
// range the voice definition gives (at the default of 50 the six tones span
// only about half of it).
constexpr int kPitchRange = 100;

// The synchronous callback has no context of its own; the recorder is one per
// process, as the library is.
std::vector<std::int16_t>* gTarget = nullptr;

int collect(short* wave, int count, espeak_EVENT*) {
  if (wave != nullptr && count > 0 && gTarget != nullptr) gTarget->insert(gTarget->end(), wave, wave + count);
  return 0;  // go on
}

}  // namespace

EspeakRecorder::~EspeakRecorder() {
  if (started_) espeak_Terminate();
}

std::string EspeakRecorder::start(const std::string& voiceFile) {
  if (started_) return "the synthesizer is started already";
  const int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
  if (rate <= 0) return "espeak-ng could not start (are its data files installed?)";
  started_ = true;
  rateHz_ = rate;
  espeak_SetSynthCallback(collect);
  if (espeak_ng_SetVoiceByFile(voiceFile.c_str()) != ENS_OK)
    return "espeak-ng could not load the voice definition " + voiceFile;
  if (espeak_SetParameter(espeakRANGE, kPitchRange, 0) != EE_OK) return "espeak-ng refused the pitch range";
  return {};
}

std::string EspeakRecorder::synthesize(const std::string& phonemes, std::vector<std::int16_t>& samples) {
  samples.clear();
  const std::string text = "[[" + phonemes + "]]";
  gTarget = &samples;
  const espeak_ERROR result = espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                           espeakCHARS_UTF8 | espeakPHONEMES, nullptr, nullptr);
  const espeak_ERROR synced = espeak_Synchronize();
  gTarget = nullptr;
  if (result != EE_OK || synced != EE_OK) return "espeak-ng failed to say [[" + phonemes + "]]";
  return {};
}

std::string EspeakRecorder::say(const std::string& phonemes, std::vector<std::int16_t>& samples) {
  if (!started_) return "the synthesizer is not started";
  std::vector<std::int16_t> discarded;
  if (std::string error = synthesize(kThrowAway, discarded); !error.empty()) return error;
  return synthesize(phonemes, samples);
}

}  // namespace sonvale::recipe
