// Syllable synthesis on the same units in one run: the cost of one
// speakSyllable for syllables of 0.2 to 0.4 s, and the end-to-end throughput
// of speaking a sentence, as seconds of audio per CPU second (real time is
// 1.0; the engine aims at 2000 or more). BM_SmoothCutsCost speaks the same
// syllables with SmoothCuts on and off in turn, and fades one syllable's
// samples alone, reporting each per syllable and on/off as a ratio.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

#include "engine/engine.h"
#include "host/output_site.h"
#include "host/registry_token.h"
#include "platform/utf.h"
#include "settings/engine_settings.h"
#include "synth/syllable_math.h"
#include "synth/voice_builder.h"
#include "synth/voice_format.h"

namespace sonvale {
namespace {

// A voiced-speech stand-in: 140 Hz with four harmonics under a smooth envelope.
std::vector<std::int16_t> syllable(double seconds, double f0) {
  std::vector<std::int16_t> s(static_cast<std::size_t>(seconds * 11025));
  for (std::size_t n = 0; n < s.size(); ++n) {
    const double t = static_cast<double>(n) / 11025.0;
    const double envelope = std::sin(M_PI * static_cast<double>(n) / static_cast<double>(s.size()));
    double value = 0;
    for (int h = 1; h <= 5; ++h) value += std::sin(2 * M_PI * f0 * h * t + h) / h;
    s[n] = static_cast<std::int16_t>(9000.0 * envelope * value / 2.3);
  }
  return s;
}

// One voice for the whole run, in a temporary directory.
class BenchVoice {
 public:
  BenchVoice() {
    dir_ = std::filesystem::temp_directory_path() / ("sonvale-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    setenv("SONVALE_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    std::vector<std::uint8_t> data;
    auto def = voice::voiceDefHeader();
    std::vector<voice::UnitEntry> entries(voice::kUnitCount);
    for (int i = 0; i < kUnits; ++i) {
      voice::CodedUnit unit;
      voice::codeUnit(syllable(0.2 + 0.2 * i / (kUnits - 1), 120.0 + 10 * i), unit);
      auto& e = entries[1000 + i];
      e.offset = static_cast<std::uint32_t>(data.size());
      e.length = static_cast<std::uint32_t>(unit.coded.size());
      e.energy = unit.energy;
      data.insert(data.end(), unit.coded.begin(), unit.coded.end());
    }
    for (const auto& e : entries) voice::appendUnitEntry(def, e);
    write(voice::kVoiceDefFileName, def);
    write(voice::kVoiceDataFileName, data);
    write(voice::kVoiceWordFileName, voice::buildDictionary({}));
  }
  ~BenchVoice() { std::filesystem::remove_all(dir_); }

  void load(Engine& engine) const {
    ISpObjectToken* token = nullptr;
    host::RegistryToken::open(platform::RegRoot::LocalMachine, u"SOFTWARE\\Bench\\Voice", true, &token);
    token->SetStringValue(u"VoiceDef", platform::utf8ToUtf16((dir_ / voice::kVoiceDefFileName).string()).c_str());
    token->SetStringValue(u"VoiceData", platform::utf8ToUtf16((dir_ / voice::kVoiceDataFileName).string()).c_str());
    token->SetStringValue(u"VoiceWord", platform::utf8ToUtf16((dir_ / voice::kVoiceWordFileName).string()).c_str());
    if (FAILED(engine.loadVoice(*token))) std::abort();
    token->Release();
  }

  static constexpr int kUnits = 16;

 private:
  void write(const char* name, const std::vector<std::uint8_t>& bytes) const {
    std::ofstream((dir_ / name).string(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::filesystem::path dir_;
};

const BenchVoice& benchVoice() {
  static const BenchVoice voice;
  return voice;
}

void BM_SpeakSyllable(benchmark::State& state) {
  Engine engine;
  benchVoice().load(engine);
  host::OutputSite site([](const std::uint8_t*, std::uint32_t) { return S_OK; }, [](const host::RecordedEvent&) {});
  std::uint64_t bytes = 0;
  std::uint32_t unit = 1000;
  for (auto _ : state) {
    bytes += engine.synthesizer().speakSyllable(&site, 0, 100, unit, {});
    unit = unit + 1 < 1000 + BenchVoice::kUnits ? unit + 1 : 1000;
  }
  state.counters["audio_s_per_cpu_s"] =
      benchmark::Counter(static_cast<double>(bytes) / 22050.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SpeakSyllable);

// A sentence of the sixteen units with punctuation, spoken whole.
void BM_SpeakSentence(benchmark::State& state) {
  Engine engine;
  benchVoice().load(engine);
  std::u16string text;
  for (int i = 0; i < BenchVoice::kUnits; ++i) text += static_cast<char16_t>(0x4E00 + i);
  text += u"，";
  for (int i = 0; i < BenchVoice::kUnits; ++i) text += static_cast<char16_t>(0x4E00 + (i * 7) % BenchVoice::kUnits);
  text += u"。";
  SPVTEXTFRAG fragment{};
  fragment.State.eAction = SPVA_Speak;
  fragment.State.Volume = 100;
  fragment.pTextStart = text.c_str();
  fragment.ulTextLen = static_cast<ULONG>(text.size());
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    host::OutputSite site([](const std::uint8_t*, std::uint32_t) { return S_OK; },
                          [](const host::RecordedEvent&) {});
    engine.speak(0, &fragment, &site);
    bytes += site.bytesWritten();
  }
  state.counters["audio_s_per_cpu_s"] =
      benchmark::Counter(static_cast<double>(bytes) / 22050.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SpeakSentence)->Unit(benchmark::kMillisecond);

// CPU time of this thread: other work on the machine does not count.
struct ThreadCpuClock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<ThreadCpuClock>;
  static time_point now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return time_point(duration(std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec));
  }
};

void BM_SmoothCutsCost(benchmark::State& state) {
  using Clock = ThreadCpuClock;
  Engine engine;
  benchVoice().load(engine);
  host::OutputSite site([](const std::uint8_t*, std::uint32_t) { return S_OK; }, [](const host::RecordedEvent&) {});
  std::atomic<std::int32_t>& smoothCuts = settings::engineSettings().smoothCuts;
  std::vector<std::int16_t> samples(3308, 12000);  // a 0.3 s syllable
  Clock::duration spent[2] = {}, fading{};
  constexpr int kFadesPerTiming = 64;  // the fade alone is too short to time once
  std::uint32_t unit = 1000;
  bool onFirst = false;
  for (auto _ : state) {
    // Each unit is spoken both ways, in alternating order, so neither way
    // always meets the unit's data first.
    onFirst = !onFirst;
    for (const int on : {onFirst ? 1 : 0, onFirst ? 0 : 1}) {
      smoothCuts.store(on);
      const auto start = Clock::now();
      benchmark::DoNotOptimize(engine.synthesizer().speakSyllable(&site, 0, 100, unit, {}));
      spent[on] += Clock::now() - start;
    }
    const auto start = Clock::now();
    for (int i = 0; i < kFadesPerTiming; ++i) {
      synth::fadeEdges(samples);
      benchmark::DoNotOptimize(samples.data());
    }
    fading += (Clock::now() - start) / kFadesPerTiming;
    unit = unit + 1 < 1000 + BenchVoice::kUnits ? unit + 1 : 1000;
  }
  smoothCuts.store(1);
  const auto perSyllableNs = [&state](Clock::duration d) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()) /
           static_cast<double>(state.iterations());
  };
  state.counters["on_ns"] = perSyllableNs(spent[1]);
  state.counters["off_ns"] = perSyllableNs(spent[0]);
  state.counters["on_over_off"] = perSyllableNs(spent[1]) / perSyllableNs(spent[0]);
  state.counters["fade_ns"] = perSyllableNs(fading);
  state.counters["fade_over_off"] = perSyllableNs(fading) / perSyllableNs(spent[0]);
}
BENCHMARK(BM_SmoothCutsCost);

}  // namespace
}  // namespace sonvale

BENCHMARK_MAIN();
