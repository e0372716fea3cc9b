// The pitch contours the default voice's syllables are given: the six tones of
// Hong Kong Cantonese (Chao values 55, 25, 33, 21, 23, 22) on the voice's
// range. Heights are semitones against kToneReferenceHz, the voice's mid
// level (tone 3); the high level is 6 semitones above it, the low level 4
// below, the bottom of the low falling tone 8 below. The contour spans the
// syllable's voiced part, so a checked syllable (coda p, t or k), whose voiced
// part is shorter, says its level tone (1, 3 or 6) in a shorter time.
//
//   tone 1 (55): level at +6
//   tone 2 (25): holds -3.5 (a little above the low level) for 30%, then rises to +5.5
//   tone 3 (33): level at 0
//   tone 4 (21): falls from -5 (just under the low level) to -8
//   tone 5 (23): holds -4 for 30%, then rises to 0
//   tone 6 (22): level at -4
#pragma once

#include <span>
#include <vector>

namespace sonvale::recipe {

inline constexpr double kToneReferenceHz = 202.0;

// The target of `tone` (1..6) at `position` (0..1, clamped) of the voiced
// part, in semitones against kToneReferenceHz; 0 for another tone number.
double toneTargetSemitones(int tone, double position);

// The same in Hz.
double toneTargetHz(int tone, double position);

// The gain in dB a syllable of `tone` (1..6) is given after its pitch is
// moved; 0 for another tone number. The synthesizer says the low tones
// 3.3-4.6 dB softer than tone 1; these bring them to 1.7-2.1 dB softer.
double toneGainDb(int tone);

// One syllable's recording (`samples` at `rateHz`) with its voiced part moved
// onto the contour of `tone` (1..6) by repitch.h: same length, same formants.
std::vector<float> giveTone(std::span<const float> samples, double rateHz, int tone);

}  // namespace sonvale::recipe
