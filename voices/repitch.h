// Giving a recorded syllable the pitch contour of its tone, by
// pitch-synchronous overlap-add.
//
// Analysis marks, one per period of the voiced part (pitch_tracker.h): one at
// the strongest sample of the first period, each next one a period on, where
// a period-long stretch best matches the one before (so that every mark sits
// at the same point of its period), and back a tracked period at a time to
// the first before the start of the voiced part. Synthesis marks are laid from
// the first mark at the target's periods; each takes a blend of the grains
// of the two analysis marks around it in time, weighted by how near it is to
// each, so the length is kept and the sound moves on smoothly where a period
// is in effect repeated or left out (the grains are cut at the same point of
// their periods, so they add up in phase). Outside the voiced
// part the marks are 5 ms apart and take their grain from where they stand,
// which gives the signal back unchanged.
//
// A grain is the signal under a window of two cos² halves. Between two voiced
// marks each half is its grain's analysis period on that side, so where the
// pitch is kept the windows add up to 1 and the output is the input; anywhere
// else a half spans the gap to the neighbouring mark, which adds up to 1 too,
// so nothing jumps where the voiced part begins or ends. A grain's gain,
// sqrt(synthesis period / analysis period), keeps the power of the voice
// where periods come closer together or further apart. Grains land at
// fractional positions (16-tap windowed sinc), so the periods carry no
// rounding jitter, and they are moved, not stretched: the formants stay.
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
