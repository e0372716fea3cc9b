// Time-scale modification: the tables and constants by hand, the frame loop's
// edges (gate, lead-in, short inputs, capacity), properties on synthetic
// signals (length, pitch kept, factor 1.0 close to identity, no wrap at full
// scale, planted lags), and the fast search and whole call against a plain
// version that uses 1093-point complex transforms planned per call.
#include "timescale/time_scale.h"
#include "test_seed.h"
#include "time_scale_reference.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace sonvale {
namespace {

using namespace reference;

constexpr std::size_t kCapacity = 30000;  // the engine's scale buffer: 60000 bytes

using testing::testSeed;

std::vector<std::int16_t> sine(std::size_t length, double frequencyHz, double amplitude) {
  std::vector<std::int16_t> samples(length);
  for (std::size_t n = 0; n < length; ++n) {
    samples[n] = static_cast<std::int16_t>(
        std::lround(amplitude * std::sin(2.0 * std::numbers::pi * frequencyHz * static_cast<double>(n) / 11025.0)));
  }
  return samples;
}

// A voiced-speech stand-in: a 140 Hz fundamental with four harmonics falling as 1/h.
std::vector<std::int16_t> harmonicTone(std::size_t length, double amplitude) {
  std::vector<std::int16_t> samples(length);
  for (std::size_t n = 0; n < length; ++n) {
    double value = 0.0;
    for (int h = 1; h <= 5; ++h) {
      value += std::sin(2.0 * std::numbers::pi * 140.0 * h * static_cast<double>(n) / 11025.0 + h) / h;
    }
    samples[n] = static_cast<std::int16_t>(std::lround(amplitude * value / 2.3));
  }
  return samples;
}

std::vector<std::int16_t> noise(std::size_t length, int amplitude, std::mt19937& random) {
  std::uniform_int_distribution<int> draw(-amplitude, amplitude);
  std::vector<std::int16_t> samples(length);
  for (auto& s : samples) s = static_cast<std::int16_t>(draw(random));
  return samples;
}

// One random cycle of `period` samples repeated: exactly periodic integers.
std::vector<std::int16_t> periodicNoise(std::size_t length, int period, int amplitude, std::mt19937& random) {
  const std::vector<std::int16_t> cycle = noise(static_cast<std::size_t>(period), amplitude, random);
  std::vector<std::int16_t> samples(length);
  for (std::size_t n = 0; n < length; ++n) samples[n] = cycle[n % static_cast<std::size_t>(period)];
  return samples;
}

// The samples in a buffer of kCapacity, zeros after them.
std::vector<std::int16_t> inBuffer(const std::vector<std::int16_t>& samples, std::size_t capacity = kCapacity) {
  std::vector<std::int16_t> buffer(capacity, 0);
  std::copy(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(std::min(samples.size(), capacity)),
            buffer.begin());
  return buffer;
}

// ---- Measures ----

// Mean frequency from the upward zero crossings in samples[begin, end), each
// crossing placed by linear interpolation.
double zeroCrossingFrequencyHz(const std::vector<std::int16_t>& samples, std::size_t begin, std::size_t end) {
  double first = -1.0;
  double last = -1.0;
  int crossings = 0;
  for (std::size_t n = begin + 1; n < end; ++n) {
    if (samples[n - 1] < 0 && samples[n] >= 0) {
      const double at = static_cast<double>(n - 1) +
                        static_cast<double>(-samples[n - 1]) / static_cast<double>(samples[n] - samples[n - 1]);
      if (crossings == 0) first = at;
      last = at;
      ++crossings;
    }
  }
  if (crossings < 2) return 0.0;
  return (crossings - 1) * 11025.0 / (last - first);
}

TimeScaleResult run(std::vector<std::int16_t>& buffer, std::uint32_t length, int rate, int durationIndex) {
  return timeScale(buffer.data(), buffer.size(), length, rate, durationIndex);
}

// ---- Constants and tables ----

TEST(TimeScaleConstants, FrameHopSearchAndTransformSizes) {
  EXPECT_EQ(kFrameSamples, 937);      // 11025 * 0.085 = 937.125, fraction below one half
  EXPECT_EQ(kHalfFrameSamples, 469);  // 937 * 0.5 = 468.5, a half, raised
  EXPECT_EQ(kOutputHopSamples, 468.5);
  EXPECT_EQ(kSearchLags, 156);        // 937 / 6 = 156.17
  EXPECT_EQ(kTransformPoints, 1093);  // 937 + 156
}

TEST(TimeScaleConstants, HannWindow) {
  const auto& w = timeScaleWindow();
  EXPECT_EQ(w[0], 0.0);
  EXPECT_EQ(w[936], 0.0);
  EXPECT_EQ(w[468], 1.0);
  for (int i = 0; i < 937; ++i) EXPECT_NEAR(w[static_cast<std::size_t>(i)], hann(i), 1e-15) << "i=" << i;
  // Two copies 468 or 469 apart add up to 0.9966..1.0000 where they overlap.
  for (int offset : {468, 469}) {
    for (int i = 0; i + offset < 937; ++i) {
      const double sum = w[static_cast<std::size_t>(i)] + w[static_cast<std::size_t>(i + offset)];
      EXPECT_GE(sum, 0.9966) << "offset " << offset << " i=" << i;
      EXPECT_LE(sum, 1.0 + 1e-12) << "offset " << offset << " i=" << i;
    }
  }
}

struct NearestCase {
  const char* name;
  double x;
  std::int64_t expected;
};

TEST(TimeScaleNearest, HalvesAreRaisedAlsoForNegatives) {
  const NearestCase cases[] = {
      {"positive half", 2.5, 3},
      {"negative half", -2.5, -2},
      {"below positive half", 2.4999999, 2},
      {"below negative half", -2.5000001, -3},
      {"plus one half", 0.5, 1},
      {"minus one half", -0.5, 0},
      {"frame length", 937.125, 937},
      {"half frame", 468.5, 469},
      {"integer", 3.0, 3},
      {"negative integer", -3.0, -3},
      {"tiny negative", -1e-9, 0},
      {"just below zero point six", -0.6, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(nearest(c.x), c.expected) << c.name;
}

TEST(TimeScaleTables, ScaleOutByRate) {
  // 1.7 at rate -10, 0.05 less per step, 1.2 at rate 0, 0.7 at rate +10.
  const double expected[21] = {1.7,  1.65, 1.6,  1.55, 1.5,  1.45, 1.4,  1.35, 1.3,  1.25, 1.2,
                               1.15, 1.1,  1.05, 1.0,  0.95, 0.9,  0.85, 0.8,  0.75, 0.7};
  for (int r = -10; r <= 10; ++r) EXPECT_EQ(scaleOut(r), expected[r + 10]) << "rate " << r;
}

TEST(TimeScaleTables, ScaleInByDurationIndex) {
  // -0.02 * d written as decimals: 0.2 at d = -10, 0 at d = 0, -0.2 at d = +10.
  const double expected[21] = {0.2,   0.18,  0.16,  0.14,  0.12, 0.1,   0.08,  0.06,  0.04,  0.02, 0.0,
                               -0.02, -0.04, -0.06, -0.08, -0.1, -0.12, -0.14, -0.16, -0.18, -0.2};
  for (int d = -10; d <= 10; ++d) EXPECT_EQ(scaleIn(d), expected[d + 10]) << "durationIndex " << d;
}

TEST(TimeScaleTables, IndicesOutsideTheTableAreClamped) {
  EXPECT_EQ(scaleOut(11), 0.7);
  EXPECT_EQ(scaleOut(std::numeric_limits<int>::max()), 0.7);
  EXPECT_EQ(scaleOut(-11), 1.7);
  EXPECT_EQ(scaleOut(std::numeric_limits<int>::min()), 1.7);
  EXPECT_EQ(scaleIn(25), -0.2);
  EXPECT_EQ(scaleIn(-25), 0.2);
  // Rate 40 scales like rate 10: 0.7 + 0 = 0.7, so 1000 samples become 700.
  std::vector<std::int16_t> buffer = inBuffer(std::vector<std::int16_t>(1000, 5));
  EXPECT_EQ(run(buffer, 1000, 40, 0).lengthSamples, 700u);
}

// ---- The gate and the lengths ----

TEST(TimeScaleGate, OnlyRateTenWithDurationTenFallsBelowOneHalf) {
  EXPECT_EQ(scaleOut(10) + scaleIn(10), 0.49999999999999994);
  std::mt19937 random(1);
  const std::vector<std::int16_t> samples = noise(100, 3000, random);
  for (int r = -10; r <= 10; ++r) {
    for (int d = -10; d <= 10; ++d) {
      std::vector<std::int16_t> buffer = inBuffer(samples, 1000);
      const TimeScaleResult result = run(buffer, 100, r, d);
      if (r == 10 && d == 10) {
        EXPECT_FALSE(result.applied);
        EXPECT_EQ(result.lengthSamples, 100u);
        EXPECT_EQ(buffer, inBuffer(samples, 1000));
      } else {
        EXPECT_TRUE(result.applied) << "r=" << r << " d=" << d;
      }
    }
  }
}

TEST(TimeScaleGate, UnitFactorKeepsTheLengthButRebuildsTheSamples) {
  // r = 4, d = 0: f = 1.0 + 0 = 1.0.
  std::mt19937 random(2);
  const std::vector<std::int16_t> samples = harmonicTone(5000, 8000.0);
  std::vector<std::int16_t> buffer = inBuffer(samples);
  const TimeScaleResult result = run(buffer, 5000, 4, 0);
  EXPECT_TRUE(result.applied);
  EXPECT_EQ(result.lengthSamples, 5000u);
  EXPECT_NE(buffer, inBuffer(samples));
  EXPECT_EQ(buffer[4999], 0);  // the last output sample never receives a frame
}

TEST(TimeScaleGate, DefaultFactorTurnsTenThousandSamplesIntoTwelveThousand) {
  // r = 0, d = 0: f = 1.2; 1.2 * 10000 = 12000.
  std::mt19937 random(3);
  std::vector<std::int16_t> buffer = inBuffer(noise(10000, 5000, random));
  const TimeScaleResult result = run(buffer, 10000, 0, 0);
  EXPECT_TRUE(result.applied);
  EXPECT_EQ(result.lengthSamples, 12000u);
  EXPECT_TRUE(std::all_of(buffer.begin() + 12000, buffer.end(), [](std::int16_t s) { return s == 0; }));
}

TEST(TimeScaleEdges, EmptyInputClearsTheBuffer) {
  std::vector<std::int16_t> buffer(kCapacity, 77);  // stale samples past the (empty) syllable
  const TimeScaleResult result = run(buffer, 0, 0, 0);
  EXPECT_TRUE(result.applied);
  EXPECT_EQ(result.lengthSamples, 0u);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::int16_t s) { return s == 0; }));
}

