// Syllable synthesis end to end, on voices coded from synthetic signals.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
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

// ---- Joins: every place where one Write of audio meets the next ----

// Text that reaches every path that writes samples: a dictionary word (香港),
// phrase-table entries of two, three and four syllables (倒车, 差不多, 语音朗读),
// punctuation read aloud with its short and long pauses, a silence fragment,
// numbers with a fraction, a percent sign and a minus, letters, a symbol with
// a unit of its own (é) and a character without one (☃, unit 0).
const std::vector<testing::Fragment> kJoinText = {
    {SPVA_Speak, u"香港倒车，差不多语音朗读。", 0},
    {SPVA_Silence, u"", 13, 30},
    {SPVA_Speak, u"中文12.5%", 13},
    {SPVA_Speak, u"-3", 20},
    {SPVA_Speak, u"aB\u00E9\u2603字！", 23},
};

// Units whose edges are loud wherever a trim cuts them: a tone that starts on
// its peak, noise, and a tone riding on an offset.
std::vector<std::int16_t> abruptUnit(std::size_t i) {
  const auto n = static_cast<std::size_t>((0.12 + 0.03 * static_cast<double>(i % 5)) * 11025);
  std::vector<std::int16_t> s(n);
  std::mt19937 rng(static_cast<unsigned>(i));
  std::uniform_int_distribution<int> noise(-7000, 7000);
  for (std::size_t k = 0; k < n; ++k) {
    const double t = static_cast<double>(k) / 11025.0;
    const double hz = 150.0 + 15.0 * static_cast<double>(i);
    double v = 0;
    if (i % 3 == 0) v = 9000 * std::cos(2 * M_PI * hz * t);
    if (i % 3 == 1) v = noise(rng);
    if (i % 3 == 2) v = 3000 + 6000 * std::sin(2 * M_PI * hz * t);
    s[k] = static_cast<std::int16_t>(v);
  }
  return s;
}

std::uint64_t fnv1a(const std::uint8_t* bytes, std::size_t count, std::uint64_t hash = 0xCBF29CE484222325ull) {
  for (std::size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
  return hash;
}

struct Spoken {
  std::vector<std::uint8_t> audio;
  std::vector<std::uint32_t> writes;  // sizes of the Write calls, in order
  std::vector<host::RecordedEvent> events;
};

class JoinTest : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    std::set<std::uint32_t> codes = {0, '!', ',', 'A', 'B', 0xE9, 0x3002 - 0x2E0C};
    std::u16string ideographs = u"零壹贰叁肆伍陆柒捌玖拾佰仟万亿负百分之点";
    for (const auto& f : kJoinText) ideographs += f.text;
    for (const char16_t c : ideographs)
      if (c >= 0x4E00 && c <= 0x9FA5) codes.insert(unitOf(c));
    std::map<std::uint32_t, std::vector<std::int16_t>> units;
    std::size_t i = 0;
    for (const std::uint32_t code : codes) units[code] = abruptUnit(i++);
    WordRecord word;
    word.clear();
    std::copy_n(u"香港", 2, word.text);
    std::copy_n(u"香港", 2, word.reading);
    const std::int32_t cutBefore[] = {-3, 8}, cutAfter[] = {2, 9}, volumeIndex[] = {4, -2}, durationIndex[] = {-5, 6};
    std::copy_n(cutBefore, 2, word.cutBefore);
    std::copy_n(cutAfter, 2, word.cutAfter);
    std::copy_n(volumeIndex, 2, word.volumeIndex);
    std::copy_n(durationIndex, 2, word.durationIndex);
    testing::writeVoice(dir_.path(), units, {word}, coded_);
    storeSettings({{u"ReadNumber", 1}, {u"ReadPunctuation", 1}, {u"SmoothCuts", 0}});
  }

  Spoken speakAt(Engine& engine, int rate, USHORT volume) {
    OutputSite site;
    site.recordWriteSizes(true);
    site.setRate(rate);
    site.setVolume(volume);
    const testing::FragmentList list(kJoinText);
    EXPECT_EQ(engine.speak(0, list.head(), &site), S_OK);
    return {site.audio(), site.writeSizes(), site.events()};
  }

  // What LAME made of the units and what libmpg123 makes of that, as one hash.
  std::uint64_t codecFingerprint() {
    std::uint64_t hash = fnv1a(nullptr, 0);
    MpegDecoder decoder;
    std::vector<std::uint8_t> chunk(8192), out(voice::kMaxDecodedUnitBytes);
    for (const auto& [code, unit] : coded_) {
      std::size_t bytes = 0;
      decoder.decode(unit.coded, chunk, out, bytes);
      hash = fnv1a(unit.coded.data(), unit.coded.size(), hash);
      hash = fnv1a(out.data(), bytes, hash);
    }
    return hash;
  }

  std::map<std::uint32_t, voice::CodedUnit> coded_;
};

