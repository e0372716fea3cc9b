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

#include "timescale/time_scale.h"

namespace sonvale {
namespace {

constexpr std::size_t kCapacity = 30000;
constexpr std::uint32_t kSyllableSamples = 3308;  // 0.3 s at 11025 Hz

double textbookNearest(double x) { return x - std::floor(x) < 0.5 ? std::floor(x) : std::ceil(x); }
double hann(int i) { return 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / 936.0); }
std::int16_t windowed(std::int16_t x, int i) {
  return static_cast<std::int16_t>(textbookNearest(x * (i < 937 ? hann(i) : 0.0)));
}

// A voiced-speech stand-in: 140 Hz with four harmonics falling as 1/h.
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

// ---- The plain version ----

struct SpectrumBuffer {
  explicit SpectrumBuffer(int points)
      : size(points),
        time(fftw_alloc_complex(static_cast<std::size_t>(points))),
        freq(fftw_alloc_complex(static_cast<std::size_t>(points))) {}
  ~SpectrumBuffer() {
    fftw_free(time);
    fftw_free(freq);
  }
  SpectrumBuffer(const SpectrumBuffer&) = delete;
  SpectrumBuffer& operator=(const SpectrumBuffer&) = delete;
  int size;
  fftw_complex* time;
  fftw_complex* freq;
};

class FourierPair {
 public:
  explicit FourierPair(SpectrumBuffer& buffer) { plan(buffer); }
  ~FourierPair() { destroy(); }
  FourierPair(const FourierPair&) = delete;
  FourierPair& operator=(const FourierPair&) = delete;
  void bind(SpectrumBuffer& buffer) {
    if (bound_ != nullptr && bound_->size == buffer.size) {
      bound_ = &buffer;
      return;
    }
    destroy();
    plan(buffer);
  }
  void forward() { fftw_execute_dft(forward_, bound_->time, bound_->freq); }
  void backward() { fftw_execute_dft(backward_, bound_->freq, bound_->time); }

 private:
  void plan(SpectrumBuffer& buffer) {
    std::lock_guard<std::mutex> lock(fftwPlannerMutex());
    bound_ = &buffer;
    forward_ = fftw_plan_dft_1d(buffer.size, buffer.time, buffer.freq, FFTW_FORWARD, FFTW_ESTIMATE);
    backward_ = fftw_plan_dft_1d(buffer.size, buffer.freq, buffer.time, FFTW_BACKWARD, FFTW_ESTIMATE);
  }
  void destroy() {
    std::lock_guard<std::mutex> lock(fftwPlannerMutex());
    if (forward_ != nullptr) fftw_destroy_plan(forward_);
    if (backward_ != nullptr) fftw_destroy_plan(backward_);
    forward_ = backward_ = nullptr;
  }
  SpectrumBuffer* bound_ = nullptr;
  fftw_plan forward_ = nullptr;
  fftw_plan backward_ = nullptr;
};

// Setup per call: window spectrum and the spectrum of the tie ramp (-4 per lag).
class PlainSearch {
 public:
  PlainSearch()
      : templateBuffer_(1093), regionBuffer_(1093), windowBuffer_(1093), rampBuffer_(1093), pair_(windowBuffer_) {
    for (int j = 0; j < 1093; ++j) {
      windowBuffer_.time[j][0] = j < 937 ? hann(j) : 0.0;
      windowBuffer_.time[j][1] = 0.0;
      rampBuffer_.time[j][0] = j < 156 ? -4.0 * j / 1093.0 : 0.0;
      rampBuffer_.time[j][1] = 0.0;
    }
    pair_.forward();
    pair_.bind(rampBuffer_);
    pair_.forward();
  }

