// The arithmetic of syllable synthesis against values worked out by hand
// from the rules: first-trim threshold (10 + rate) x energy / 4 000 000,
// gain g = 3 x volumeIndex + 7 x volume / 10 applied as x x g x 9 / 500,
// pad divisor 600 - 50 x durationIndex, edge values cut - 5.
#include "synth/syllable_math.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace sonvale::synth {
namespace {

TEST(SyllableMath, Tables) {
  struct Case {
    int index;
    int trimLevel, volumeIn, edge, pad;
  };
  const Case cases[] = {
      {-10, 0, -30, -15, 1050},  // pad divisor has no -10 row: held at -9
      {-9, -1, -27, -14, 1050}, {-5, -5, -15, -10, 850}, {0, -10, 0, -5, 600},
      {5, -15, 15, 0, 350},     {6, -16, 18, 1, 300},    {10, -20, 30, 5, 100},
      {11, -20, 30, 5, 100},  // out of range: held at +10
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trimLevel(c.index), c.trimLevel) << c.index;
    EXPECT_EQ(trimScale(c.index), 2000) << c.index;
    EXPECT_EQ(volumeIn(c.index), c.volumeIn) << c.index;
    EXPECT_EQ(edgeTimeIn(c.index), c.edge) << c.index;
    EXPECT_EQ(padDivisor(c.index), c.pad) << c.index;
  }
}

TEST(SyllableMath, FirstTrimThreshold) {
  struct Case {
    int rate;
    std::uint64_t energy, threshold;
  };
  const Case cases[] = {
      {-10, 123456789, 0},         // level 0: only exact zeros are cut
      {0, 4000000, 10},            // 10 x 4e6 / 4e6
      {10, 4000000, 20},           // 20 x 4e6 / 4e6
      {0, 1000000, 2},             // 2.5 rounds down
      {-5, 8000000, 10},           // 5 x 8e6 / 4e6
      {10, std::numeric_limits<std::uint64_t>::max(), 92233720368547},  // 20 x (2^64 - 1) / 4e6 without overflow
  };
  for (const Case& c : cases) EXPECT_EQ(firstTrimThreshold(c.rate, c.energy), c.threshold) << c.rate;
}

TEST(SyllableMath, MulDivHoldsAtTheTop) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::uint64_t a, b, c, quotient;  // worked out with exact integers
  } cases[] = {
      {3, 10, 4, 7},
      {kMax, 3, 1, kMax},                                // saturates
      {kMax, 2, 3, 12297829382473034410u},               // (2^65 - 2) / 3
      {1ull << 40, 1ull << 40, 1ull << 20, 1ull << 60},  // the product needs 81 bits
      {kMax, kMax, kMax, kMax},                          // exactly the largest
      {kMax, kMax, kMax - 1, kMax},                      // one more than the largest: saturates
      {1ull << 63, 4, 2, kMax},                          // 2^64: saturates
      {123456789012345u, 987654321u, 1000003u, 121932265328031877u},
      {5, 7, 0, kMax},                                   // no divisor: as large as it gets
  };
  for (const Case& c : cases) EXPECT_EQ(mulDiv(c.a, c.b, c.c), c.quotient) << c.a << " x " << c.b << " / " << c.c;
}

TEST(SyllableMath, EnergyEdgeTrim) {
  struct Case {
    const char* name;
    std::vector<std::int16_t> samples;
    std::uint64_t threshold;
    std::uint32_t start, end;
  };
  const Case cases[] = {
      // From the start the first sample that makes the sum exceed 0 is s[2];
      // from the end s[4] = 5 already does.
      {"ZeroThreshold", {0, 0, 3, 4, 5}, 0, 2, 0},
      // 9 does not exceed 9; 9 + 16 = 25 does: s[3] from the start. From the
      // end 25 > 9 at once.
      {"SumMustExceed", {0, 0, 3, 4, 5}, 9, 3, 0},
      {"AllZeroCutFromStartWhole", {0, 0, 0, 0}, 0, 4, 3},
      {"TrailingZeros", {7, 1, 0, 0}, 0, 0, 2},
      // End walk: 1, then 1 + 4 = 5 > 4 at s[1]; one sample passed.
      {"EndRunningSum", {9, 2, 1}, 4, 0, 1},
      {"OneSample", {5}, 100, 1, 0},  // the end trim does not run on one sample
      {"Empty", {}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trimStartSamples(c.samples, c.threshold), c.start) << c.name;
    EXPECT_EQ(trimEndSamples(c.samples, c.threshold), c.end) << c.name;
  }
}

TEST(SyllableMath, VolumeGainAndStage) {
  EXPECT_EQ(volumeGain(0, 100), 70);   // gain 1.26
  EXPECT_EQ(volumeGain(0, 50), 35);    // gain 0.63
  EXPECT_EQ(volumeGain(10, 0), 30);    // still heard at volume 0: gain 0.54
  EXPECT_EQ(volumeGain(-5, 0), -15);   // inverted at gain 0.27
  EXPECT_EQ(volumeGain(0, 15), 10);    // 105 / 10 truncates

  struct Case {
    std::int16_t in;
    std::int32_t gain;
    std::int16_t out;
  };
  const Case cases[] = {
      {1000, 70, 1260}, {1000, 30, 540}, {1000, -15, -270}, {1, 70, 1},       {-1, 70, -1},
      {55, 1, 0},  // 495 / 500 truncates to 0
      {32767, 100, 32767},   // 58980: held at the top instead of wrapping
      {-32768, 100, -32768},  // -58982: held at the bottom
  };
  for (const Case& c : cases) {
    std::int16_t out = 0;
    const std::uint64_t energy = applyVolume({&c.in, 1}, c.gain, {&out, 1});
    EXPECT_EQ(out, c.out) << c.in << " x " << c.gain;
    EXPECT_EQ(energy, static_cast<std::uint64_t>(static_cast<std::int64_t>(c.out) * c.out));
  }
}