// ---- Lead-in and the first frame ----

struct LeadInCase {
  const char* name;
  std::uint32_t length;
  int rate;
  int durationIndex;
  std::uint32_t expectedLength;  // nearest(f * L), worked out below
  std::uint32_t leadInSamples;   // min(469, L')
};

TEST(TimeScaleLeadIn, InputsOfOneFrameOrLessGetOnlyTheFallingHalfWindow) {
  const LeadInCase cases[] = {
      {"one sample, f 1.2", 1, 0, 0, 1, 1},         // 1.2 -> 1
      {"100 samples, f 1.2", 100, 0, 0, 120, 120},  // L' = 120 < 469
      {"468 samples, f 1.0", 468, 4, 0, 468, 468},
      {"600 samples, f 0.52", 600, 10, 9, 312, 312},     // 0.7 - 0.18 = 0.52; 312 < 469 stops the lead-in
      {"937 samples, f 1.2", 937, 0, 0, 1124, 469},      // 1124.4 -> 1124
      {"937 samples, f 1.9", 937, -10, -10, 1780, 469},  // 1780.3 -> 1780
      {"900 samples, f 0.7", 900, 10, 0, 630, 469},
  };
  std::mt19937 random(4);
  for (const auto& c : cases) {
    const std::vector<std::int16_t> original = inBuffer(noise(c.length, 32767, random));
    std::vector<std::int16_t> buffer = original;
    const TimeScaleResult result = run(buffer, c.length, c.rate, c.durationIndex);
    ASSERT_TRUE(result.applied) << c.name;
    EXPECT_EQ(result.lengthSamples, c.expectedLength) << c.name;
    for (std::uint32_t i = 0; i < c.leadInSamples; ++i) {
      ASSERT_EQ(buffer[i], windowed(original[i], 469 + static_cast<int>(i))) << c.name << " i=" << i;
    }
    for (std::size_t i = c.leadInSamples; i < kCapacity; ++i) ASSERT_EQ(buffer[i], 0) << c.name << " i=" << i;
  }
}