// The output without smoothing, recorded from the engine as it was before
// cuts were smoothed (and again when percentages came to be read 百份之):
// bytes and FNV-1a hash of the whole audio, per rate and volume. It holds only
// while LAME and libmpg123 turn the units into the samples they did then
// (kJoinCodecFingerprint).
constexpr std::uint64_t kJoinCodecFingerprint = 0xe7f64c9fd1911a7dull;
struct UnsmoothedOutput {
  int rate;
  USHORT volume;
  std::size_t bytes;
  std::uint64_t hash;
};
constexpr UnsmoothedOutput kUnsmoothed[] = {
    {-10, 100, 203940, 0xb3dfd93640f06cd8ull},
    {-9, 100, 202214, 0xf49e6495f174b4caull},
    {-8, 100, 197696, 0xa83fa53d563d0a00ull},
    {-7, 100, 195974, 0x38decfbfab98e560ull},
    {-6, 100, 193318, 0xfddc35968c74eea5ull},
    {-5, 100, 190650, 0xcca9c0825893b021ull},
    {-4, 100, 188938, 0x505518131a247950ull},
    {-3, 100, 187208, 0xee00d9d6d4902c1eull},
    {-2, 100, 184578, 0xecb5fc17abd361eull},
    {-1, 100, 180036, 0xe113e766681a7f50ull},
    {0, 100, 179250, 0x92bc0ac53a6f4b55ull},
    {1, 100, 175660, 0x23be54a9e1f5e1e5ull},
    {2, 100, 172988, 0x444f24975e8d2345ull},
    {3, 100, 170330, 0x1378c9590d29e715ull},
    {4, 100, 168548, 0x9ce90504213b47d4ull},
    {5, 100, 164956, 0xff893c8f055a8245ull},
    {6, 100, 162898, 0x9be2648115aff06ull},
    {7, 100, 159034, 0xfc5cef5955500b7cull},
    {8, 100, 155334, 0x7e295ea0e5f5ec43ull},
    {9, 100, 152228, 0xc4b63b0a40fa98f9ull},
    {10, 100, 147446, 0xd7a40510a05025d4ull},
    {-10, 30, 203916, 0xb27fd89f022c3324ull},
    {-9, 30, 202190, 0x91a6fc0b7d827e5ull},
    {-8, 30, 197674, 0xe78d9d3aedfaf8cbull},
    {-7, 30, 195950, 0xb53c325c74eef0e4ull},
    {-6, 30, 193296, 0x4095435fe67a40a5ull},
    {-5, 30, 190626, 0xa1259726c390aeeeull},
    {-4, 30, 188914, 0x7e74bc42e1567abdull},
    {-3, 30, 187186, 0xad7c4fdf60a51546ull},
    {-2, 30, 184554, 0xa59ca4be14974f38ull},
    {-1, 30, 180020, 0x78f387be0bba9ac2ull},
    {0, 30, 179232, 0x4f50227eeb5e73a8ull},
    {1, 30, 175640, 0xfd95d0f0224bf4a8ull},
    {2, 30, 172970, 0xe7fd7b501d07dfcfull},
    {3, 30, 170314, 0x88685be5064289aull},
    {4, 30, 168538, 0xc8695ed1ad760269ull},
    {5, 30, 164930, 0xc14f9059ba142c5bull},
    {6, 30, 162878, 0x3f87b1d62ffb8b47ull},
    {7, 30, 159010, 0x9bfc61f8ce6640b3ull},
    {8, 30, 155328, 0xa62e48d83f30152bull},
    {9, 30, 152214, 0xb22d91520c9b211cull},
    {10, 30, 147432, 0xd81496ad032ebe10ull},
};

