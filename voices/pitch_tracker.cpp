#include "pitch_tracker.h"

#include <algorithm>
#include <cmath>

namespace sonvale::recipe {

namespace {

constexpr double kHopSeconds = 0.005;
constexpr double kFirstDipThreshold = 0.2;
constexpr double kVoicedThreshold = 0.35;
constexpr double kLevelRangeDb = 35.0;
constexpr std::size_t kShortestRunFrames = 4;  // 20 ms
constexpr double kOutlierSemitones = 1.0;
constexpr double kOctaveJumpSemitones = 9.0;  // a jump of 9..15 semitones is taken for an octave

double semitonesBetween(double a, double b) { return 12.0 * std::log2(a / b); }

}  // namespace

PitchTrack trackPitch(std::span<const float> samples, double rateHz) {
  PitchTrack track;
  track.rateHz = rateHz;
  track.hopSamples = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(rateHz * kHopSeconds)));
  if (samples.empty()) return track;
  const auto minLag = static_cast<std::size_t>(std::floor(rateHz / kPitchMaxHz));
  const auto maxLag = static_cast<std::size_t>(std::ceil(rateHz / kPitchMinHz));
  const std::size_t window = maxLag;
  // Zeros around the signal, so every frame reads whole windows.
  const std::size_t pad = window + maxLag + 2;
  std::vector<double> x(samples.size() + 2 * pad, 0.0);
  std::copy(samples.begin(), samples.end(), x.begin() + static_cast<std::ptrdiff_t>(pad));

  const std::size_t frames = samples.size() / track.hopSamples + 1;
  track.f0Hz.assign(frames, 0.0);
  track.aperiodicity.assign(frames, 1.0);
  std::vector<double> level(frames, 0.0), diff(maxLag + 2, 0.0), normalized(maxLag + 2, 1.0);
  for (std::size_t i = 0; i < frames; ++i) {
    const std::size_t centre = pad + i * track.hopSamples;
    for (std::size_t j = centre - window / 2; j < centre + window / 2; ++j) level[i] += x[j] * x[j];
    double running = 0;
    for (std::size_t lag = 1; lag <= maxLag + 1; ++lag) {
      const std::size_t start = centre - (window + lag) / 2;
      double d = 0;
      for (std::size_t j = start; j < start + window; ++j) {
        const double e = x[j] - x[j + lag];
        d += e * e;
      }
      diff[lag] = d;
      running += d;
      normalized[lag] = running > 0 ? d * static_cast<double>(lag) / running : 1.0;
    }
    std::size_t best = 0;
    for (std::size_t lag = minLag; lag <= maxLag; ++lag) {
      if (normalized[lag] < kFirstDipThreshold) {
        // The high formants ripple the function, so the first lag under the
        // threshold can be a ripple's dip a few lags short of the period: the
        // deepest point within a quarter beyond it is taken (well short of
        // twice the period).
        best = lag;
        for (const std::size_t last = std::min(maxLag, lag + lag / 4); lag <= last; ++lag)
          if (normalized[lag] < normalized[best]) best = lag;
        break;
      }
    }
    if (best == 0) {
      best = minLag;
      for (std::size_t lag = minLag; lag <= maxLag; ++lag)
        if (normalized[lag] < normalized[best]) best = lag;
      if (normalized[best] >= kVoicedThreshold) continue;
    }
    double shift = 0;
    if (best > 1) {
      const double a = normalized[best - 1], b = normalized[best], c = normalized[best + 1];
      const double curve = a - 2 * b + c;
      if (curve > 0) shift = std::clamp(0.5 * (a - c) / curve, -0.5, 0.5);
    }
    track.f0Hz[i] = rateHz / (static_cast<double>(best) + shift);
    track.aperiodicity[i] = normalized[best];
  }

  const double loudest = *std::max_element(level.begin(), level.end());
  const double quietest = loudest * std::pow(10.0, -kLevelRangeDb / 10.0);
  for (std::size_t i = 0; i < frames; ++i)
    if (level[i] < quietest || level[i] == 0) track.f0Hz[i] = 0;

  // Drop short voiced runs.
  for (std::size_t i = 0; i < frames;) {
    if (track.f0Hz[i] == 0) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < frames && track.f0Hz[end] > 0) ++end;
    if (end - i < kShortestRunFrames)
      std::fill(track.f0Hz.begin() + static_cast<std::ptrdiff_t>(i),
                track.f0Hz.begin() + static_cast<std::ptrdiff_t>(end), 0.0);
    i = end;
  }
  // Mend one-frame outliers.
  const std::vector<double> raw = track.f0Hz;
  for (std::size_t i = 1; i + 1 < frames; ++i) {
    if (raw[i - 1] == 0 || raw[i] == 0 || raw[i + 1] == 0) continue;
    double three[3] = {raw[i - 1], raw[i], raw[i + 1]};
    std::sort(three, three + 3);
    if (std::abs(semitonesBetween(raw[i], three[1])) > kOutlierSemitones) track.f0Hz[i] = three[1];
  }
  // The voice's pitch never jumps an octave in 5 ms: frames across such a
  // jump from the longest run without one are moved by the octave.
  const auto jump = [&](std::size_t a, std::size_t b) { return semitonesBetween(track.f0Hz[b], track.f0Hz[a]); };
  std::size_t runStart = 0, runEnd = 0;  // the longest run, [start, end)
  for (std::size_t i = 0; i < frames;) {
    if (track.f0Hz[i] == 0) {
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < frames && track.f0Hz[end] > 0 && std::abs(jump(end - 1, end)) < kOctaveJumpSemitones) ++end;
    if (end - i > runEnd - runStart) runStart = i, runEnd = end;
    i = end;
  }
  // Outwards from that run; a jump that is neither small nor about an octave
  // ends the walk (the frames past it cannot be told right from wrong).
  const auto fold = [&](std::size_t from, std::size_t to) {
    const double j = jump(from, to);
    if (std::abs(j) < kOctaveJumpSemitones) return true;
    if (std::abs(std::abs(j) - 12.0) >= 12.0 - kOctaveJumpSemitones) return false;
    track.f0Hz[to] *= j > 0 ? 0.5 : 2.0;
    return true;
  };
  for (std::size_t i = runEnd; i < frames && track.f0Hz[i] > 0 && runEnd > 0 && fold(i - 1, i); ++i) {
  }
  for (std::size_t i = runStart; i > 0 && track.f0Hz[i - 1] > 0 && fold(i, i - 1); --i) {
  }
  return track;
}

