// Syllable synthesis end to end, on voices coded from synthetic signals.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <thread>

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

TEST_F(SynthesisTest, SineKeepsItsPitchAndTakesTheScaledLength) {
  Engine engine;
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
  OutputSite site;
  const std::uint32_t bytes = engine.synthesizer().speakSyllable(&site, 0, 100, unitOf(u'中'), {10, 10, 0, 0});
  const SyllableTrace& t = engine.synthesizer().lastTrace();
  ASSERT_EQ(site.bytesWritten(), bytes);
  EXPECT_EQ(bytes, t.silenceBeforeBytes + t.sampleBytes + t.silenceAfterBytes);
  // Rate 0, durationIndex 0: f = 1.2 of the trimmed length.
  const std::uint32_t trimmed = t.decodedBytes - t.firstStartBytes - t.firstEndBytes;
  EXPECT_EQ(t.scaledBytes / 2, static_cast<std::uint32_t>(nearest(1.2 * (trimmed / 2))));
  // cutBefore 10: (10 - 5) x n / 600 bytes of silence, n the scaled samples.
  EXPECT_EQ(t.silenceBeforeBytes, (5 * (t.scaledBytes / 2) / 600) & ~1u);
  const auto samples = samplesOf(site.audio(), t.silenceBeforeBytes, t.sampleBytes);
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