TEST_F(JoinTest, WithoutSmoothCutsEveryRateSpeaksAsBefore) {
  const std::uint64_t fingerprint = codecFingerprint();
  if (fingerprint != kJoinCodecFingerprint) {
    GTEST_SKIP() << "LAME or libmpg123 here code or decode the test units differently (fingerprint 0x" << std::hex
                 << fingerprint << "), so the recorded output does not apply";
  }
  Engine engine;
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
  for (const UnsmoothedOutput& expected : kUnsmoothed) {
    const Spoken spoken = speakAt(engine, expected.rate, expected.volume);
    EXPECT_EQ(spoken.audio.size(), expected.bytes) << "rate " << expected.rate << " volume " << expected.volume;
    const std::uint64_t hash = fnv1a(spoken.audio.data(), spoken.audio.size());
    EXPECT_EQ(hash, expected.hash) << "rate " << expected.rate << " volume " << expected.volume << ", now: {"
                                   << expected.rate << ", " << expected.volume << ", " << spoken.audio.size() << ", 0x"
                                   << std::hex << hash << "ull},";
  }
}

// With smoothing every Write, syllable or silence, starts and ends within
// 1/64 of full scale of zero, so every join (silence to syllable, syllable
// to silence, syllable to syllable) is quiet on both sides. Nothing moves:
// the same Writes of the same sizes, the same events at the same offsets,
// and every sample more than a fade away from an edge as it was.
TEST_F(JoinTest, SmoothCutsLeaveEveryJoinNearZero) {
  constexpr int kNearZero = 32768 / 64;
  const auto sampleAt = [](const std::vector<std::uint8_t>& audio, std::size_t byte) {
    return static_cast<std::int16_t>(audio[byte] | audio[byte + 1] << 8);
  };
  Engine engine;
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
  std::atomic<std::int32_t>& smoothCuts = settings::engineSettings().smoothCuts;
  int loudEdgesBefore = 0;
  for (const USHORT volume : {USHORT{100}, USHORT{30}}) {
    for (int rate = synth::kMinRate; rate <= synth::kMaxRate; ++rate) {
      const std::string where = "rate " + std::to_string(rate) + " volume " + std::to_string(volume);
      smoothCuts.store(0);
      const Spoken plain = speakAt(engine, rate, volume);
      smoothCuts.store(1);
      const Spoken smooth = speakAt(engine, rate, volume);
      ASSERT_EQ(smooth.writes, plain.writes) << where;
      ASSERT_EQ(smooth.events.size(), plain.events.size()) << where;
      for (std::size_t i = 0; i < plain.events.size(); ++i) {
        EXPECT_EQ(smooth.events[i].id, plain.events[i].id) << where << " event " << i;
        EXPECT_EQ(smooth.events[i].audioOffset, plain.events[i].audioOffset) << where << " event " << i;
      }
      std::size_t at = 0, faults = 0;
      std::string firstFault;
      const auto fault = [&](const std::string& what, std::size_t byte, int was, int is) {
        if (faults++ == 0)
          firstFault =
              what + " at byte " + std::to_string(byte) + ": " + std::to_string(was) + " -> " + std::to_string(is);
      };
      for (const std::uint32_t bytes : plain.writes) {
        const std::size_t samples = bytes / 2;
        for (std::size_t k = 0; k < samples; ++k) {
          const std::size_t byte = at + 2 * k;
          const int was = sampleAt(plain.audio, byte), is = sampleAt(smooth.audio, byte);
          const bool edge = k == 0 || k + 1 == samples;
          const bool faded = k < synth::kFadeSamples || k + synth::kFadeSamples >= samples;
          if (edge && std::abs(was) > kNearZero) ++loudEdgesBefore;
          if (edge && std::abs(is) > kNearZero) fault("loud edge", byte, was, is);
          if (faded && std::abs(is) > std::abs(was)) fault("fade made a sample louder", byte, was, is);
          if (!faded && is != was) fault("sample outside the fades changed", byte, was, is);
        }
        at += bytes;
      }
      EXPECT_EQ(faults, 0u) << where << ": " << firstFault;
    }
  }
  // The units are cut where they are loud: without smoothing the joins click.
  EXPECT_GT(loudEdgesBefore, 500);
}

}  // namespace
}  // namespace sonvale