TEST(TimeScaleLeadIn, HandWorkedSamples) {
  // w[469] = 0.5 + 0.5 cos(2 pi / 936) = 0.9999887; w[470] = 0.9999549; w[703] = 0.5 - 0.5 sin(2 pi / 936) = 0.4966437.
  std::vector<std::int16_t> samples(700, 0);
  samples[0] = 32767;    // 32766.63 -> 32767
  samples[1] = -32768;   // -32766.52 -> -32767 (fraction 0.48 below one half: floor)
  samples[234] = 20000;  // 9932.87 -> 9933
  samples[468] = 32767;  // w[937] lies past the frame: 0
  std::vector<std::int16_t> buffer = inBuffer(samples);
  ASSERT_TRUE(run(buffer, 700, 4, 0).applied);
  EXPECT_EQ(buffer[0], 32767);
  EXPECT_EQ(buffer[1], -32767);
  EXPECT_EQ(buffer[234], 9933);
  EXPECT_EQ(buffer[468], 0);
}

TEST(TimeScaleLeadIn, OneSampleMoreThanAFramePlacesTheFirstFrame) {
  // L = 938, f = 1.0: 0 + 937 < 938 and 0 + 469 < 937, so frame 0 is added at
  // output 0 from input 0 without a search; frame 1 would need 469 + 937 < 938.
  std::mt19937 random(5);
  const std::vector<std::int16_t> samples = noise(938, 10000, random);
  std::vector<std::int16_t> buffer = inBuffer(samples);
  ASSERT_TRUE(run(buffer, 938, 4, 0).applied);
  for (int i = 0; i < 937; ++i) {
    // Lead-in and frame 0 both cover 0..468, frame 0 alone 469..936; 937 is L' - 1.
    const int expected = (i < 469 ? windowed(samples[static_cast<std::size_t>(i)], 469 + i) : 0) +
                         windowed(samples[static_cast<std::size_t>(i)], i);
    ASSERT_EQ(buffer[static_cast<std::size_t>(i)], expected) << "i=" << i;
  }
  EXPECT_EQ(buffer[937], 0);
}

