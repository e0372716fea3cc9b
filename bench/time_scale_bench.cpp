// Time scaling, fast against plain, in one run: the lag search of one frame
// and a whole syllable of 0.3 s. "plain" does every step as written: complex
// 1093-point transforms through three spectrum buffers and a forward/backward
// plan pair made and destroyed per call. "fast" is the engine's timeScale:
// real 1152-point transforms with plans made once per process.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

#include "time_scale_reference.h"
#include "timescale/time_scale.h"

namespace sonvale {
namespace {

using namespace reference;

constexpr std::size_t kCapacity = 30000;
constexpr std::uint32_t kSyllableSamples = 3308;  // 0.3 s at 11025 Hz

std::vector<std::int16_t> harmonicTone(std::size_t length) {
  std::vector<std::int16_t> samples(length);
  for (std::size_t n = 0; n < length; ++n) {
    double value = 0.0;
    for (int h = 1; h <= 5; ++h)
      value += std::sin(2.0 * std::numbers::pi * 140.0 * h * static_cast<double>(n) / 11025.0 + h) / h;
    samples[n] = static_cast<std::int16_t>(std::lround(10000.0 * value / 2.3));
  }
  return samples;
}

// ---- One frame's search ----

struct FrameInput {
  std::vector<std::int16_t> signal = harmonicTone(4000);
  std::vector<std::int16_t> templateFrame = [this] {
    std::vector<std::int16_t> frame(937);
    for (int i = 0; i < 937; ++i)
      frame[static_cast<std::size_t>(i)] = windowed(signal[1500 + static_cast<std::size_t>(i)], i);
    return frame;
  }();
  std::size_t regionStart = 1420;
};

void BM_FrameSearch_Fast(benchmark::State& state) {
  const FrameInput input;
  LagSearch search;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        search.findLag(std::span<const std::int16_t, 937>(input.templateFrame.data(), 937),
                       std::span<const std::int16_t, 1093>(input.signal.data() + input.regionStart, 1093)));
  }
}
BENCHMARK(BM_FrameSearch_Fast);

void BM_FrameSearch_Plain(benchmark::State& state) {
  const FrameInput input;
  PlainSearch search;  // plans and setup outside the loop: the per-frame part only
  for (auto _ : state) {
    benchmark::DoNotOptimize(search.findLag(input.templateFrame.data(), [&](int j) {
      return input.signal[input.regionStart + static_cast<std::size_t>(j)];
    }));
  }
}
BENCHMARK(BM_FrameSearch_Plain);

void BM_CallSetup_Plain(benchmark::State& state) {
  for (auto _ : state) {
    PlainSearch search;  // six buffers, a 1093-point plan pair, two setup transforms
    benchmark::DoNotOptimize(&search);
  }
}
BENCHMARK(BM_CallSetup_Plain);

// ---- One syllable of 0.3 s; the argument is the rate (0: f 1.2, -10: f 1.7, 10: f 0.7) ----

int framesOf(int rate) {
  std::vector<std::int16_t> buffer(kCapacity, 0);
  const auto tone = harmonicTone(kSyllableSamples);
  std::copy(tone.begin(), tone.end(), buffer.begin());
  return plainTimeScale(buffer, kSyllableSamples, rate, 0).frames;
}

void BM_Syllable_Fast(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const auto tone = harmonicTone(kSyllableSamples);
  std::vector<std::int16_t> buffer(kCapacity, 0);
  timeScale(buffer.data(), buffer.size(), 0, rate, 0);  // the process-wide plans are made here, not timed
  for (auto _ : state) {
    std::copy(tone.begin(), tone.end(), buffer.begin());
    std::fill(buffer.begin() + kSyllableSamples, buffer.end(), std::int16_t{0});
    benchmark::DoNotOptimize(timeScale(buffer.data(), buffer.size(), kSyllableSamples, rate, 0));
  }
  const int frames = framesOf(rate);
  state.counters["frames"] = frames;
  state.counters["per_frame"] =
      benchmark::Counter(frames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Syllable_Fast)->Arg(0)->Arg(-10)->Arg(10)->Unit(benchmark::kMicrosecond);

void BM_Syllable_Plain(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const auto tone = harmonicTone(kSyllableSamples);
  std::vector<std::int16_t> buffer(kCapacity, 0);
  int frames = 0;
  for (auto _ : state) {
    std::copy(tone.begin(), tone.end(), buffer.begin());
    std::fill(buffer.begin() + kSyllableSamples, buffer.end(), std::int16_t{0});
    frames = plainTimeScale(buffer, kSyllableSamples, rate, 0).frames;
    benchmark::DoNotOptimize(buffer.data());
  }
  state.counters["frames"] = frames;
  state.counters["per_frame"] =
      benchmark::Counter(frames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Syllable_Plain)->Arg(0)->Arg(-10)->Arg(10)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace sonvale

BENCHMARK_MAIN();
