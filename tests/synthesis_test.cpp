// Syllable synthesis end to end, on voices coded from synthetic signals.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#include "host/output_site.h"
#include "platform/le_bytes.h"
#include "synth/mpeg_decoder.h"
#include "synth/syllable_math.h"
#include "timescale/time_scale.h"
#include "voice_fixture.h"

namespace sonvale {
namespace {

using host::OutputSite;
using testing::unitOf;

std::vector<std::int16_t> samplesOf(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t count) {
  std::vector<std::int16_t> s(count / 2);
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<std::int16_t>(bytes[from + 2 * i] | bytes[from + 2 * i + 1] << 8);
  return s;
}

// Frequency from rising zero crossings, interpolated between samples.
double frequencyOf(const std::vector<std::int16_t>& s) {
  double first = -1, last = -1;
  int crossings = 0;
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (s[i - 1] < 0 && s[i] >= 0) {
      const double at = static_cast<double>(i - 1) + static_cast<double>(-s[i - 1]) / (s[i] - s[i - 1]);
      if (first < 0) first = at;
      last = at;
      ++crossings;
    }
  }
  return crossings < 2 ? 0 : 11025.0 * (crossings - 1) / (last - first);
}

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SynthesisTest : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    units_ = {{unitOf(u'中'), testing::sine(440, 0.3)},
              {unitOf(u'文'), testing::sine(220, 0.25)},
              {unitOf(u'字'), testing::noise(0.2, 7)},
              {'A', testing::sine(660, 0.15)}};
    testing::writeVoice(dir_.path(), units_, {}, coded_);
  }

  std::map<std::uint32_t, std::vector<std::int16_t>> units_;
  std::map<std::uint32_t, voice::CodedUnit> coded_;
};

TEST_F(SynthesisTest, UnitsDecodeToWhatTheBuilderMeasured) {
  Engine engine;
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
  for (const auto& [code, unit] : coded_) {
    OutputSite site;
    // Rate 10 with durationIndex 10 is outside the time-scale gate.
    engine.synthesizer().speakSyllable(&site, 10, 100, code, {10, 10, 0, 10});
    EXPECT_EQ(engine.synthesizer().lastTrace().decodedBytes, unit.decodedBytes) << code;
    EXPECT_EQ(unit.decodedBytes, 2 * units_[code].size()) << code;  // the stream carries exactly the samples coded
  }
}

// Samples cut from the start and from the end of `s` by the energy edge
// trim: from each end, the samples passed before the running sum of squares
// first exceeds `threshold` (from the end, never s[0]).
std::pair<std::size_t, std::size_t> edgeCuts(const std::vector<std::int16_t>& s, std::uint64_t threshold) {
  std::uint64_t sum = 0;
  std::size_t start = 0;
  while (start < s.size() && (sum += static_cast<std::uint64_t>(s[start] * s[start])) <= threshold) ++start;
  sum = 0;
  std::size_t end = 0;
  while (s.size() >= 2 && end < s.size() - 1 &&
         (sum += static_cast<std::uint64_t>(s[s.size() - 1 - end] * s[s.size() - 1 - end])) <= threshold)
    ++end;
  return {start, end};
}

TEST_F(SynthesisTest, SineKeepsItsPitchAndTakesTheScaledLength) {
  Engine engine;
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
  OutputSite site;
  const std::uint32_t bytes = engine.synthesizer().speakSyllable(&site, 0, 100, unitOf(u'中'), {10, 10, 0, 0});
  ASSERT_EQ(site.bytesWritten(), bytes);
  // The lengths worked out from the unit alone. Decoded, it is the 0.3 s of
  // sine that was coded; the first trim at rate 0 cuts each edge against
  // (10 + 0) x energy / 4 000 000.
  const voice::CodedUnit& unit = coded_[unitOf(u'中')];
  std::vector<std::uint8_t> decoded(60000), chunk(8192);
  std::size_t decodedBytes = 0;
  MpegDecoder decoder;
  ASSERT_EQ(decoder.decode(unit.coded, chunk, decoded, decodedBytes), MpegDecoder::Status::Complete);
  const std::size_t coded = units_[unitOf(u'中')].size();
  ASSERT_EQ(decodedBytes, 2 * coded);
  const auto [startCut, endCut] = edgeCuts(samplesOf(decoded, 0, decodedBytes), 10 * unit.energy / 4000000);
  const std::size_t trimmed = coded - startCut - endCut;
  // Rate 0, durationIndex 0: 1.2 times as long, to the nearest sample (1.2 n
  // never ends in a half).
  const auto scaled = static_cast<std::uint32_t>(std::floor(1.2 * static_cast<double>(trimmed) + 0.5));
  // cutBefore and cutAfter 10 pad each side with (10 - 5) x n / 600 bytes of
  // silence, n the scaled samples, to a whole sample; nothing is cut.
  const std::uint32_t silence = (5 * scaled / 600) & ~1u;
  EXPECT_EQ(bytes, silence + 2 * scaled + silence) << "trimmed " << trimmed << " samples, scaled " << scaled;
  for (std::uint32_t i = 0; i < silence && i < site.audio().size(); ++i) ASSERT_EQ(site.audio()[i], 0) << i;
  const auto samples = samplesOf(site.audio(), silence, 2 * scaled);
  const std::vector<std::int16_t> middle(samples.begin() + 500, samples.end() - 1500);
  EXPECT_NEAR(frequencyOf(middle), 440.0, 4.4);
}