TEST(TimeScaleLeadIn, FirstFrameComesFromInputZeroWithLagZero) {
  // Until frame 1 starts at output 469, the output is lead-in plus frame 0. A
  // crescendo of 50-sample periods: a search would prefer the louder candidates
  // 50, 100 or 150 samples later.
  std::vector<std::int16_t> samples(5000);
  for (std::size_t n = 0; n < samples.size(); ++n) {
    samples[n] = static_cast<std::int16_t>(
        std::lround(6.0 * static_cast<double>(n) * std::sin(2.0 * std::numbers::pi * static_cast<double>(n) / 50.0)));
  }
  for (int rate : {-10, 0, 10}) {
    std::vector<std::int16_t> buffer = inBuffer(samples);
    ASSERT_TRUE(run(buffer, 5000, rate, 0).applied);
    for (int i = 0; i < 469; ++i) {
      const auto x = samples[static_cast<std::size_t>(i)];
      ASSERT_EQ(buffer[static_cast<std::size_t>(i)], windowed(x, 469 + i) + windowed(x, i))
          << "rate " << rate << " i=" << i;
    }
  }
}

// ---- Properties on synthetic signals ----

struct PitchCase {
  const char* name;
  int rate;
  int durationIndex;
  double frequencyHz;
  std::uint32_t expectedLength;  // nearest(f * 10000)
};

TEST(TimeScaleProperties, SineKeepsItsPitchAndGetsTheScaledLength) {
  const PitchCase cases[] = {
      {"f 1.2 at 220 Hz", 0, 0, 220.0, 12000},     {"f 1.0 at 220 Hz", 4, 0, 220.0, 10000},
      {"f 1.9 at 147 Hz", -10, -10, 147.0, 19000},  // 1.7 + 0.2
      {"f 0.52 at 147 Hz", 10, 9, 147.0, 5200},     // 0.7 - 0.18
      {"f 0.55 at 310 Hz", 9, 10, 310.0, 5500},     // 0.75 - 0.2
      {"f 1.39 at 95 Hz", -5, 3, 95.0, 13900},      // 1.45 - 0.06
      {"f 0.89 at 400 Hz", 7, -2, 400.0, 8900},     // 0.85 + 0.04
  };
  for (const auto& c : cases) {
    const std::vector<std::int16_t> samples = sine(10000, c.frequencyHz, 12000.0);
    std::vector<std::int16_t> buffer = inBuffer(samples);
    const TimeScaleResult result = run(buffer, 10000, c.rate, c.durationIndex);
    ASSERT_TRUE(result.applied) << c.name;
    EXPECT_EQ(result.lengthSamples, c.expectedLength) << c.name;
    EXPECT_EQ(buffer[result.lengthSamples - 1], 0) << c.name;
    // Away from the lead-in and the falling last frame.
    const double measured = zeroCrossingFrequencyHz(buffer, 937, result.lengthSamples - 2 * 937);
    EXPECT_NEAR(measured, c.frequencyHz, 0.01 * c.frequencyHz) << c.name;
  }
}