TEST(SyllableMath, FadeEdges) {
  // Gains out of 32768 by distance from the edge: (1 - cos(pi (k + 1) / 33)) / 2,
  // so 74 at k = 0, exactly 8192 (1/4) at k = 10, 24576 (3/4) at k = 21, 32694
  // at k = 31. Products are truncated toward zero.
  struct Probe {
    std::size_t at;
    std::int16_t value;
  };
  struct Case {
    const char* name;
    std::vector<std::int16_t> samples;
    std::vector<Probe> expected;
  };
  const Case cases[] = {
      {"Long",
       std::vector<std::int16_t>(100, 4096),
       {{0, 9},
        {10, 1024},
        {21, 3072},
        {31, 4086},
        {32, 4096},
        {67, 4096},
        {68, 4086},
        {78, 3072},
        {89, 1024},
        {99, 9}}},
      {"NegativeTruncatesTowardZero", std::vector<std::int16_t>(100, -4096), {{0, -9}, {10, -1024}, {99, -9}}},
      {"FullScaleEdgesStayBelow74", std::vector<std::int16_t>(64, -32768), {{0, -74}, {63, -74}}},
      // 40 samples: the fades overlap on samples 8..31; sample 10 is faded in
      // (1024), then out as the 29th from the end (x 32104 / 32768).
      {"ShortGetsBothFades", std::vector<std::int16_t>(40, 4096), {{0, 9}, {10, 1003}, {29, 1003}, {39, 9}}},
      {"OneSample", {32767}, {{0, 0}}},  // 73 after one fade, 0 after both
  };
  for (const Case& c : cases) {
    std::vector<std::int16_t> s = c.samples;
    fadeEdges(s);
    ASSERT_EQ(s.size(), c.samples.size()) << c.name;
    for (const Probe& p : c.expected) EXPECT_EQ(s[p.at], p.value) << c.name << " sample " << p.at;
  }
  fadeEdges({});  // nothing to fade
}

}  // namespace
}  // namespace sonvale::synth

namespace sonvale::synth {
namespace {

TEST(SyllableMath, SecondEdges) {
  // 1200 samples of 100: energy 1200 x 10000 = 12 000 000.
  const std::vector<std::int16_t> flat(1200, 100);
  const std::uint64_t flatEnergy = 12000000;
  struct Case {
    const char* name;
    int cutBefore, cutAfter, durationIndex;
    SecondEdges expected;
  };
  const Case cases[] = {
      // cutBefore 6: (6 - 5) x 1200 / 600 = 2 bytes before; cutAfter 10: 5 x 1200 / 600 = 10 after.
      {"PadsAtDurationZero", 6, 10, 0, {2, 10, 0, 0, 2400}},
      // Divisor 100 at durationIndex +10: six times the pad.
      {"PadsAtDurationTen", 6, 10, 10, {12, 60, 0, 0, 2400}},
      // (6 - 5) x 1200 / 1050 = 1.14 bytes: rounded down to whole samples, none.
      {"OddPadRoundsDown", 6, 6, -9, {0, 0, 0, 0, 2400}},
      // cutBefore 5: threshold 0, only exact zeros would go.
      {"FiveCutsOnlyZeros", 5, 5, 0, {0, 0, 0, 0, 2400}},
      // Value -5 at D = 600: threshold 5 x 12e6 / 360000 = 166; the first sample's
      // square (10000) already exceeds it from either end, so nothing is cut.
      {"SymbolsCutLightly", 0, 0, 0, {0, 0, 0, 0, 2400}},
  };
  for (const Case& c : cases) {
    const SecondEdges e = secondEdges(flat, flatEnergy, c.cutBefore, c.cutAfter, c.durationIndex);
    EXPECT_EQ(e.silenceBeforeBytes, c.expected.silenceBeforeBytes) << c.name;
    EXPECT_EQ(e.silenceAfterBytes, c.expected.silenceAfterBytes) << c.name;
    EXPECT_EQ(e.cutStartBytes, c.expected.cutStartBytes) << c.name;
    EXPECT_EQ(e.cutEndBytes, c.expected.cutEndBytes) << c.name;
    EXPECT_EQ(e.keptBytes, c.expected.keptBytes) << c.name;
  }
}

TEST(SyllableMath, SecondEdgesCutQuietEdgesAndNeverOverlap) {
  // Quiet edges of 1 around a loud middle of 1000: energy 2 x 10 x 1 + 10 x 1e6.
  std::vector<std::int16_t> s(30, 1);
  for (int i = 10; i < 20; ++i) s[i] = 1000;
  const std::uint64_t energy = 20 + 10000000;
  // cutBefore 0 (value -5) at D = 600: threshold 5 x energy / 360000 = 138; the ten
  // quiet samples sum to 10, the first loud one passes it: 10 samples cut each side.
  SecondEdges e = secondEdges(s, energy, 0, 0, 0);
  EXPECT_EQ(e.cutStartBytes, 20u);
  EXPECT_EQ(e.cutEndBytes, 20u);
  EXPECT_EQ(e.keptBytes, 20u);
  // A silent syllable: both trims cover everything, so nothing is kept.
  const std::vector<std::int16_t> silent(50, 0);
  e = secondEdges(silent, 0, 0, 0, 0);
  EXPECT_EQ(e.keptBytes, 0u);
  EXPECT_EQ(e.cutStartBytes + e.cutEndBytes, 0u);
}

}  // namespace
}  // namespace sonvale::synth