TEST_F(SynthesisTest, VolumeStageScalesAndInverts) {
  Engine engine;
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
  // volumeIndex +10 at volume 0: gain 30 x 9 / 500 = 0.54; volumeIndex -5: -0.27.
  OutputSite loud, inverted;
  engine.synthesizer().speakSyllable(&loud, 0, 0, unitOf(u'文'), {10, 10, 10, 0});
  engine.synthesizer().speakSyllable(&inverted, 0, 0, unitOf(u'文'), {10, 10, -5, 0});
  ASSERT_EQ(loud.bytesWritten(), inverted.bytesWritten());
  const auto a = samplesOf(loud.audio(), 0, loud.audio().size());
  const auto b = samplesOf(inverted.audio(), 0, inverted.audio().size());
  int opposite = 0, nonzero = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] == 0) continue;
    ++nonzero;
    if ((a[i] > 0) != (b[i] > 0) && b[i] != 0) ++opposite;
    EXPECT_LE(std::abs(2 * b[i] + a[i]), 2) << i;  // b = -a / 2 up to truncation
  }
  EXPECT_GT(nonzero, 1000);
  EXPECT_GT(opposite, nonzero * 9 / 10);
}

TEST_F(SynthesisTest, UnitCodesPastTheTableSpeakNothing) {
  Engine engine;
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
  OutputSite site;
  EXPECT_EQ(engine.synthesizer().speakSyllable(&site, 0, 100, voice::kUnitCount, {}), 0u);
  EXPECT_EQ(engine.synthesizer().speakSyllable(&site, 0, 100, 0xFFFFFFFFu, {}), 0u);
  EXPECT_EQ(engine.synthesizer().speakSyllable(&site, 0, 100, unitOf(u'丁'), {}), 0u);  // no recording
  EXPECT_EQ(site.bytesWritten(), 0u);
}

TEST_F(SynthesisTest, WaveDumpOfTheDecodedUnit) {
  setenv("SONVALE_DUMP_DIR", dir_.path().c_str(), 1);
  storeSettings({{u"WaveOutStyle", 1}, {u"RTFOutStyle", 1}});
  Engine engine;
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
  OutputSite site;
  const testing::FragmentList list(u"字");
  ASSERT_EQ(engine.speak(0, list.head(), &site), S_OK);
  const std::uint32_t n = coded_[unitOf(u'字')].decodedBytes;
  const auto file = readFile(dir_.file(kWaveDumpName));
  ASSERT_EQ(file.size(), 46u + n);
  const ByteReader reader(file);
  std::uint32_t riff = 0, data = 0;
  ASSERT_TRUE(reader.u32le(4, riff) && reader.u32le(42, data));
  EXPECT_EQ(riff, 38u + n);
  EXPECT_EQ(data, n);
  const auto trace = readFile(dir_.file(kTextDumpName));
  const std::string text(trace.begin(), trace.end());
  EXPECT_NE(text.find("字\r\nRateOut: 0\r\ndwTotalAudioLength: " + std::to_string(n) + "\r\n"), std::string::npos);
  EXPECT_NE(text.find("Time Scale\r\nScaleOut: 1.200000, ScaleIn: 0.000000\r\nFrequency: 11025, Channel: 1\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("Volume\r\nlVolumeIn: 0, lVolumeOut: 100\r\nBeDelTimeIn: -5\r\nAfDelTimeIn: -5\r\n"),
            std::string::npos);
}

TEST_F(SynthesisTest, WaveDumpOfWhatIsWritten) {
  setenv("SONVALE_DUMP_DIR", dir_.path().c_str(), 1);
  storeSettings({{u"WaveOutStyle", 4}, {u"RTFOutStyle", 0}});
  Engine engine;
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
  OutputSite site;
  engine.dumps().open(4, 0);
  engine.synthesizer().speakSyllable(&site, 3, 100, unitOf(u'中'), {6, 8, 0, 2});
  engine.dumps().close();
  const auto file = readFile(dir_.file(kWaveDumpName));
  ASSERT_EQ(file.size(), 46u + site.audio().size());
  EXPECT_TRUE(std::equal(site.audio().begin(), site.audio().end(), file.begin() + 46));
}

TEST_F(SynthesisTest, TwoEnginesOnTwoThreadsSpeakAsEachAlone) {
  const std::u16string texts[2] = {u"中文字。a 中", u"字字文，中 A"};
  std::vector<std::uint8_t> alone[2];
  for (int i = 0; i < 2; ++i) {
    Engine engine;
    ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
    OutputSite site;
    const testing::FragmentList list(texts[i]);
    ASSERT_EQ(engine.speak(0, list.head(), &site), S_OK);
    alone[i] = site.audio();
  }
  std::vector<std::uint8_t> together[2];
  Engine a, b;
  ASSERT_EQ(testing::loadVoice(a, dir_.path()), S_OK);
  ASSERT_EQ(testing::loadVoice(b, dir_.path()), S_OK);
  Engine* engines[2] = {&a, &b};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 3; ++round) {
        OutputSite site;
        const testing::FragmentList list(texts[i]);
        if (engines[i]->speak(0, list.head(), &site) == S_OK) together[i] = site.audio();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_GT(alone[i].size(), 20000u);
    EXPECT_EQ(together[i], alone[i]) << "text " << i;
  }
}

}  // namespace
}  // namespace sonvale