TEST(TimeScaleProperties, UnitFactorReproducesTheInputInTheMiddle) {
  // With f = 1.0 each frame continues its template, which lies 469 input
  // samples after the previous frame, while output hops alternate 469 and 468:
  // the output runs one sample further ahead of the input every second frame.
  // So every block of one hop is compared with the input at its best shift.
  // Where two frames one sample apart cross-fade, the output is a fractional
  // delay of the input, which costs about 24 dB on this tone; a frame spliced
  // out of phase would bring a block near 0 dB.
  const std::vector<std::int16_t> samples = harmonicTone(11025, 10000.0);
  std::vector<std::int16_t> buffer = inBuffer(samples);
  ASSERT_EQ(run(buffer, 11025, 4, 0).lengthSamples, 11025u);
  for (std::size_t block = 937; block + 469 + 156 < 11025 - 2 * 937; block += 469) {
    double bestSnrDb = -1e9;
    for (std::size_t shift = 0; shift < 156; ++shift) {
      double signal = 0.0;
      double error = 0.0;
      for (std::size_t n = block; n < block + 469; ++n) {
        const double x = samples[n + shift];
        signal += x * x;
        error += (buffer[n] - x) * (buffer[n] - x);
      }
      bestSnrDb = std::max(bestSnrDb, 10.0 * std::log10(signal / std::max(error, 1.0)));
    }
    EXPECT_GE(bestSnrDb, 20.0) << "block at " << block;
  }
}

TEST(TimeScaleProperties, FullScaleInputSaturatesInsteadOfWrapping) {
  EXPECT_EQ(addSamplesSaturated(32767, 1), 32767);
  EXPECT_EQ(addSamplesSaturated(30000, 30000), 32767);
  EXPECT_EQ(addSamplesSaturated(-32768, -1), -32768);
  EXPECT_EQ(addSamplesSaturated(-30000, -30000), -32768);
  EXPECT_EQ(addSamplesSaturated(100, -200), -100);
  // Constant full-scale input: overlapping windows add to 0.9966..1.0000, so
  // the output stays within 0.34% (plus rounding) of the input wherever
  // frames cover it, and never changes sign as a wrap would.
  for (int level : {32767, -32768}) {
    for (int rate : {-10, 0, 4, 10}) {
      const std::vector<std::int16_t> samples(8000, static_cast<std::int16_t>(level));
      std::vector<std::int16_t> buffer = inBuffer(samples);
      const TimeScaleResult result = run(buffer, 8000, rate, 0);
      ASSERT_TRUE(result.applied);
      for (std::uint32_t i = 0; i < result.lengthSamples; ++i) {
        ASSERT_GE(buffer[i] * level, 0) << "level " << level << " rate " << rate << " i=" << i;
      }
      for (std::uint32_t i = 0; i < 4000; ++i) {
        ASSERT_NEAR(buffer[i], level, 0.0034 * 32768 + 2) << "level " << level << " rate " << rate << " i=" << i;
      }
    }
  }
}

TEST(TimeScaleEdges, OutputIsCappedAtTheCapacity) {
  // L = 11000, f = 1.2: nearest(13200) exceeds a capacity of 12000.
  std::mt19937 random(7);
  const std::vector<std::int16_t> samples = harmonicTone(11000, 9000.0);
  std::vector<std::int16_t> roomy = inBuffer(samples, 20000);
  ASSERT_EQ(run(roomy, 11000, 0, 0).lengthSamples, 13200u);

  std::vector<std::int16_t> memory(12000 + 64, 0x7777);  // a guard after the capacity
  std::copy(samples.begin(), samples.end(), memory.begin());
  std::fill(memory.begin() + 11000, memory.begin() + 12000, std::int16_t{0});
  const TimeScaleResult result = timeScale(memory.data(), 12000, 11000, 0, 0);
  EXPECT_TRUE(result.applied);
  EXPECT_EQ(result.lengthSamples, 12000u);
  EXPECT_TRUE(std::equal(memory.begin(), memory.begin() + 12000, roomy.begin()));
  EXPECT_TRUE(std::all_of(memory.begin() + 12000, memory.end(), [](std::int16_t s) { return s == 0x7777; }));
}

TEST(TimeScaleEdges, LengthBeyondTheCapacityCountsAsTheCapacity) {
  // 50000 claimed samples in a buffer of 1000: 1000 samples, f = 0.7 gives 700.
  std::vector<std::int16_t> memory(1000 + 64, 0x7777);
  std::fill(memory.begin(), memory.begin() + 1000, std::int16_t{1000});
  const TimeScaleResult result = timeScale(memory.data(), 1000, 50000, 10, 0);
  EXPECT_TRUE(result.applied);
  EXPECT_EQ(result.lengthSamples, 700u);
  EXPECT_TRUE(std::all_of(memory.begin() + 1000, memory.end(), [](std::int16_t s) { return s == 0x7777; }));
}

