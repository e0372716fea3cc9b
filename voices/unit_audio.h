// Turning one synthesized syllable into a unit recording.
//
// The synthesizer speaks 16-bit mono at 22050 Hz. Each recording is
// converted to 11025 Hz by soxr's high-quality one-shot resampler, float out
// and no dither (dither is random, and the voice must come out the same on
// every build), given its tone if it is one syllable (tone_contours.h), then
// scaled by its gain and rounded half away from zero. The
// quiet edges the synthesizer leaves are then cut: the unit keeps what lies
// between the first and last samples of at least `edgeLevel`, plus `marginSamples`
// on each side where the recording has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sonvale::recipe {

inline constexpr std::uint32_t kUnitRateHz = 11025;
inline constexpr std::size_t kMaxUnitSamples = 30000;  // 60000 bytes decoded: the engine's unit buffer

// Converts `in` (mono at `inRateHz`) to 11025 Hz, as floats on the 16-bit
// scale. Returns an empty string on success, else soxr's message.
std::string resampleToUnitRate(std::span<const std::int16_t> in, double inRateHz, std::vector<float>& out);

// Multiplies `in` by `gain` and rounds half away from zero to 16 bits.
// `clipped` counts samples that were beyond the 16-bit range before clamping.
std::vector<std::int16_t> toPcm16(std::span<const float> in, double gain, std::size_t& clipped);

struct Edges {
  std::size_t start = 0;  // first sample kept
  std::size_t end = 0;    // one past the last sample kept; start == end when nothing reaches the level
};

// Where the unit begins and ends: see the file comment.
Edges soundEdges(std::span<const std::int16_t> samples, int edgeLevel, std::size_t marginSamples);

// Largest |sample|; 32768 for -32768.
int peakLevel(std::span<const std::int16_t> samples);

// A canonical 44-byte-header WAV file of 16-bit mono PCM at `rateHz`.
std::vector<std::uint8_t> wavFileBytes(std::span<const std::int16_t> samples, std::uint32_t rateHz);

}  // namespace sonvale::recipe
