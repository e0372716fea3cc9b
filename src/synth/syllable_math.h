// The arithmetic of syllable synthesis as plain functions: the parameter
// tables, the energy edge trims and the volume stage. Samples are 16-bit;
// energies are 64-bit sums of squared samples.
//
// Energy edge trim: walking in from one end, add each sample's square to a
// running sum and stop at the first sample that makes the sum exceed the
// threshold; the samples passed before it are cut. From the start every
// sample may be cut; from the end at most n - 1 (the first is never reached).
#pragma once

#include <cstdint>
#include <span>

namespace sonvale::synth {

// Table limits; indices outside them are held at the nearest end.
inline constexpr int kMinRate = -10, kMaxRate = 10;
inline constexpr int kMinParam = -10, kMaxParam = 10;
inline constexpr int kMinPadIndex = -9, kMaxPadIndex = 10;

int clampTo(int value, int low, int high);

// First-trim level by rate: -10 - rate (0 at rate -10, -20 at rate +10).
int trimLevel(int rate);
// First-trim scale by rate: 2000 at every rate.
int trimScale(int rate);
// lVolumeIn by volumeIndex: 3 x volumeIndex.
int volumeIn(int volumeIndex);
// BeDelTimeIn / AfDelTimeIn by cutBefore / cutAfter: value - 5.
int edgeTimeIn(int cut);
// Pad divisor by durationIndex (-9..10): 600 - 50 x durationIndex.
int padDivisor(int durationIndex);

// floor(a x b / c) in unsigned 64 bits without intermediate overflow,
// held at the largest value when the result does not fit. c > 0.
std::uint64_t mulDiv(std::uint64_t a, std::uint64_t b, std::uint64_t c);

// The first-trim threshold: |trim level| x energy / trim scale^2.
std::uint64_t firstTrimThreshold(int rate, std::uint64_t energy);

// Samples cut from the start / from the end by the energy edge trim.
std::uint32_t trimStartSamples(std::span<const std::int16_t> samples, std::uint64_t threshold);
std::uint32_t trimEndSamples(std::span<const std::int16_t> samples, std::uint64_t threshold);

// The volume gain: lVolumeIn[volumeIndex] + (7 x volume) / 10.
std::int32_t volumeGain(int volumeIndex, std::uint16_t volume);

// out[i] = in[i] x gain x 9 / 500, truncated toward zero and held to the
// 16-bit range. Returns the energy of the stored samples.
std::uint64_t applyVolume(std::span<const std::int16_t> in, std::int32_t gain, std::span<std::int16_t> out);

// What the second trim does to the volume-scaled samples of a syllable: a
// side whose value (cut - 5) is positive gets value x n / D bytes of silence
// (D the pad divisor of durationIndex), rounded down to whole samples so the
// stream stays aligned; a side whose value v is 0 or below is cut with the
// energy edge trim at |v| x energy / D^2. When the cuts cover every sample,
// none is kept.
struct SecondEdges {
  std::uint32_t silenceBeforeBytes = 0, silenceAfterBytes = 0;
  std::uint32_t cutStartBytes = 0, cutEndBytes = 0;
  std::uint32_t keptBytes = 0;
};
SecondEdges secondEdges(std::span<const std::int16_t> samples, std::uint64_t energy, int cutBefore, int cutAfter,
                        int durationIndex);

// Smoothed cuts. The trims cut a syllable wherever the energy says, often in
// the middle of a wave, so the samples written next to silence or to the
// next syllable can be loud: a click. A raised-cosine fade over the first and
// the last kFadeSamples samples takes each edge down towards zero. The k-th
// sample from an edge (k = 0..kFadeSamples - 1) is multiplied by
// (1 - cos(pi (k + 1) / (kFadeSamples + 1))) / 2, held as a fraction of 32768
// and applied as x * gain / 32768 truncated toward zero: the outermost sample
// keeps 74/32768 of itself, so no edge ends up beyond 74 in magnitude. A
// syllable shorter than two fades gets both where they overlap. The length of
// the samples never changes.
inline constexpr std::uint32_t kFadeSamples = 32;  // 2.9 ms at 11025 Hz

void fadeEdges(std::span<std::int16_t> samples);

}  // namespace sonvale::synth