TEST(TimeScaleEdges, NullBufferWritesNothing) {
  const TimeScaleResult result = timeScale(nullptr, 30000, 5000, 0, 0);
  EXPECT_TRUE(result.applied);
  EXPECT_EQ(result.lengthSamples, 0u);
}

// ---- The lag search ----

std::vector<std::int16_t> windowedTemplate(const std::vector<std::int16_t>& signal, std::size_t at) {
  std::vector<std::int16_t> frame(937);
  for (int i = 0; i < 937; ++i)
    frame[static_cast<std::size_t>(i)] = windowed(signal[at + static_cast<std::size_t>(i)], i);
  return frame;
}

std::int32_t fastLag(LagSearch& search, const std::vector<std::int16_t>& frame, const std::int16_t* region) {
  return search.findLag(std::span<const std::int16_t, 937>(frame.data(), 937),
                        std::span<const std::int16_t, 1093>(region, 1093));
}

TEST(TimeScaleLagSearch, FindsALagPlantedInNoise) {
  LagSearch search;
  ASSERT_TRUE(search.ready());
  std::mt19937 random(8);
  const std::vector<std::int16_t> signal = noise(6000, 20000, random);
  for (std::int32_t planted : {0, 1, 2, 77, 154, 155}) {
    const std::size_t regionStart = 2000;
    const auto frame = windowedTemplate(signal, regionStart + static_cast<std::size_t>(planted));
    EXPECT_EQ(fastLag(search, frame, signal.data() + regionStart), planted) << "planted " << planted;
  }
}

struct PeriodicCase {
  const char* name;
  int period;
  std::int32_t planted;  // template phase minus region phase, modulo the period
  std::int32_t expected;
};

TEST(TimeScaleLagSearch, FindsALagPlantedInAPeriodicSignal) {
  const PeriodicCase cases[] = {
      {"period 200, one candidate", 200, 37, 37},
      {"period 120, one candidate", 120, 37, 37},           // 157 is out of range
      {"period 60, equal peaks at 37 and 97", 60, 37, 37},  // lowest of equal scores
      {"period 150, phase 0 and 150", 150, 0, 0},
      {"period 100, phase 99", 100, 99, 99},
  };
  LagSearch search;
  ASSERT_TRUE(search.ready());
  std::mt19937 random(9);
  for (const auto& c : cases) {
    const std::vector<std::int16_t> signal = periodicNoise(8000, c.period, 15000, random);
    const std::size_t regionStart = 3000;
    const auto frame = windowedTemplate(
        signal, regionStart + 5 * static_cast<std::size_t>(c.period) + static_cast<std::size_t>(c.planted));
    EXPECT_EQ(fastLag(search, frame, signal.data() + regionStart), c.expected) << c.name;
  }
  // A harmonic voiced-speech stand-in (period 78.75 samples): the continuation in phase.
  const std::vector<std::int16_t> tone = harmonicTone(8000, 12000.0);
  const auto frame = windowedTemplate(tone, 3000 + 315 + 40);  // 315 = 4 periods
  const std::int32_t lag = fastLag(search, frame, tone.data() + 3000);
  EXPECT_LE(std::abs(lag - 40), 1) << "harmonic tone";
}

