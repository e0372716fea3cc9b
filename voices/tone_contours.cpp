#include "tone_contours.h"

#include <algorithm>
#include <cmath>

#include "pitch_tracker.h"
#include "repitch.h"

namespace sonvale::recipe {

namespace {

struct Knot {
  double position, semitones;
};

struct Contour {
  Knot start, bend, end;  // linear between the knots
};

constexpr Contour kContours[6] = {
    {{0, 6}, {0.5, 6}, {1, 6}},          // 55
    {{0, -3.5}, {0.3, -3.5}, {1, 5.5}},  // 25
    {{0, 0}, {0.5, 0}, {1, 0}},          // 33
    {{0, -5}, {0.5, -6.5}, {1, -8}},     // 21
    {{0, -4}, {0.3, -4}, {1, 0}},        // 23
    {{0, -4}, {0.5, -4}, {1, -4}},       // 22
};

// Loudness of the default voice's voiced parts against tone 1 after the pitch
// is moved, in dB: -1.8, -1.6, -3.8, -4.6, -3.3 for tones 2..6; the gains
// make that -1.2, -1.0, -2.1, -1.8, -1.7 (check_voice_tones measures it).
constexpr double kGainsDb[6] = {-0.5, 0.2, 0.1, 1.3, 2.4, 1.2};

double between(const Knot& a, const Knot& b, double position) {
  return a.semitones + (b.semitones - a.semitones) * (position - a.position) / (b.position - a.position);
}

}  // namespace

double toneTargetSemitones(int tone, double position) {
  if (tone < 1 || tone > 6) return 0;
  const Contour& c = kContours[tone - 1];
  const double p = std::clamp(position, 0.0, 1.0);
  return p <= c.bend.position ? between(c.start, c.bend, p) : between(c.bend, c.end, p);
}

double toneTargetHz(int tone, double position) {
  return kToneReferenceHz * std::exp2(toneTargetSemitones(tone, position) / 12.0);
}

double toneGainDb(int tone) { return tone >= 1 && tone <= 6 ? kGainsDb[tone - 1] : 0.0; }

std::vector<float> giveTone(std::span<const float> samples, double rateHz, int tone) {
  return repitch(samples, trackPitch(samples, rateHz),
                 [tone](double position) { return toneTargetHz(tone, position); });
}

}  // namespace sonvale::recipe