VoicedPart voicedPart(const PitchTrack& track) {
  VoicedPart part;
  for (std::size_t i = 0; i < track.f0Hz.size(); ++i) {
    if (track.f0Hz[i] <= 0) continue;
    if (!part.found) part.firstFrame = i;
    part.lastFrame = i;
    part.found = true;
  }
  return part;
}

double pitchAt(const PitchTrack& track, const VoicedPart& part, double sample) {
  if (!part.found) return 0;
  const double frame = std::clamp(sample / static_cast<double>(track.hopSamples), static_cast<double>(part.firstFrame),
                                  static_cast<double>(part.lastFrame));
  auto below = static_cast<std::size_t>(std::floor(frame));
  auto above = static_cast<std::size_t>(std::ceil(frame));
  while (below > part.firstFrame && track.f0Hz[below] <= 0) --below;
  while (above < part.lastFrame && track.f0Hz[above] <= 0) ++above;
  // The ends of the part are voiced, so both searches stop on a voiced frame.
  if (above == below) return track.f0Hz[below];
  const double weight = (frame - static_cast<double>(below)) / static_cast<double>(above - below);
  return std::exp2((1 - weight) * std::log2(track.f0Hz[below]) + weight * std::log2(track.f0Hz[above]));
}

}  // namespace sonvale::recipe