TEST(TimeScaleLagSearch, FastSearchChoosesTheSameLagsAsPlain1093PointTransforms) {
  const std::uint32_t seed = testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  LagSearch fast;
  ASSERT_TRUE(fast.ready());
  PlainSearch plain;
  std::uniform_int_distribution<int> pick(0, 6);
  std::uniform_int_distribution<int> periods(20, 200);
  std::uniform_int_distribution<int> offsets(0, 2000);
  int different = 0;
  for (int trial = 0; trial < 1500; ++trial) {
    std::vector<std::int16_t> signal;
    switch (pick(random)) {
      case 0:
        signal = noise(4000, 32767, random);
        break;  // full scale
      case 1:
        signal = noise(4000, 3, random);
        break;  // near silence, many ties
      case 2:
        signal = periodicNoise(4000, periods(random), 20000, random);
        break;  // exact ties
      case 3:
        signal = harmonicTone(4000, 15000.0);
        break;
      case 4:
        signal = sine(4000, 60.0 + periods(random) * 3.0, 32767.0);
        break;
      case 5: {  // sparse clicks on silence
        signal.assign(4000, 0);
        for (int k = 0; k < 6; ++k)
          signal[static_cast<std::size_t>(offsets(random))] = static_cast<std::int16_t>(offsets(random) * 16 - 16000);
        break;
      }
      default:
        signal.assign(4000, static_cast<std::int16_t>(offsets(random) - 1000));
        break;  // constant
    }
    const std::size_t regionStart = static_cast<std::size_t>(offsets(random)) % 1500;
    const std::size_t templateStart = static_cast<std::size_t>(offsets(random)) % 1500;
    const auto frame = windowedTemplate(signal, templateStart);
    const std::int32_t fastChoice = fastLag(fast, frame, signal.data() + regionStart);
    const std::int32_t plainChoice =
        plain.findLag(frame.data(), [&](int j) { return signal[regionStart + static_cast<std::size_t>(j)]; });
    if (fastChoice != plainChoice) {
      ++different;
      ADD_FAILURE() << "trial " << trial << ": fast " << fastChoice << ", plain " << plainChoice;
    }
  }
  EXPECT_EQ(different, 0);
}

TEST(TimeScaleLagSearch, WholeCallMatchesThePlainVersion) {
  const std::uint32_t seed = testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> lengths(0, 7000);
  std::uniform_int_distribution<int> indices(-10, 10);
  std::uniform_int_distribution<int> kinds(0, 3);
  for (int trial = 0; trial < 40; ++trial) {
    const auto length = static_cast<std::uint32_t>(lengths(random));
    const int rate = indices(random);
    const int durationIndex = indices(random);
    std::vector<std::int16_t> samples;
    switch (kinds(random)) {
      case 0:
        samples = noise(length, 32767, random);
        break;
      case 1:
        samples = periodicNoise(length, 90, 12000, random);
        break;
      case 2:
        samples = harmonicTone(length, 14000.0);
        break;
      default:
        samples = sine(length, 180.0, 20000.0);
        break;
    }
    // Small capacities too, so that the cap and the zeros past the buffer take part.
    const std::size_t capacity = trial % 4 == 0 ? std::max<std::size_t>(length, 1) : kCapacity;
    std::vector<std::int16_t> fast = inBuffer(samples, capacity);
    std::vector<std::int16_t> plain = fast;
    const TimeScaleResult result = run(fast, length, rate, durationIndex);
    const std::int64_t plainLength = plainTimeScale(plain, length, rate, durationIndex).length;
    ASSERT_EQ(result.applied, plainLength >= 0) << "trial " << trial;
    if (result.applied) {
      EXPECT_EQ(result.lengthSamples, plainLength) << "trial " << trial;
    }
    EXPECT_EQ(fast, plain) << "trial " << trial << " L=" << length << " r=" << rate << " d=" << durationIndex;
  }
}

// A voiced stand-in with one sharp peak per pitch period: harmonics 1..6 of
// `f0` in cosine phase, so every period peaks once, at a multiple of 11025 / f0.
std::vector<std::int16_t> pulseTone(std::size_t length, double f0) {
  std::vector<std::int16_t> samples(length);
  for (std::size_t n = 0; n < length; ++n) {
    double value = 0.0;
    for (int h = 1; h <= 6; ++h) value += std::cos(2.0 * std::numbers::pi * f0 * h * static_cast<double>(n) / 11025.0);
    samples[n] = static_cast<std::int16_t>(std::lround(2500.0 * value));
  }
  return samples;
}

