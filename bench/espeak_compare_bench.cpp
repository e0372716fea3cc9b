// Sonvale against espeak-ng's Cantonese voice, on the same Cantonese text in
// one run: seconds of audio per CPU second for each (their ratio is the
// comparison), and the time from the call to the first audio. Sonvale speaks
// with the installed default voice; run the set-up first.
#include <benchmark/benchmark.h>
#include <espeak-ng/speak_lib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sonvale/sonvale.h"

namespace {

const char kText[] =
    "香港係一個國際大都會，每日都有好多人喺度返工、讀書同埋旅遊。"
    "我哋今日去飲茶，食咗蝦餃、燒賣同叉燒包，大家都好開心。"
    "聽日天氣會轉涼，記得帶多件衫，出門口之前睇下天文台嘅報告。";

using Clock = std::chrono::steady_clock;

struct Tally {
  std::uint64_t samples = 0;
  bool first = true;
  Clock::time_point start;
  double firstAudioMs = 0;
};

Tally* espeakTally = nullptr;

int onEspeakAudio(short* samples, int count, espeak_EVENT*) {
  if (espeakTally != nullptr && samples != nullptr && count > 0) {
    if (espeakTally->first) {
      espeakTally->firstAudioMs = std::chrono::duration<double, std::milli>(Clock::now() - espeakTally->start).count();
      espeakTally->first = false;
    }
    espeakTally->samples += static_cast<std::uint64_t>(count);
  }
  return 0;
}

int onSonvaleAudio(void* user, const std::int16_t*, std::size_t count) {
  auto* tally = static_cast<Tally*>(user);
  if (tally->first) {
    tally->firstAudioMs = std::chrono::duration<double, std::milli>(Clock::now() - tally->start).count();
    tally->first = false;
  }
  tally->samples += count;
  return 0;
}

void BM_Sonvale(benchmark::State& state) {
  sonvale_voice* voice = nullptr;
  char error[256];
  if (sonvale_open(nullptr, &voice, error, sizeof error) != SONVALE_OK) {
    state.SkipWithError(error);
    return;
  }
  const double rateHz = 11025.0;  // the samples, whatever rate the voice announces
  Tally total;
  double firstMs = 0;
  for (auto _ : state) {
    Tally tally;
    tally.start = Clock::now();
    sonvale_speak(voice, kText, -1, SONVALE_TEXT_PLAIN, onSonvaleAudio, nullptr, &tally);
    total.samples += tally.samples;
    firstMs += tally.firstAudioMs;
  }
  state.counters["audio_s_per_cpu_s"] =
      benchmark::Counter(static_cast<double>(total.samples) / rateHz, benchmark::Counter::kIsRate);
  state.counters["first_audio_ms"] = firstMs / static_cast<double>(state.iterations());
  sonvale_close(voice);
}
BENCHMARK(BM_Sonvale)->Unit(benchmark::kMillisecond);

void BM_EspeakNgCantonese(benchmark::State& state) {
  const int rateHz = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 500, nullptr, 0);
  if (rateHz <= 0 || espeak_SetVoiceByName("yue") != EE_OK) {
    state.SkipWithError("espeak-ng or its Cantonese voice is not available");
    return;
  }
  espeak_SetSynthCallback(onEspeakAudio);
  Tally total;
  double firstMs = 0;
  for (auto _ : state) {
    Tally tally;
    espeakTally = &tally;
    tally.start = Clock::now();
    espeak_Synth(kText, sizeof kText, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, nullptr);
    total.samples += tally.samples;
    firstMs += tally.firstAudioMs;
  }
  espeakTally = nullptr;
  state.counters["audio_s_per_cpu_s"] =
      benchmark::Counter(static_cast<double>(total.samples) / rateHz, benchmark::Counter::kIsRate);
  state.counters["first_audio_ms"] = firstMs / static_cast<double>(state.iterations());
  espeak_Terminate();
}
BENCHMARK(BM_EspeakNgCantonese)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
