#include "repitch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <vector>

#include "pitch_tracker.h"
#include "tone_contours.h"

namespace {

using namespace sonvale::recipe;

constexpr double kRate = 11025;

double semitones(double hz, double referenceHz) { return 12.0 * std::log2(hz / referenceHz); }

// A voiced sound: harmonics up to 4.5 kHz at 1/h (a sawtooth's spectrum, as
// the recording synthesizer's voice source has) through a resonance at 900 Hz
// (a formant), its F0 following `f0Hz(t)` over `seconds`, between 50 ms of
// silence on each side.
double formant(double hz) {
  const double detune = (hz - 900.0) / 150.0;
  return 1.0 + 3.0 / (1.0 + detune * detune);
}

std::vector<float> voiced(const std::function<double(double)>& f0Hz, double seconds) {
  const auto silence = static_cast<std::size_t>(0.05 * kRate);
  const auto length = static_cast<std::size_t>(seconds * kRate);
  std::vector<float> out(silence + length + silence, 0.0f);
  double phase = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const double f0 = f0Hz(static_cast<double>(i) / static_cast<double>(length));
    phase += 2 * std::numbers::pi * f0 / kRate;
    double x = 0;
    for (int h = 1; h * f0 < 4500; ++h) x += std::sin(h * phase) / h * formant(h * f0);
    out[silence + i] = static_cast<float>(6000 * x);
  }
  return out;
}

// The spectrum of 2048 samples around `centre` under a Hann window, from 50 to
// 4500 Hz every `stepHz`: the power at each frequency, by `visit(hz, power)`.
template <typename Visit>
void spectrum(const std::vector<float>& x, std::size_t centre, double stepHz, Visit visit) {
  constexpr std::size_t kLength = 2048;
  for (double hz = 50; hz <= 4500; hz += stepHz) {
    double re = 0, im = 0;
    for (std::size_t i = 0; i < kLength; ++i) {
      const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) / kLength);
      const double v = w * x[centre - kLength / 2 + i];
      re += v * std::cos(2 * std::numbers::pi * hz * static_cast<double>(i) / kRate);
      im += v * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / kRate);
    }
    visit(hz, re * re + im * im);
  }
}

// The share of the energy around `centre` between `lowHz` and `highHz`.
double bandShare(const std::vector<float>& x, std::size_t centre, double lowHz, double highHz) {
  double band = 0, all = 0;
  spectrum(x, centre, kRate / 2048, [&](double hz, double power) {
    all += power;
    if (hz >= lowHz && hz <= highHz) band += power;
  });
  return band / all;
}

// The share of the energy around `centre` that lies off the harmonics of
// `f0Hz` (more than 20 Hz from every one): noise or roughness that a jittery
// join would bring.
double offHarmonicShare(const std::vector<float>& x, std::size_t centre, double f0Hz) {
  double off = 0, all = 0;
  spectrum(x, centre, kRate / 4096, [&](double hz, double power) {
    all += power;
    if (std::abs(hz - std::max(1.0, std::round(hz / f0Hz)) * f0Hz) > 20) off += power;
  });
  return off / all;
}

double rmsDb(const std::vector<float>& x, std::size_t from, std::size_t to) {
  double energy = 0;
  for (std::size_t i = from; i < to; ++i) energy += static_cast<double>(x[i]) * x[i];
  return 10 * std::log10(energy / static_cast<double>(to - from));
}

double largestStep(const std::vector<float>& x) {
  double step = 0;
  for (std::size_t i = 1; i < x.size(); ++i) step = std::max(step, std::abs(static_cast<double>(x[i]) - x[i - 1]));
  return step;
}

TEST(PitchTracker, FollowsAKnownPitch) {
  struct Case {
    const char* name;
    std::function<double(double)> f0Hz;
  };
  const Case cases[] = {
      {"level 160 Hz", [](double) { return 160.0; }},
      {"level 290 Hz", [](double) { return 290.0; }},
      {"rising 150 to 280 Hz", [](double t) { return 150.0 + 130.0 * t; }},
      {"falling 200 to 120 Hz", [](double t) { return 200.0 - 80.0 * t; }},
  };
  for (const Case& c : cases) {
    const std::vector<float> x = voiced(c.f0Hz, 0.3);
    const PitchTrack track = trackPitch(x, kRate);
    const VoicedPart part = voicedPart(track);
    ASSERT_TRUE(part.found) << c.name;
    // The voiced part is the 300 ms between the silences, to within a frame.
    EXPECT_NEAR(part.startSample(track), 0.05 * kRate, 1.5 * static_cast<double>(track.hopSamples)) << c.name;
    EXPECT_NEAR(part.endSample(track), 0.35 * kRate, 1.5 * static_cast<double>(track.hopSamples)) << c.name;
    for (double t = 0.1; t <= 0.9; t += 0.1) {
      const double sample = 0.05 * kRate + t * 0.3 * kRate;
      EXPECT_NEAR(semitones(pitchAt(track, part, sample), c.f0Hz(t)), 0.0, 0.2) << c.name << " at " << t;
    }
  }
}