// Fast speech scales by factors down to 0.29, where the input hop passes a
// whole frame. On voiced signals the result must be the plain version's,
// sample for sample; every pitch period must stay one period long across
// the joins (none doubled, none cut short: peak to peak within 1.5 samples of
// the period); and no join may step further between two samples than the
// input ever does (no click).
TEST(TimeScaleFastSpeech, FastFactorsStayCleanOnVoicedSignals) {
  for (const double f0 : {110.0, 183.0, 241.0}) {
    const double period = 11025.0 / f0;
    const std::vector<std::int16_t> input = pulseTone(4400, f0);
    int inputStep = 0;
    for (std::size_t n = 1; n < input.size(); ++n) inputStep = std::max(inputStep, std::abs(input[n] - input[n - 1]));
    for (const int rate : {1, 4, 7, 10}) {
      for (const int durationIndex : {-10, 0, 10}) {
        SCOPED_TRACE("f0 " + std::to_string(f0) + " rate " + std::to_string(rate) + " d " +
                     std::to_string(durationIndex));
        std::vector<std::int16_t> fast = inBuffer(input, kCapacity);
        std::vector<std::int16_t> plain = fast;
        const TimeScaleResult result = timeScale(fast.data(), fast.size(), 4400, rate, durationIndex, true);
        const PlainResult expected = plainFastTimeScale(plain, 4400, rate, durationIndex);
        ASSERT_TRUE(result.applied);
        ASSERT_EQ(result.lengthSamples, expected.length);
        EXPECT_EQ(fast, plain);
        const double f = timeScaleFactor(rate, durationIndex, true);
        EXPECT_EQ(result.lengthSamples, nearest(f * 4400));

        // Inside the frames placed (the last frame fades out over its second half).
        const auto end = static_cast<std::size_t>(nearest(kOutputHopSamples * (expected.frames - 1)) + kHalfFrameSamples);
        int outputStep = 0;
        for (std::size_t n = 1; n < result.lengthSamples; ++n)
          outputStep = std::max(outputStep, std::abs(fast[n] - fast[n - 1]));
        EXPECT_LE(outputStep, inputStep * 21 / 20);
        int peakLevel = 0;
        for (std::size_t n = 0; n < end; ++n) peakLevel = std::max(peakLevel, static_cast<int>(fast[n]));
        std::vector<std::size_t> peaks;
        for (std::size_t n = 1; n + 1 < end; ++n)
          if (fast[n] > peakLevel * 6 / 10 && fast[n] >= fast[n - 1] && fast[n] > fast[n + 1]) peaks.push_back(n);
        ASSERT_GE(peaks.size(), 3u);
        for (std::size_t k = 1; k < peaks.size(); ++k)
          EXPECT_NEAR(static_cast<double>(peaks[k] - peaks[k - 1]), period, 1.5) << "peak at " << peaks[k];
      }
    }
  }
}

TEST(TimeScaleLagSearch, FullBuffersMatchThePlainVersion) {
  // Syllables that fill the 30000-sample buffer: the last regions reach past
  // it (read as zeros), and f = 1.9 runs into the capacity cap.
  struct LongCase {
    const char* name;
    std::uint32_t length;
    int rate;
    int durationIndex;
    std::uint32_t expectedLength;
  };
  const LongCase cases[] = {
      {"30000 samples at f 0.52", 30000, 10, 9, 15600},  // 0.52 * 30000
      {"30000 samples at f 1.0", 30000, 4, 0, 30000},
      {"29000 samples at f 1.9, capped", 29000, -10, -10, 30000},  // 55100 > 30000
  };
  for (const auto& c : cases) {
    std::vector<std::int16_t> fast = inBuffer(harmonicTone(c.length, 16000.0));
    std::vector<std::int16_t> plain = fast;
    const TimeScaleResult result = run(fast, c.length, c.rate, c.durationIndex);
    EXPECT_EQ(result.lengthSamples, c.expectedLength) << c.name;
    EXPECT_EQ(plainTimeScale(plain, c.length, c.rate, c.durationIndex).length, c.expectedLength) << c.name;
    EXPECT_EQ(fast, plain) << c.name;
  }
}

TEST(TimeScaleThreads, TwoThreadsScaleAtOnceAsTheyWouldAlone) {
  // The threads go first, so that when this test runs alone they also race to
  // make the shared plans.
  std::mt19937 random(10);
  std::vector<std::vector<std::int16_t>> inputs;
  for (int k = 0; k < 8; ++k)
    inputs.push_back(inBuffer(noise(4000 + 300 * static_cast<std::size_t>(k), 15000, random)));
  auto lengthOf = [](std::size_t k) { return static_cast<std::uint32_t>(4000 + 300 * k); };

  std::vector<std::vector<std::int16_t>> together = inputs;
  auto work = [&](std::size_t first) {
    for (int repeat = 0; repeat < 3; ++repeat) {
      for (std::size_t k = first; k < together.size(); k += 2) {
        std::vector<std::int16_t> buffer = inputs[k];
        run(buffer, lengthOf(k), static_cast<int>(k) - 4, 0);
        together[k] = buffer;
      }
    }
  };
  std::thread a(work, 0);
  std::thread b(work, 1);
  a.join();
  b.join();

  std::vector<std::vector<std::int16_t>> alone = inputs;
  for (std::size_t k = 0; k < alone.size(); ++k) run(alone[k], lengthOf(k), static_cast<int>(k) - 4, 0);
  EXPECT_EQ(together, alone);
}

}  // namespace
}  // namespace sonvale
