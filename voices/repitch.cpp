#include "repitch.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace sonvale::recipe {

namespace {

constexpr double kIdentitySpacingSeconds = 0.005;
constexpr int kSincHalfTaps = 8;

struct Mark {
  double at = 0;    // synthesis position
  double from = 0;  // where its grain is taken from
  // A voiced mark's grain is a blend: `blend` of the one at `alsoFrom`.
  double alsoFrom = 0, blend = 0;
  // A voiced mark's analysis periods before and after its grain, and the
  // grain's gain; all 0 outside the voiced part.
  double periodBefore = 0, periodAfter = 0, gain = 0;
};

double at(std::span<const float> x, long i) {
  return i >= 0 && i < static_cast<long>(x.size()) ? x[static_cast<std::size_t>(i)] : 0.0;
}

// The analysis mark one period after `mark`: the lag within 15% of `period`
// at which a period-long stretch around `mark` best matches itself, refined
// by a parabola, so that every mark sits at the same point of its period.
double nextMark(std::span<const float> x, double mark, double period) {
  const long centre = std::lround(mark);
  const long half = std::max(1L, std::lround(period / 2));
  const long shortest = static_cast<long>(std::floor(period * 0.85)),
             longest = static_cast<long>(std::ceil(period * 1.15));
  std::vector<double> match;
  for (long lag = shortest - 1; lag <= longest + 1; ++lag) {
    double product = 0, here = 0, there = 0;
    for (long u = -half; u <= half; ++u) {
      const double a = at(x, centre + u), b = at(x, centre + lag + u);
      product += a * b;
      here += a * a;
      there += b * b;
    }
    match.push_back(here > 0 && there > 0 ? product / std::sqrt(here * there) : 0.0);
  }
  std::size_t best = 1;
  for (std::size_t i = 1; i + 1 < match.size(); ++i)
    if (match[i] > match[best]) best = i;
  double shift = 0;
  const double curve = match[best - 1] - 2 * match[best] + match[best + 1];
  if (curve < 0) shift = std::clamp(0.5 * (match[best - 1] - match[best + 1]) / curve, -0.5, 0.5);
  return mark + static_cast<double>(shortest - 1) + static_cast<double>(best) + shift;
}

// Taps that read a signal `fraction` (0..1) of a sample later: a sinc under a
// Blackman window, summing to 1.
std::array<double, 2 * kSincHalfTaps> sincTaps(double fraction) {
  std::array<double, 2 * kSincHalfTaps> taps{};
  double sum = 0;
  for (int k = 0; k < 2 * kSincHalfTaps; ++k) {
    const double t = static_cast<double>(k - kSincHalfTaps + 1) - fraction;  // taps at -7..8
    const double sinc = t == 0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
    const double phase = (t + kSincHalfTaps) / (2.0 * kSincHalfTaps);  // 0..1 over the taps
    const double window =
        0.42 - 0.5 * std::cos(2 * std::numbers::pi * phase) + 0.08 * std::cos(4 * std::numbers::pi * phase);
    taps[static_cast<std::size_t>(k)] = sinc * window;
    sum += taps[static_cast<std::size_t>(k)];
  }
  for (double& tap : taps) tap /= sum;
  return taps;
}

// Adds to `out`, centred on `to`, the signal around `from` under a window of
// halves `left` and `right` wide, times `gain`.
void addGrain(std::span<const float> in, double to, double from, double left, double right, double gain,
              std::vector<float>& out) {
  const auto size = static_cast<long>(in.size());
  const double shift = from - to;  // source position = output position + shift
  const double whole = std::floor(shift);
  const double fraction = shift - whole;
  const auto offset = static_cast<long>(whole);
  const auto taps = sincTaps(fraction);
  const auto read = [&](long n) -> double {
    const long base = n + offset;
    if (fraction == 0) return base >= 0 && base < size ? in[static_cast<std::size_t>(base)] : 0.0;
    double sum = 0;
    for (int k = 0; k < 2 * kSincHalfTaps; ++k) {
      const long i = base + k - kSincHalfTaps + 1;
      if (i >= 0 && i < size) sum += taps[static_cast<std::size_t>(k)] * in[static_cast<std::size_t>(i)];
    }
    return sum;
  };
  const long first = std::max(0L, static_cast<long>(std::floor(to - left)) + 1);
  const long last = std::min(size - 1, static_cast<long>(std::ceil(to + right)) - 1);
  for (long n = first; n <= last; ++n) {
    const double u = static_cast<double>(n) - to;
    const double half = u < 0 ? left : right;
    if (std::abs(u) >= half) continue;
    const double c = std::cos(std::numbers::pi / 2 * u / half);
    out[static_cast<std::size_t>(n)] += static_cast<float>(gain * c * c * read(n));
  }
}

}  // namespace

