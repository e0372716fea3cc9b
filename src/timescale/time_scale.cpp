// Time-scale modification by Hann-windowed overlap-add with an FFT lag search.
//
// Per call: f from the two tables; gate 0.5 <= f <= 2.0; L' = max(1, nearest(f L))
// output samples, zeroed. Lead-in: out[i] += nearest(in[i] w[469 + i]), i < min(469, L').
// Frame loop, while sourcePos + 937 < L, templatePos + 937 < L and outputPos + 469 < L' - 1:
// the template is in[templatePos..] windowed; every frame but the first adds the
// searched lag to sourcePos; the frame in[sourcePos..] windowed is added at outputPos
// for min(937, L' - 1 - outputPos) samples; templatePos = sourcePos + 469;
// hopSum += 468.5, sourcePos = nearest(hopSum / f), outputPos = nearest(hopSum).
// Hand-back: the buffer is cleared and gets the first nearest(f L) output samples.
//
// The lag score is the cross-correlation of the template with the raw input at
// each candidate start. Since the template is windowed, this is the inner
// product of the template with the candidate frame under the same Hann
// weights, the overlap-add's own measure of how well the candidate continues
// the frame already placed. Over 156 lags (14 ms, one pitch period down to
// 71 Hz) the level of voiced speech barely changes, so the peak is the
// candidate that is in phase with the template rather than merely louder; an
// energy normalisation would need the spectrum of the squared region, three
// more transforms per frame, for no change on such signals.
//
// Template and region are 16-bit integers, so every correlation is an integer
// below 2^40. The transforms give it to within 1e-3, and rounding recovers it
// exactly: the ranking (highest correlation, then lowest lag) is exact and the
// same for any transform size that avoids wrap-around, here real transforms of
// 1152 points (2^7 * 3^2: with FFTW_ESTIMATE about 1.3 us each, against about
// 30 us for a complex one of 1093 points, a prime), planned once per process
// under fftwPlannerMutex(). A 1093-point complex computation ranks the same
// when its score adds a ramp of -4 per lag to 1093 times the correlation: the
// ramp (at most 620) never reorders distinct correlations, which differ by
// 1093 or more, and it settles exact ties, which rounding noise (under 0.5
// even at full scale) would otherwise decide, in favour of the lowest lag.
//
// Sums saturate to 16 bits. With this window and hop they never need to: two
// overlapping windows add to at most 1 + 4e-16, and rounding each term cannot
// carry the sum past the range. The clamp stays as a guard.
#include "timescale/time_scale.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>
#include <optional>
#include <vector>

