#include "synth/syllable_math.h"

#include <algorithm>
#include <limits>

namespace sonvale::synth {

int clampTo(int value, int low, int high) { return std::clamp(value, low, high); }

int trimLevel(int rate) { return -10 - clampTo(rate, kMinRate, kMaxRate); }

int trimScale(int) { return 2000; }

int volumeIn(int volumeIndex) { return 3 * clampTo(volumeIndex, kMinParam, kMaxParam); }

int edgeTimeIn(int cut) { return clampTo(cut, kMinParam, kMaxParam) - 5; }

int padDivisor(int durationIndex) { return 600 - 50 * clampTo(durationIndex, kMinPadIndex, kMaxPadIndex); }

std::uint64_t mulDiv(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  __extension__ using Wide = unsigned __int128;
  const Wide q = static_cast<Wide>(a) * b / c;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return q > kMax ? kMax : static_cast<std::uint64_t>(q);
}

std::uint64_t firstTrimThreshold(int rate, std::uint64_t energy) {
  const auto level = static_cast<std::uint64_t>(-trimLevel(rate));  // |-10 - rate| for rate in -10..10
  const auto scale = static_cast<std::uint64_t>(trimScale(rate));
  return mulDiv(level, energy, scale * scale);
}

std::uint32_t trimStartSamples(std::span<const std::int16_t> samples, std::uint64_t threshold) {
  std::uint64_t sum = 0;
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const auto s = static_cast<std::int64_t>(samples[k]);
    sum += static_cast<std::uint64_t>(s * s);
    if (sum > threshold) return static_cast<std::uint32_t>(k);
  }
  return static_cast<std::uint32_t>(samples.size());
}

std::uint32_t trimEndSamples(std::span<const std::int16_t> samples, std::uint64_t threshold) {
  const std::size_t n = samples.size();
  if (n < 2) return 0;
  std::uint64_t sum = 0;
  for (std::size_t i = 1; i <= n - 1; ++i) {
    const auto s = static_cast<std::int64_t>(samples[n - i]);
    sum += static_cast<std::uint64_t>(s * s);
    if (sum > threshold) return static_cast<std::uint32_t>(i - 1);
  }
  return static_cast<std::uint32_t>(n - 1);
}

std::int32_t volumeGain(int volumeIndex, std::uint16_t volume) {
  return volumeIn(volumeIndex) + (7 * static_cast<std::int32_t>(volume)) / 10;
}

std::uint64_t applyVolume(std::span<const std::int16_t> in, std::int32_t gain, std::span<std::int16_t> out) {
  std::uint64_t energy = 0;
  const std::size_t n = std::min(in.size(), out.size());
  for (std::size_t i = 0; i < n; ++i) {
    // 64-bit product: the gain may reach 45000 at the largest volume a site can report.
    const std::int64_t y = static_cast<std::int64_t>(in[i]) * gain * 9 / 500;
    const auto stored = static_cast<std::int16_t>(std::clamp<std::int64_t>(y, -32768, 32767));
    out[i] = stored;
    energy += static_cast<std::uint64_t>(static_cast<std::int64_t>(stored) * stored);
  }
  return energy;
}

SecondEdges secondEdges(std::span<const std::int16_t> samples, std::uint64_t energy, int cutBefore, int cutAfter,
                        int durationIndex) {
  SecondEdges e;
  const auto n = static_cast<std::uint64_t>(samples.size());
  const auto d = static_cast<std::uint64_t>(padDivisor(durationIndex));
  const int before = edgeTimeIn(cutBefore);
  const int after = edgeTimeIn(cutAfter);
  const auto evenBytes = [](std::uint64_t bytes) { return static_cast<std::uint32_t>(bytes & ~std::uint64_t{1}); };
  if (before > 0) {
    e.silenceBeforeBytes = evenBytes(static_cast<std::uint64_t>(before) * n / d);
  } else {
    e.cutStartBytes = 2 * trimStartSamples(samples, mulDiv(static_cast<std::uint64_t>(-before), energy, d * d));
  }
  if (after > 0) {
    e.silenceAfterBytes = evenBytes(static_cast<std::uint64_t>(after) * n / d);
  } else {
    e.cutEndBytes = 2 * trimEndSamples(samples, mulDiv(static_cast<std::uint64_t>(-after), energy, d * d));
  }
  const auto total = static_cast<std::uint32_t>(2 * n);
  if (e.cutStartBytes + e.cutEndBytes >= total) {
    e.cutStartBytes = e.cutEndBytes = 0;
  } else {
    e.keptBytes = total - e.cutStartBytes - e.cutEndBytes;
  }
  return e;
}

}  // namespace sonvale::synth