TEST(Repitch, ReachesTheTargetCleanly) {
  struct Case {
    const char* name;
    std::function<double(double)> sourceHz, targetHz;
  };
  const Case cases[] = {
      {"level raised 6 semitones", [](double) { return 150.0; }, [](double) { return 212.0; }},
      {"level lowered 4 semitones", [](double) { return 220.0; }, [](double) { return 175.0; }},
      {"rising scoop made level", [](double t) { return 110.0 + 60.0 * std::min(1.0, 4 * t); },
       [](double) { return 160.0; }},
      {"late fall made an even fall", [](double t) { return t < 0.5 ? 150.0 : 150.0 - 60.0 * (t - 0.5); },
       [](double p) { return toneTargetHz(4, p); }},
      {"tone 2's rise", [](double t) { return 200.0 + 40.0 * t; }, [](double p) { return toneTargetHz(2, p); }},
      {"tone 5's rise", [](double t) { return 110.0 + 70.0 * t; }, [](double p) { return toneTargetHz(5, p); }},
  };
  for (const Case& c : cases) {
    const std::vector<float> x = voiced(c.sourceHz, 0.3);
    const PitchTrack before = trackPitch(x, kRate);
    const VoicedPart part = voicedPart(before);
    ASSERT_TRUE(part.found) << c.name;
    const std::vector<float> y = repitch(x, before, c.targetHz);
    ASSERT_EQ(y.size(), x.size()) << c.name;

    // F0 on the target within 0.5 semitone from 10% to 90% of the voiced part.
    const PitchTrack after = trackPitch(y, kRate);
    const VoicedPart afterPart = voicedPart(after);
    ASSERT_TRUE(afterPart.found) << c.name;
    const double start = part.startSample(before), length = part.endSample(before) - start;
    for (double p = 0.1; p <= 0.9; p += 0.1)
      EXPECT_NEAR(semitones(pitchAt(after, afterPart, start + p * length), c.targetHz(p)), 0.0, 0.5)
          << c.name << " at " << p;

    // The formant stays at 900 Hz: its band keeps its share of the spectrum
    // (to 1.5 dB), and the loudness of the voiced part is kept (to 1 dB).
    const std::size_t middle = x.size() / 2;
    EXPECT_NEAR(10 * std::log10(bandShare(y, middle, 750, 1050) / bandShare(x, middle, 750, 1050)), 0.0, 1.5) << c.name;
    const auto from = static_cast<std::size_t>(0.06 * kRate), to = static_cast<std::size_t>(0.34 * kRate);
    EXPECT_NEAR(rmsDb(y, from, to), rmsDb(x, from, to), 1.0) << c.name;

    // No click where grains join: no step between samples larger than the
    // source's own (its sawtooth edge) by more than the grains' gain.
    EXPECT_LT(largestStep(y), 1.25 * largestStep(x)) << c.name;
    // The silences stay silent.
    const auto silence = static_cast<std::size_t>(0.04 * kRate);
    for (std::size_t i = 0; i < silence; ++i) {
      EXPECT_EQ(y[i], 0.0f) << c.name << " at " << i;
      EXPECT_EQ(y[y.size() - 1 - i], 0.0f) << c.name << " at the end, " << i;
    }
  }
}

TEST(Repitch, ALevelTargetGivesEvenPeriods) {
  // A steady source moved to a steady pitch stays harmonic: grains landing a
  // fraction of a sample off, or joins that do not match, would spread
  // energy between the harmonics.
  const double sources[] = {150.0, 220.0};
  const double targets[] = {212.0, 175.0, 160.0};
  for (const double source : sources) {
    const std::vector<float> x = voiced([source](double) { return source; }, 0.4);
    for (const double target : targets) {
      const std::vector<float> y = repitch(x, trackPitch(x, kRate), [target](double) { return target; });
      // Below -30 dB (grains read half a sample off put 3-6% there).
      EXPECT_LT(offHarmonicShare(y, y.size() / 2, target), 0.001) << source << " Hz to " << target << " Hz";
    }
  }
}

TEST(Repitch, NoVoicedPartLeavesTheSignalAlone) {
  std::vector<float> noise(2000);
  unsigned state = 12345;  // a fixed seed: the same noise every run
  for (float& v : noise) {
    state = state * 1103515245u + 12345u;
    v = static_cast<float>(static_cast<int>((state >> 16) & 0x7FFF) - 16384);
  }
  const PitchTrack track = trackPitch(noise, kRate);
  ASSERT_FALSE(voicedPart(track).found);
  EXPECT_EQ(repitch(noise, track, [](double) { return 200.0; }), noise);
}

}  // namespace
