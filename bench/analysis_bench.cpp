// Text analysis without synthesis, on the same text in one run: matchPhrase
// and lookUpWord per call, and a 100 000-character Chinese text walked end to
// end by the speaking loop with a synthesiser that writes nothing (the
// target is under 20 ms).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "engine/engine.h"
#include "engine/word_dictionary.h"
#include "host/output_site.h"
#include "synth/voice_builder.h"
#include "text/phrase_table.h"

namespace sonvale {
namespace {

// Every phrase key once, then the same number of random ideograph quadruples.
std::vector<std::array<char16_t, 4>> probes() {
  std::vector<std::array<char16_t, 4>> out;
  for (std::size_t length = 2; length <= 4; ++length)
    for (const PhraseEntry& e : phraseEntries(length)) out.push_back({e.key[0], e.key[1], e.key[2], e.key[3]});
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> ideograph(0x4E00, 0x9FA5);
  const std::size_t keys = out.size();
  for (std::size_t i = 0; i < keys; ++i)
    out.push_back({static_cast<char16_t>(ideograph(rng)), static_cast<char16_t>(ideograph(rng)),
                   static_cast<char16_t>(ideograph(rng)), static_cast<char16_t>(ideograph(rng))});
  return out;
}

void BM_MatchPhrase(benchmark::State& state) {
  const auto all = probes();
  std::size_t i = 0;
  WordRecord word;
  for (auto _ : state) {
    const char16_t(&units)[4] = *reinterpret_cast<const char16_t(*)[4]>(all[i].data());
    benchmark::DoNotOptimize(matchPhrase(units, word));
    i = i + 1 < all.size() ? i + 1 : 0;
  }
}
BENCHMARK(BM_MatchPhrase);

// A dictionary of the phrase table's keys as words, searched with the same probes.
void BM_LookUpWord(benchmark::State& state) {
  std::vector<WordRecord> words;
  for (std::size_t length = 2; length <= 4; ++length) {
    for (const PhraseEntry& e : phraseEntries(length)) {
      WordRecord w;
      w.clear();
      std::memcpy(w.text, e.key, length * 2);
      std::memcpy(w.reading, e.reading, length * 2);
      words.push_back(w);
    }
  }
  const auto image = voice::buildDictionary(words);
  WordDictionary dictionary;
  dictionary.attach(image);
  const auto all = probes();
  std::size_t i = 0;
  WordRecord word;
  for (auto _ : state) {
    benchmark::DoNotOptimize(dictionary.lookUpWord(all[i].data(), 4, word));
    i = i + 1 < all.size() ? i + 1 : 0;
  }
}
BENCHMARK(BM_LookUpWord);

class SilentSynth : public SyllableSynth {
 public:
  std::uint32_t speakSyllable(ISpTTSEngineSite*, std::int32_t, std::uint32_t, std::uint32_t unit,
                              const SyllableParams&) override {
    syllables += unit != 0;
    return 0;
  }
  std::uint64_t syllables = 0;
};

void BM_Analyse100kCharacters(benchmark::State& state) {
  // Running Chinese text: phrase keys interleaved with random characters and
  // a full stop or comma every 20 characters.
  std::u16string text;
  const auto all = probes();
  std::mt19937 rng(2);
  std::size_t i = 0;
  while (text.size() < 100000) {
    for (char16_t c : all[i % all.size()])
      if (c != 0) text += c;
    ++i;
    if (i % 5 == 0) text += (i % 10 == 0) ? u'。' : u'，';
  }
  text.resize(100000);
  Engine engine;
  SilentSynth synth;
  engine.setSynth(&synth);
  SPVTEXTFRAG fragment{};
  fragment.State.eAction = SPVA_Speak;
  fragment.State.Volume = 100;
  fragment.pTextStart = text.c_str();
  fragment.ulTextLen = static_cast<ULONG>(text.size());
  for (auto _ : state) {
    host::OutputSite site([](const std::uint8_t*, std::uint32_t) { return S_OK; },
                          [](const host::RecordedEvent&) {});
    engine.speak(0, &fragment, &site);
  }
  state.counters["syllables"] = static_cast<double>(synth.syllables) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Analyse100kCharacters)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sonvale

BENCHMARK_MAIN();