  template <typename Region>
  std::int32_t findLag(const std::int16_t* templateFrame, Region region) {
    for (int j = 0; j < 1093; ++j) {
      templateBuffer_.time[j][0] = j < 937 ? templateFrame[j] : 0.0;
      templateBuffer_.time[j][1] = 0.0;
      regionBuffer_.time[j][0] = region(j);
      regionBuffer_.time[j][1] = 0.0;
    }
    pair_.bind(templateBuffer_);
    pair_.forward();
    pair_.bind(regionBuffer_);
    pair_.forward();
    for (int k = 0; k < 1093; ++k) {
      const double tRe = templateBuffer_.freq[k][0];
      const double tIm = templateBuffer_.freq[k][1];
      const double rRe = regionBuffer_.freq[k][0];
      const double rIm = regionBuffer_.freq[k][1];
      templateBuffer_.freq[k][0] = tRe * rRe + tIm * rIm + rampBuffer_.freq[k][0];
      templateBuffer_.freq[k][1] = tRe * rIm - tIm * rRe + rampBuffer_.freq[k][1];
    }
    pair_.bind(templateBuffer_);
    pair_.backward();
    double best = -1.79769e+308;
    std::int32_t bestLag = 0;
    for (int l = 0; l < 156; ++l) {
      if (templateBuffer_.time[l][0] > best) {
        best = templateBuffer_.time[l][0];
        bestLag = l;
      }
    }
    return bestLag;
  }

 private:
  SpectrumBuffer templateBuffer_;
  SpectrumBuffer regionBuffer_;
  SpectrumBuffer windowBuffer_;
  SpectrumBuffer rampBuffer_;
  FourierPair pair_;
};

struct PlainResult {
  std::int64_t length;
  int frames;
};

PlainResult plainTimeScale(std::vector<std::int16_t>& buffer, std::int64_t length, int rate, int durationIndex) {
  const double f = scaleOut(rate) + scaleIn(durationIndex);
  if (!(f >= 0.5 && f <= 2.0)) return {-1, 0};
  const std::vector<std::int16_t> saved = buffer;
  auto in = [&](std::int64_t i) -> std::int16_t {
    return i < length && i < static_cast<std::int64_t>(saved.size()) ? saved[static_cast<std::size_t>(i)] : 0;
  };
  PlainSearch search;
  const auto lPrime =
      std::max<std::int64_t>(static_cast<std::int64_t>(textbookNearest(f * static_cast<double>(length))), 1);
  std::vector<std::int32_t> output(static_cast<std::size_t>(lPrime), 0);
  auto add = [&](std::int64_t at, std::int32_t value) {
    auto& sample = output[static_cast<std::size_t>(at)];
    sample = std::clamp(sample + value, -32768, 32767);
  };
  for (std::int64_t i = 0; i < std::min<std::int64_t>(469, lPrime); ++i)
    add(i, windowed(in(i), 469 + static_cast<int>(i)));
  std::int64_t templatePos = 0;
  std::int64_t sourcePos = 0;
  std::int64_t outputPos = 0;
  double hopSum = 0.0;
  int frames = 0;
  std::vector<std::int16_t> templateFrame(937);
  while (sourcePos + 937 < length && templatePos + 937 < length && outputPos + 469 < lPrime - 1) {
    for (int i = 0; i < 937; ++i) templateFrame[static_cast<std::size_t>(i)] = windowed(in(templatePos + i), i);
    if (outputPos != 0) sourcePos += search.findLag(templateFrame.data(), [&](int j) { return in(sourcePos + j); });
    const std::int64_t count = std::min<std::int64_t>(937, lPrime - 1 - outputPos);
    for (std::int64_t i = 0; i < count; ++i) add(outputPos + i, windowed(in(sourcePos + i), static_cast<int>(i)));
    templatePos = static_cast<std::int64_t>(textbookNearest(static_cast<double>(sourcePos) + 937 * 0.5));
    hopSum += 937 * 0.5;
    sourcePos = static_cast<std::int64_t>(textbookNearest(hopSum / f));
    outputPos = static_cast<std::int64_t>(textbookNearest(hopSum));
    ++frames;
  }
  const auto lOut = std::min<std::int64_t>(static_cast<std::int64_t>(textbookNearest(f * static_cast<double>(length))),
                                           static_cast<std::int64_t>(buffer.size()));
  std::fill(buffer.begin(), buffer.end(), std::int16_t{0});
  for (std::int64_t i = 0; i < lOut; ++i)
    buffer[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(output[static_cast<std::size_t>(i)]);
  return {lOut, frames};
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
