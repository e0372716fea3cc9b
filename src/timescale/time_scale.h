// Time-scale modification: makes a syllable longer or shorter without changing
// its pitch, by overlap-add of Hann-windowed frames.
//
// Frames are N = 937 samples (85 ms at 11025 Hz). Frame k lands in the output
// at nearest(468.5 k), so output hops alternate 469 and 468 samples, and is
// read from the input at nearest(468.5 k / f) plus a lag of 0..155 samples. The
// lag is searched so that the frame continues the one before it: the template
// is the windowed input 469 samples after the previous frame's start, and the
// lag maximises its cross-correlation with the raw input at the candidate
// start, all 156 lags at once with FFTs (see LagSearch). The first frame sits
// at input 0 with lag 0; before it, the falling half of the window over the
// first 469 input samples (the lead-in) keeps the onset at full level. Every
// double becomes an integer with nearest(): halves are raised, negative ones too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

namespace sonvale {

// floor(x) when x - floor(x) < 0.5, else ceil(x): halves go up, so -2.5 gives
// -2. Defined for finite |x| < 2^62.
constexpr std::int64_t nearest(double x) noexcept {
  const auto truncated = static_cast<std::int64_t>(x);
  const std::int64_t floorValue = static_cast<double>(truncated) > x ? truncated - 1 : truncated;
  return x - static_cast<double>(floorValue) < 0.5 ? floorValue : floorValue + 1;
}

inline constexpr std::int32_t kTimeScaleRateHz = 11025;
// nearest(11025 * 0.085): 937.125 -> 937.
inline constexpr std::int32_t kFrameSamples = static_cast<std::int32_t>(nearest(kTimeScaleRateHz * 0.085));
// nearest(937 * 0.5): 468.5 -> 469.
inline constexpr std::int32_t kHalfFrameSamples = static_cast<std::int32_t>(nearest(kFrameSamples * 0.5));
inline constexpr double kOutputHopSamples = kFrameSamples * 0.5;
// nearest(937 / 6): 156.17 -> 156 candidate lags, 0..155.
inline constexpr std::int32_t kSearchLags = static_cast<std::int32_t>(nearest(kFrameSamples * (1.0 / 6.0)));
// Template plus every candidate frame start: 1093 samples of search region.
inline constexpr std::int32_t kTransformPoints = kFrameSamples + kSearchLags;

// The rate and durationIndex tables run from -10 to +10; indices outside are
// clamped to the nearest end.
inline constexpr int kMinScaleIndex = -10;
inline constexpr int kMaxScaleIndex = 10;

// ScaleOut by the rate SAPI reports: 1.7 at -10 down to 0.7 at +10 in steps of
// 0.05 (1.2 at rate 0), as the doubles nearest those decimals.
double scaleOut(int rate) noexcept;

// ScaleIn by a syllable's durationIndex: -0.02 * d, that is 0.2 at -10 down to
// -0.2 at +10, as the doubles nearest those decimals.
double scaleIn(int durationIndex) noexcept;

// Fast speech extends the fast end of the rate scale: above rate 0 speech runs
// kFastestSpeedup^(rate / 10) times as fast as at rate 0, syllables and pauses
// alike, so rate +10 is kFastestSpeedup times as fast. Rates 0 and below are
// as without it.
inline constexpr double kFastestSpeedup = 3.5;
// Shortest factor fast speech scales by (rate +10 with durationIndex +10 gives 0.29).
inline constexpr double kFastMinFactor = 0.25;

// How many times faster than rate 0 speech runs at `rate` with fast speech:
// 1 at rate 0 and below, kFastestSpeedup at +10 and above.
double fastSpeedup(int rate) noexcept;

// The time-scale factor of a syllable: scaleOut(rate) + scaleIn(durationIndex);
// with fast speech and a rate above 0, (scaleOut(0) + scaleIn(durationIndex)) /
// fastSpeedup(rate), so a word's own prosody keeps its proportions.
double timeScaleFactor(int rate, int durationIndex, bool fastSpeech) noexcept;

// The Hann window w[i] = 0.5 - 0.5 cos(2 pi i / (N - 1)), i < N; w[0] = w[N-1] = 0.
const std::array<double, kFrameSamples>& timeScaleWindow() noexcept;

// Adds two 16-bit samples, saturating to -32768..32767 instead of wrapping.
std::int16_t addSamplesSaturated(std::int16_t a, std::int16_t b) noexcept;

struct TimeScaleResult {
  bool applied;  // false: buffer untouched, length as handed in
  std::uint32_t lengthSamples;
};

// Stretches or compresses the `lengthSamples` samples at the start of
// buffer[0..capacitySamples) by f = timeScaleFactor(rate, durationIndex,
// fastSpeech), keeping their pitch. It applies when 0.5 <= f <= 2.0 (with fast
// speech kFastMinFactor <= f <= 2.0): the buffer then holds
// nearest(f * L) samples (at most capacitySamples) followed by zeros up to the
// capacity. Otherwise, or when memory or FFT plans cannot be had, nothing
// changes. A length beyond the capacity counts as the capacity; a null buffer
// as capacity 0. Safe to call on several threads at once.
TimeScaleResult timeScale(std::int16_t* buffer, std::size_t capacitySamples, std::uint32_t lengthSamples, int rate,
                          int durationIndex, bool fastSpeech = false) noexcept;

// The lag search of one frame, kept apart so that it can be measured and
// checked against a plain 1093-point transform. Each object owns its transform
// buffers; the FFT plans are made once per process and shared.
class LagSearch {
 public:
  LagSearch() noexcept;
  ~LagSearch();
  LagSearch(const LagSearch&) = delete;
  LagSearch& operator=(const LagSearch&) = delete;

  // False when the buffers or the plans could not be made; findLag then gives 0.
  bool ready() const noexcept;

  // Given the windowed template and the kTransformPoints raw input samples
  // that start at the frame's nominal position, returns the lag 0..155 whose
  // candidate frame correlates best with the template; ties go to the lowest lag.
  std::int32_t findLag(std::span<const std::int16_t, kFrameSamples> templateFrame,
                       std::span<const std::int16_t, kTransformPoints> region) noexcept;

 private:
  struct Workspace;
  Workspace* workspace_ = nullptr;
};

// Makes the process's shared FFT plans now, so that the first time scaling
// does not wait for them (they take milliseconds). False when FFTW could not
// make them; timeScale() then tries again. Safe on several threads at once.
bool prepareTimeScale() noexcept;

// FFTW's planner is not re-entrant: whoever makes or destroys a plan in this
// process holds this lock while doing it. Executing a made plan needs no lock.
std::mutex& fftwPlannerMutex() noexcept;

}  // namespace sonvale
