// Giving a recorded syllable the pitch contour of its tone, by
// pitch-synchronous overlap-add.
//
// The voiced part of the syllable (pitch_tracker.h) is cut into grains, one
// per pitch period: analysis marks follow the tracked period from the start
// of the voiced part. Synthesis marks are laid from the same start at the
// target's periods; each takes the grain of the analysis mark nearest to it
// in time (so the length is kept: a period is repeated or left out where the
// pitch rises or falls). Outside the voiced part the marks are 5 ms apart and
// take their grain from where they stand, which gives the signal back
// unchanged.
//
// A grain is the signal under a window of two halves, cos² from 1 to 0 over
// the distance to the next synthesis mark and the mirror of that over the
// distance to the previous one, so neighbouring windows add up to 1: where
// the pitch is kept the output is the input, and nothing jumps at a join.
// Where the pitch is lowered a half is cut to the analysis period, so a grain
// never reaches into the next glottal pulse. Grains land at fractional
// positions (16-tap windowed sinc), so the periods carry no rounding jitter.
// The formants stay where they are: a grain is moved, not stretched.
#pragma once

#include <functional>
#include <span>
#include <vector>

#include "pitch_tracker.h"

namespace sonvale::recipe {

// `targetHz(position)`: the wanted F0 at `position` 0..1 of the voiced part.
// Returns as many samples as `samples` has; a signal without a voiced part
// comes back unchanged.
std::vector<float> repitch(std::span<const float> samples, const PitchTrack& track,
                           const std::function<double(double)>& targetHz);

}  // namespace sonvale::recipe
