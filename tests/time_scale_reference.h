// The time-scale step written plainly from its rules, for the tests and the
// benchmark to hold the engine's version against: textbook rounding and
// window, and a lag search with 1093-point complex transforms through three
// spectrum buffers and a forward/backward plan pair made per call.
#pragma once

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <numbers>
#include <vector>

#include "timescale/time_scale.h"

namespace sonvale::reference {

// ---- Textbook pieces, written from the rules rather than taken from the code ----

inline double textbookNearest(double x) { return x - std::floor(x) < 0.5 ? std::floor(x) : std::ceil(x); }

inline double hann(int i) { return 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / 936.0); }

// Window values past the frame (index 937, reached by the last lead-in sample) count as 0.
inline double hannInFrame(int i) { return i < 937 ? hann(i) : 0.0; }

inline std::int16_t windowed(std::int16_t x, int i) { return static_cast<std::int16_t>(textbookNearest(x * hannInFrame(i))); }

// ---- The plain version: every step as written, 1093-point complex transforms ----

// Score of the plain search: 1093 * correlation - 4 * lag. The ramp settles
// exact ties towards the lowest lag whatever the transforms' rounding.
constexpr double kTieRampPerLag = 4.0;

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

// The three buffers of the search plus the ramp's spectrum, made per call.
class PlainSearch {
 public:
  PlainSearch()
      : templateBuffer_(1093), regionBuffer_(1093), windowBuffer_(1093), rampBuffer_(1093), pair_(windowBuffer_) {
    for (int j = 0; j < 1093; ++j) {
      windowBuffer_.time[j][0] = j < 937 ? hann(j) : 0.0;
      windowBuffer_.time[j][1] = 0.0;
    }
    pair_.forward();  // windowSpectrum, unused by this score
    for (int j = 0; j < 1093; ++j) {
      rampBuffer_.time[j][0] = j < 156 ? -kTieRampPerLag * j / 1093.0 : 0.0;
      rampBuffer_.time[j][1] = 0.0;
    }
    pair_.bind(rampBuffer_);
    pair_.forward();
  }

  // templateFrame: 937 windowed samples; region(j) the raw input at the nominal start + j.
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

inline const std::array<double, 21> kPlainScaleOut = {1.7,  1.65, 1.6,  1.55, 1.5,  1.45, 1.4,  1.35, 1.3,  1.25, 1.2,
                                               1.15, 1.1,  1.05, 1.0,  0.95, 0.9,  0.85, 0.8,  0.75, 0.7};
inline const std::array<double, 21> kPlainScaleIn = {0.2,   0.18,  0.16,  0.14,  0.12, 0.1,   0.08,  0.06,  0.04,  0.02, 0.0,
                                              -0.02, -0.04, -0.06, -0.08, -0.1, -0.12, -0.14, -0.16, -0.18, -0.2};

struct PlainResult {
  std::int64_t length;  // the new length, or -1 when f is gated out
  int frames;           // frames placed after the lead-in
};

// The whole step as written (with saturation, the capacity cap and zeros read
// past the buffer).
inline PlainResult plainTimeScaleBy(std::vector<std::int16_t>& buffer, std::int64_t length, double f,
                                    bool wholeFramesOnly = false);

inline PlainResult plainTimeScale(std::vector<std::int16_t>& buffer, std::int64_t length, int rate, int durationIndex) {
  const double f =
      kPlainScaleOut[static_cast<std::size_t>(rate + 10)] + kPlainScaleIn[static_cast<std::size_t>(durationIndex + 10)];
  if (!(f >= 0.5 && f <= 2.0)) return {-1, 0};
  return plainTimeScaleBy(buffer, length, f);
}

// Fast speech: above rate 0 the rate-0 factor (1.2 plus ScaleIn) over 3.5^(rate / 10),
// applied from 0.25 up.
inline PlainResult plainFastTimeScale(std::vector<std::int16_t>& buffer, std::int64_t length, int rate,
                                      int durationIndex) {
  if (rate <= 0) return plainTimeScale(buffer, length, rate, durationIndex);
  const double f = (1.2 + kPlainScaleIn[static_cast<std::size_t>(durationIndex + 10)]) / std::pow(3.5, rate / 10.0);
  if (!(f >= 0.25 && f <= 2.0)) return {-1, 0};
  return plainTimeScaleBy(buffer, length, f, true);
}

// The frame loop by factor f, whatever the gate; with wholeFramesOnly, no
// frame is cut off at the end of the output.
inline PlainResult plainTimeScaleBy(std::vector<std::int16_t>& buffer, std::int64_t length, double f,
                                    bool wholeFramesOnly) {
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
  while (sourcePos + 937 < length && templatePos + 937 < length && outputPos + 469 < lPrime - 1 &&
         (!wholeFramesOnly || outputPos + 937 <= lPrime - 1)) {
    for (int i = 0; i < 937; ++i) templateFrame[static_cast<std::size_t>(i)] = windowed(in(templatePos + i), i);
    if (outputPos != 0) {
      sourcePos += search.findLag(templateFrame.data(), [&](int j) { return in(sourcePos + j); });
    }
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

}  // namespace sonvale::reference
