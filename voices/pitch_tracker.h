// The pitch of a recorded syllable, frame by frame.
//
// Every `hopSamples` a frame centred on the hop's sample compares the signal
// with itself shifted by each lag of 65..450 Hz (the difference function of
// the YIN method, each lag's pair of windows centred on the frame so a moving
// pitch is not biased), normalises it by its running mean, and takes as the
// period the deepest point from the first lag below 0.2 to a quarter beyond
// it (the high formants ripple the function, so the first lag below the
// threshold can fall a little short of the period's dip), else the deepest
// point of all if below 0.35; a parabola through it refines it. A frame is voiced when it has such a
// period and its level is within 35 dB of the loudest frame. Voiced runs
// shorter than 20 ms are dropped, one-frame outliers are replaced by the
// median of their neighbours, and frames across a jump of about an octave
// from the longest run without one (the first frames of a syllable, whose
// windows reach into the silence before it, can come out an octave low) are
// moved by the octave.
//
// A syllable has one voiced stretch (its onset consonant, if any, comes
// before it): voicedPart() finds it, and contourAt() reads the pitch at any
// point of it, bridging frames inside it that were not found voiced.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace sonvale::recipe {

inline constexpr double kPitchMinHz = 65.0;
inline constexpr double kPitchMaxHz = 450.0;

struct PitchTrack {
  double rateHz = 0;
  std::size_t hopSamples = 0;  // frame i is centred on sample i * hopSamples
  std::vector<double> f0Hz;    // per frame; 0 where unvoiced
  // Per frame, the normalised difference at the period found: 0 for a
  // perfectly periodic frame, rising with noise and roughness; 1 where none.
  std::vector<double> aperiodicity;
};

// Tracks `samples` (any scale) at `rateHz` with frames every 5 ms.
PitchTrack trackPitch(std::span<const float> samples, double rateHz);

struct VoicedPart {
  std::size_t firstFrame = 0;
  std::size_t lastFrame = 0;  // inclusive
  bool found = false;         // false: no voiced frame at all
  double startSample(const PitchTrack& t) const { return static_cast<double>(firstFrame * t.hopSamples); }
  double endSample(const PitchTrack& t) const { return static_cast<double>(lastFrame * t.hopSamples); }
};

// The stretch from the first to the last voiced frame.
VoicedPart voicedPart(const PitchTrack& track);

// F0 in Hz at sample position `sample` inside `part`, linear between the
// voiced frames around it (the nearest voiced frame's value at the ends).
double pitchAt(const PitchTrack& track, const VoicedPart& part, double sample);

}  // namespace sonvale::recipe
