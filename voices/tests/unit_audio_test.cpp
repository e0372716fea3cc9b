#include "unit_audio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

using namespace sonvale::recipe;

std::vector<std::int16_t> sine(double frequencyHz, double rateHz, std::size_t samples, double amplitude) {
  std::vector<std::int16_t> out(samples);
  for (std::size_t i = 0; i < samples; ++i)
    out[i] = static_cast<std::int16_t>(
        std::lround(amplitude * std::sin(2 * std::numbers::pi * frequencyHz * static_cast<double>(i) / rateHz)));
  return out;
}

// Converts `in` to 11025 Hz and multiplies by `gain`, as the recipe does.
std::string resample(const std::vector<std::int16_t>& in, double gain, std::vector<std::int16_t>& out,
                     std::size_t& clipped) {
  std::vector<float> converted;
  std::string error = resampleToUnitRate(in, 22050, converted);
  out = toPcm16(converted, gain, clipped);
  return error;
}

TEST(UnitAudio, SoundEdges) {
  struct Case {
    const char* name;
    std::vector<std::int16_t> samples;
    int level;
    std::size_t margin;
    std::size_t start, end;
  };
  const Case cases[] = {
      // index:            0  1  2    3  4   5  6  7
      {"margin of two", {0, 0, 0, 100, 5, -100, 0, 0}, 64, 2, 1, 8},
      {"margin past the ends", {0, 100, 0}, 64, 5, 0, 3},
      {"no margin", {0, 0, 64, 0, -64, 0}, 64, 0, 2, 5},
      {"negative peak counts", {0, -70, 0}, 64, 0, 1, 2},
      {"nothing loud enough", {0, 63, -63, 0}, 64, 2, 0, 0},
      {"empty", {}, 64, 2, 0, 0},
  };
  for (const Case& c : cases) {
    const Edges e = soundEdges(c.samples, c.level, c.margin);
    EXPECT_EQ(e.start, c.start) << c.name;
    EXPECT_EQ(e.end, c.end) << c.name;
  }
}

TEST(UnitAudio, PeakLevel) {
  EXPECT_EQ(peakLevel(std::vector<std::int16_t>{}), 0);
  EXPECT_EQ(peakLevel(std::vector<std::int16_t>{3, -7, 5}), 7);
  EXPECT_EQ(peakLevel(std::vector<std::int16_t>{-32768, 32767}), 32768);
}

TEST(UnitAudio, WavHeaderIsCanonical) {
  const std::vector<std::int16_t> samples = {1, -2};
  const std::vector<std::uint8_t> bytes = wavFileBytes(samples, 11025);
  // RIFF size 36 + 4 data bytes = 40; rate 11025 = 0x2B11; bytes/s 22050 = 0x5622.
  const std::vector<std::uint8_t> expected = {
      'R', 'I', 'F', 'F', 40,  0,   0,   0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0,   0,   0,   1, 0,
      1,   0,   0x11, 0x2B, 0, 0, 0x22, 0x56, 0, 0, 2, 0, 16, 0, 'd', 'a', 't', 'a', 4,  0,   0,   0,
      0x01, 0x00, 0xFE, 0xFF};
  EXPECT_EQ(bytes, expected);
}

TEST(UnitAudio, ResamplingHalvesTheLengthAndKeepsASine) {
  // 0.5 s of 440 Hz at 22050 Hz becomes 0.5 s at 11025 Hz.
  const std::vector<std::int16_t> in = sine(440, 22050, 11025, 10000);
  std::vector<std::int16_t> out;
  std::size_t clipped = 0;
  ASSERT_EQ(resample(in, 1.0, out, clipped), "");
  EXPECT_EQ(clipped, 0u);
  ASSERT_NEAR(static_cast<double>(out.size()), 5512.5, 1.0);
  // Away from the edges (where the filter sees the signal start and stop) the
  // result is the same sine sampled at 11025 Hz, to within 60 dB.
  double signal = 0, error = 0;
  for (std::size_t i = 500; i + 500 < out.size(); ++i) {
    const double wanted = 10000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 11025);
    signal += wanted * wanted;
    error += (out[i] - wanted) * (out[i] - wanted);
  }
  EXPECT_GT(10 * std::log10(signal / error), 60.0);
}

TEST(UnitAudio, GainScalesAndClippingIsCounted) {
  const std::vector<std::int16_t> in = sine(440, 22050, 4410, 10000);
  std::vector<std::int16_t> half, loud;
  std::size_t clipped = 0;
  ASSERT_EQ(resample(in, 0.5, half, clipped), "");
  EXPECT_EQ(clipped, 0u);
  EXPECT_NEAR(peakLevel(half), 5000, 100);
  // 10000 x 4 = 40000 is past 32767 near every crest.
  ASSERT_EQ(resample(in, 4.0, loud, clipped), "");
  EXPECT_GT(clipped, 0u);
  EXPECT_GE(peakLevel(loud), 32767);
}

TEST(UnitAudio, ResamplingIsTheSameEveryTime) {
  const std::vector<std::int16_t> in = sine(1234, 22050, 6000, 12000);
  std::vector<std::int16_t> a, b;
  std::size_t clipped = 0;
  ASSERT_EQ(resample(in, 0.58, a, clipped), "");
  ASSERT_EQ(resample(in, 0.58, b, clipped), "");
  EXPECT_EQ(a, b);
}

TEST(UnitAudio, EmptyInputGivesNoSamples) {
  std::vector<std::int16_t> out = {1};
  std::size_t clipped = 9;
  EXPECT_EQ(resample({}, 1.0, out, clipped), "");
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(clipped, 0u);
}

}  // namespace