std::vector<float> repitch(std::span<const float> samples, const PitchTrack& track,
                           const std::function<double(double)>& targetHz) {
  const VoicedPart part = voicedPart(track);
  if (!part.found || samples.empty()) return {samples.begin(), samples.end()};
  const double rate = track.rateHz;
  const double start = part.startSample(track);
  const double end = part.endSample(track);
  const double length = std::max(1.0, end - start);

  // Analysis marks: one at the strongest sample of the first period, then
  // one per period to a little past the end of the voiced part.
  double first = start;
  for (double i = start; i < start + rate / pitchAt(track, part, start); ++i)
    if (std::abs(at(samples, static_cast<long>(i))) > std::abs(at(samples, static_cast<long>(first)))) first = i;
  std::vector<double> analysis = {first};
  while (analysis.back() <= end) {
    const double here = analysis.back();
    const double guess = rate / pitchAt(track, part, here);
    analysis.push_back(nextMark(samples, here, rate / pitchAt(track, part, here + guess / 2)));
  }
  // A voiced part shorter than its first period has nothing to move.
  if (analysis.size() < 2) return {samples.begin(), samples.end()};
  // Marks a period apart back to the last one before the start of the voiced
  // part (where the synthesis marks begin, in step with the analysis ones), so
  // its first period is moved too: a low onset would otherwise stay.
  while (analysis.front() >= start) {
    const double period = rate / pitchAt(track, part, analysis.front());
    analysis.insert(analysis.begin(), analysis.front() - period);
  }
  first = analysis.front();

  const double spacing = rate * kIdentitySpacingSeconds;
  std::vector<Mark> marks;
  for (double to = 0; to < first - spacing / 2; to += spacing) marks.push_back({to, to});
  // Each synthesis mark blends the grains of the two analysis marks around
  // it, by how near it is to each: the sound moves on smoothly where periods
  // are repeated or left out (the grains are cut at the same point of their
  // periods, so they add up in phase).
  std::size_t k = 0;
  const auto periodAt = [&analysis](std::size_t i, bool afterMark) {
    if (afterMark) return i + 1 < analysis.size() ? analysis[i + 1] - analysis[i] : analysis[i] - analysis[i - 1];
    return i > 0 ? analysis[i] - analysis[i - 1] : analysis[i + 1] - analysis[i];
  };
  for (double to = first; to <= analysis.back();) {
    while (k + 2 < analysis.size() && analysis[k + 1] <= to) ++k;
    const double blend = std::clamp((to - analysis[k]) / (analysis[k + 1] - analysis[k]), 0.0, 1.0);
    const double before = (1 - blend) * periodAt(k, false) + blend * periodAt(k + 1, false);
    const double after = (1 - blend) * periodAt(k, true) + blend * periodAt(k + 1, true);
    const double step = rate / targetHz(std::clamp((to - start) / length, 0.0, 1.0));
    // A period's grain repeated at a shorter spacing would add power, and at a
    // longer one lose it: the gain keeps the power of the voice as it was.
    marks.push_back(
        {to, analysis[k], analysis[k + 1], blend, before, after, std::sqrt(step / (0.5 * (before + after)))});
    to += step;
  }
  const double tail = marks.back().at + marks.back().periodAfter;
  for (double to = tail; to < static_cast<double>(samples.size()) + spacing; to += spacing) marks.push_back({to, to});

  // Two voiced neighbours overlap by their grains' analysis periods (so that
  // where the pitch is kept the windows add up to 1); anywhere else the half
  // windows span the gap between the marks, and add up to 1 too.
  std::vector<float> out(samples.size(), 0.0f);
  for (std::size_t j = 0; j < marks.size(); ++j) {
    const Mark& m = marks[j];
    const bool voicedBefore = j > 0 && marks[j - 1].gain > 0 && m.gain > 0;
    const bool voicedAfter = j + 1 < marks.size() && marks[j + 1].gain > 0 && m.gain > 0;
    const double before = voicedBefore ? m.periodBefore : j > 0 ? m.at - marks[j - 1].at : spacing;
    const double after = voicedAfter ? m.periodAfter : j + 1 < marks.size() ? marks[j + 1].at - m.at : spacing;
    if (m.gain == 0) {
      addGrain(samples, m.at, m.from, before, after, 1.0, out);
      continue;
    }
    if (m.blend < 1) addGrain(samples, m.at, m.from, before, after, (1 - m.blend) * m.gain, out);
    if (m.blend > 0) addGrain(samples, m.at, m.alsoFrom, before, after, m.blend * m.gain, out);
  }
  return out;
}

}  // namespace sonvale::recipe