namespace sonvale {
namespace {

// Real transforms of this size hold the whole correlation without wrap-around:
// template index + lag stays below kFrameSamples + kSearchLags - 1 <= 1152.
constexpr int kFastTransformPoints = 1152;
constexpr int kFastSpectrumBins = kFastTransformPoints / 2 + 1;
static_assert(kFastTransformPoints >= kTransformPoints);

constexpr std::array<double, 21> kScaleOut = {1.7,  1.65, 1.6,  1.55, 1.5,  1.45, 1.4,  1.35, 1.3,  1.25, 1.2,
                                              1.15, 1.1,  1.05, 1.0,  0.95, 0.9,  0.85, 0.8,  0.75, 0.7};
constexpr std::array<double, 21> kScaleIn = {0.2,   0.18,  0.16,  0.14,  0.12, 0.1,   0.08,  0.06,  0.04,  0.02, 0.0,
                                             -0.02, -0.04, -0.06, -0.08, -0.1, -0.12, -0.14, -0.16, -0.18, -0.2};

std::size_t tableRow(int index) {
  return static_cast<std::size_t>(std::clamp(index, kMinScaleIndex, kMaxScaleIndex) - kMinScaleIndex);
}

// Transform arrays come from here, all on the same 64-byte boundary, so that
// plans made on one pair of arrays may be executed on any other; and FFTW
// itself is called outside the planner lock only to execute a plan, the one
// thing it promises is safe on several threads at once.
constexpr std::align_val_t kTransformAlignment{64};

template <typename T>
T* allocateTransformArray(std::size_t count) {
  return static_cast<T*>(::operator new[](count * sizeof(T), kTransformAlignment, std::nothrow));
}

void freeTransformArray(void* array) {
  if (array != nullptr) ::operator delete[](array, kTransformAlignment);
}

struct SharedPlans {
  fftw_plan forward = nullptr;   // real 1152 points -> 577 bins
  fftw_plan backward = nullptr;  // 577 bins -> real 1152 points, unscaled
};

// Made on first use and kept for the life of the process; null when FFTW could
// not make them (the next call tries again).
const SharedPlans* sharedPlans() {
  static SharedPlans plans;
  std::lock_guard<std::mutex> lock(fftwPlannerMutex());
  if (plans.forward != nullptr && plans.backward != nullptr) return &plans;
  auto* time = allocateTransformArray<double>(kFastTransformPoints);
  auto* freq = allocateTransformArray<fftw_complex>(kFastSpectrumBins);
  if (time != nullptr && freq != nullptr) {
    if (plans.forward == nullptr) {
      plans.forward = fftw_plan_dft_r2c_1d(kFastTransformPoints, time, freq, FFTW_ESTIMATE);
    }
    if (plans.backward == nullptr) {
      plans.backward = fftw_plan_dft_c2r_1d(kFastTransformPoints, freq, time, FFTW_ESTIMATE);
    }
  }
  freeTransformArray(time);
  freeTransformArray(freq);
  return plans.forward != nullptr && plans.backward != nullptr ? &plans : nullptr;
}

}  // namespace

std::mutex& fftwPlannerMutex() noexcept {
  static std::mutex mutex;
  return mutex;
}

bool prepareTimeScale() noexcept { return sharedPlans() != nullptr; }

double scaleOut(int rate) noexcept { return kScaleOut[tableRow(rate)]; }

double scaleIn(int durationIndex) noexcept { return kScaleIn[tableRow(durationIndex)]; }

double fastSpeedup(int rate) noexcept {
  if (rate <= 0) return 1.0;
  return std::pow(kFastestSpeedup, std::min(rate, kMaxScaleIndex) / static_cast<double>(kMaxScaleIndex));
}

double timeScaleFactor(int rate, int durationIndex, bool fastSpeech) noexcept {
  if (!fastSpeech || rate <= 0) return scaleOut(rate) + scaleIn(durationIndex);
  return (scaleOut(0) + scaleIn(durationIndex)) / fastSpeedup(rate);
}

const std::array<double, kFrameSamples>& timeScaleWindow() noexcept {
  static const std::array<double, kFrameSamples> window = [] {
    std::array<double, kFrameSamples> w{};
    for (std::int32_t i = 0; i < kFrameSamples; ++i) {
      w[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / (kFrameSamples - 1));
    }
    return w;
  }();
  return window;
}

std::int16_t addSamplesSaturated(std::int16_t a, std::int16_t b) noexcept {
  const std::int32_t sum = std::int32_t{a} + std::int32_t{b};
  return static_cast<std::int16_t>(std::clamp<std::int32_t>(sum, -32768, 32767));
}

struct LagSearch::Workspace {
  const SharedPlans* plans = nullptr;
  double* templateTime = nullptr;
  double* regionTime = nullptr;
  fftw_complex* templateFreq = nullptr;
  fftw_complex* regionFreq = nullptr;
};

LagSearch::LagSearch() noexcept {
  auto* workspace = new (std::nothrow) Workspace;
  if (workspace == nullptr) return;
  workspace->plans = sharedPlans();
  workspace->templateTime = allocateTransformArray<double>(kFastTransformPoints);
  workspace->regionTime = allocateTransformArray<double>(kFastTransformPoints);
  workspace->templateFreq = allocateTransformArray<fftw_complex>(kFastSpectrumBins);
  workspace->regionFreq = allocateTransformArray<fftw_complex>(kFastSpectrumBins);
  workspace_ = workspace;
}

LagSearch::~LagSearch() {
  if (workspace_ == nullptr) return;
  freeTransformArray(workspace_->templateTime);
  freeTransformArray(workspace_->regionTime);
  freeTransformArray(workspace_->templateFreq);
  freeTransformArray(workspace_->regionFreq);
  delete workspace_;
}

bool LagSearch::ready() const noexcept {
  return workspace_ != nullptr && workspace_->plans != nullptr && workspace_->templateTime != nullptr &&
         workspace_->regionTime != nullptr && workspace_->templateFreq != nullptr && workspace_->regionFreq != nullptr;
}

std::int32_t LagSearch::findLag(std::span<const std::int16_t, kFrameSamples> templateFrame,
                                std::span<const std::int16_t, kTransformPoints> region) noexcept {
  if (!ready()) return 0;
  Workspace& ws = *workspace_;
  // Both inputs are rewritten in full: the backward transform below overwrites
  // templateTime, zero padding included.
  for (std::int32_t j = 0; j < kFrameSamples; ++j) ws.templateTime[j] = templateFrame[j];
  std::fill(ws.templateTime + kFrameSamples, ws.templateTime + kFastTransformPoints, 0.0);
  for (std::int32_t j = 0; j < kTransformPoints; ++j) ws.regionTime[j] = region[j];
  std::fill(ws.regionTime + kTransformPoints, ws.regionTime + kFastTransformPoints, 0.0);

  fftw_execute_dft_r2c(ws.plans->forward, ws.templateTime, ws.templateFreq);
  fftw_execute_dft_r2c(ws.plans->forward, ws.regionTime, ws.regionFreq);
  // conj(T) R: its inverse at l is sum_j t[j] r[j + l], the correlation.
  for (int k = 0; k < kFastSpectrumBins; ++k) {
    const double tRe = ws.templateFreq[k][0];
    const double tIm = ws.templateFreq[k][1];
    const double rRe = ws.regionFreq[k][0];
    const double rIm = ws.regionFreq[k][1];
    ws.templateFreq[k][0] = tRe * rRe + tIm * rIm;
    ws.templateFreq[k][1] = tRe * rIm - tIm * rRe;
  }
  fftw_execute_dft_c2r(ws.plans->backward, ws.templateFreq, ws.templateTime);

  // The backward transform is unscaled; dividing and rounding gives the exact
  // integer correlation. Strictly greater wins, so the lowest of equal lags stays.
  std::int64_t bestScore = std::numeric_limits<std::int64_t>::min();
  std::int32_t bestLag = 0;
  for (std::int32_t lag = 0; lag < kSearchLags; ++lag) {
    const std::int64_t score = nearest(ws.templateTime[lag] / kFastTransformPoints);
    if (score > bestScore) {
      bestScore = score;
      bestLag = lag;
    }
  }
  return bestLag;
}

TimeScaleResult timeScale(std::int16_t* buffer, std::size_t capacitySamples, std::uint32_t lengthSamples, int rate,
                          int durationIndex, bool fastSpeech) noexcept {
  const TimeScaleResult unchanged{false, lengthSamples};
  const double factor = timeScaleFactor(rate, durationIndex, fastSpeech);
  // r = 10 with d = 10 gives 0.49999999999999994 and stays unscaled. Below
  // 0.5 the input hop passes a whole frame, so frames no longer overlap in
  // the input; each still continues the last one in phase, through the lag
  // search, which is what fast speech relies on.
  const bool fast = fastSpeech && rate > 0;
  const double lowest = fast ? kFastMinFactor : 0.5;
  if (!(factor >= lowest && factor <= 2.0)) return unchanged;

  const std::size_t capacity = buffer == nullptr ? 0 : capacitySamples;
  const auto inputLength = static_cast<std::int64_t>(std::min<std::size_t>(lengthSamples, capacity));
  const std::int64_t scaledLength = nearest(factor * static_cast<double>(inputLength));
  const std::int64_t workLength = std::max<std::int64_t>(scaledLength, 1);  // L'
  const auto handBackLength = static_cast<std::size_t>(std::min<std::int64_t>(
      scaledLength,
      static_cast<std::int64_t>(std::min<std::uint64_t>(capacity, std::numeric_limits<std::int64_t>::max()))));

  // Frames that start at or past the capacity only touch samples that are never
  // handed back, so the loop stops there and the output needs at most
  // capacity + N samples. Reads run at most kSearchLags past the input, so a
  // zero tail of kTransformPoints covers every frame and region.
  const std::size_t outputSize =
      static_cast<std::size_t>(workLength) <= capacity
          ? static_cast<std::size_t>(workLength)
          : std::min<std::size_t>(static_cast<std::size_t>(workLength), capacity + kFrameSamples);
  std::vector<std::int16_t> input;
  std::vector<std::int16_t> output;
  std::vector<std::int16_t> templateFrame;
  try {
    input.assign(static_cast<std::size_t>(inputLength) + kTransformPoints, 0);
    output.assign(outputSize, 0);
    templateFrame.assign(kFrameSamples, 0);
  } catch (const std::bad_alloc&) {
    return unchanged;
  }
  if (inputLength > 0) std::memcpy(input.data(), buffer, static_cast<std::size_t>(inputLength) * 2);

  // Only inputs longer than one frame reach the search.
  std::optional<LagSearch> search;
  if (inputLength > kFrameSamples) {
    search.emplace();
    if (!search->ready()) return unchanged;
  }

  const auto& window = timeScaleWindow();
  const std::int16_t* in = input.data();

  // Lead-in. Its last index, 468, would take w[937], one past the window; the
  // window is zero outside its frame (the formula's value there, 1.1e-5, also
  // rounds to 0 for every 16-bit sample).
  const std::int64_t leadIn = std::min<std::int64_t>(kHalfFrameSamples, workLength);
  for (std::int64_t i = 0; i < leadIn && kHalfFrameSamples + i < kFrameSamples; ++i) {
    const auto at = static_cast<std::size_t>(i);
    const auto value = static_cast<std::int16_t>(nearest(in[i] * window[kHalfFrameSamples + at]));
    output[at] = addSamplesSaturated(output[at], value);
  }

  std::int64_t templatePos = 0;
  std::int64_t sourcePos = 0;
  std::int64_t outputPos = 0;
  double hopSum = 0.0;
  // A frame cut off at the end of the output ends the syllable with a step
  // from mid-window to zero, a click; fast speech, whose syllables are only a
  // few frames long, places whole frames only and ends on a falling half.
  while (sourcePos + kFrameSamples < inputLength && templatePos + kFrameSamples < inputLength &&
         outputPos + kHalfFrameSamples < workLength - 1 && (!fast || outputPos + kFrameSamples <= workLength - 1)) {
    if (static_cast<std::size_t>(outputPos) >= capacity) break;
    if (outputPos != 0) {
      for (std::int32_t i = 0; i < kFrameSamples; ++i) {
        templateFrame[i] = static_cast<std::int16_t>(nearest(in[templatePos + i] * window[i]));
      }
      sourcePos += search->findLag(std::span<const std::int16_t, kFrameSamples>(templateFrame.data(), kFrameSamples),
                                   std::span<const std::int16_t, kTransformPoints>(in + sourcePos, kTransformPoints));
    }
    const std::int64_t count = std::min<std::int64_t>(kFrameSamples, workLength - 1 - outputPos);
    for (std::int64_t i = 0; i < count; ++i) {
      const auto value = static_cast<std::int16_t>(nearest(in[sourcePos + i] * window[static_cast<std::size_t>(i)]));
      const auto at = static_cast<std::size_t>(outputPos + i);
      output[at] = addSamplesSaturated(output[at], value);
    }
    templatePos = nearest(static_cast<double>(sourcePos) + kFrameSamples * 0.5);
    hopSum += kOutputHopSamples;
    sourcePos = nearest(hopSum / factor);
    outputPos = nearest(hopSum);
  }

  std::fill(buffer, buffer + capacity, std::int16_t{0});
  std::copy(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(handBackLength), buffer);
  return {true, static_cast<std::uint32_t>(handBackLength)};
}

}  // namespace sonvale
