#include "synth/syllable_math.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

namespace sonvale::synth {

int clampTo(int value, int low, int high) { return std::clamp(value, low, high); }

int trimLevel(int rate) { return -10 - clampTo(rate, kMinRate, kMaxRate); }

int trimScale(int) { return 2000; }

int volumeIn(int volumeIndex) { return 3 * clampTo(volumeIndex, kMinParam, kMaxParam); }

int edgeTimeIn(int cut) { return clampTo(cut, kMinParam, kMaxParam) - 5; }

int padDivisor(int durationIndex) { return 600 - 50 * clampTo(durationIndex, kMinPadIndex, kMaxPadIndex); }

// 32-bit targets have no 128-bit integer: the product is formed as two 64-bit
// halves from 32-bit pieces, then divided by long division, one bit at a time
// (a few calls a syllable).
std::uint64_t mulDiv(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  constexpr std::uint64_t kLow32 = 0xFFFFFFFFu;
  const std::uint64_t ll = (a & kLow32) * (b & kLow32), lh = (a & kLow32) * (b >> 32);
  const std::uint64_t hl = (a >> 32) * (b & kLow32), hh = (a >> 32) * (b >> 32);
  const std::uint64_t mid = (ll >> 32) + (lh & kLow32) + (hl & kLow32);  // at most 3 x (2^32 - 1)
  std::uint64_t low = (mid << 32) | (ll & kLow32);
  std::uint64_t high = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
  if (high >= c) return kMax;  // the quotient needs more than 64 bits (or c is 0)
  // Invariant: high < c, so each step's remainder fits once the shifted-out
  // top bit is counted.
  std::uint64_t q = 0;
  for (int bit = 0; bit < 64; ++bit) {
    const bool carry = (high >> 63) != 0;
    high = (high << 1) | (low >> 63);
    low <<= 1;
    q <<= 1;
    if (carry || high >= c) {
      high -= c;
      q |= 1;
    }
  }
  return q;
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

namespace {

// The fade's gain for the k-th sample from an edge, out of 32768.
std::int32_t fadeGain(std::uint32_t k) {
  static const std::array<std::int32_t, kFadeSamples> gains = [] {
    std::array<std::int32_t, kFadeSamples> g{};
    for (std::uint32_t i = 0; i < kFadeSamples; ++i) {
      const double phase = std::numbers::pi * (i + 1) / (kFadeSamples + 1);
      g[i] = static_cast<std::int32_t>(std::lround(32768.0 * (1.0 - std::cos(phase)) / 2.0));
    }
    return g;
  }();
  return k < kFadeSamples ? gains[k] : 32768;
}

}  // namespace

void fadeEdges(std::span<std::int16_t> samples) {
  const std::size_t n = samples.size();
  const std::size_t fade = std::min<std::size_t>(n, kFadeSamples);
  const auto scale = [](std::int16_t& x, std::uint32_t k) { x = static_cast<std::int16_t>(x * fadeGain(k) / 32768); };
  for (std::size_t k = 0; k < fade; ++k) {
    scale(samples[k], static_cast<std::uint32_t>(k));
    scale(samples[n - 1 - k], static_cast<std::uint32_t>(k));
  }
}

}  // namespace sonvale::synth
