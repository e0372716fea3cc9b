// Building small voices from synthetic recordings and checking them.
#include "synth/voice_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "lame_stream.h"
#include "platform/le_bytes.h"
#include "synth/mpeg_decoder.h"
#include "synth/voice_format.h"
#include "voice_commands.h"

namespace sonvale::voice {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Helpers

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "sonvale_voice_XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::vector<std::uint8_t> readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A canonical 44-byte-header PCM WAV file of 16-bit samples; `frames` holds
// one vector per channel, all of the same length.
void writeWav(const fs::path& path, std::uint32_t rateHz, const std::vector<std::vector<std::int16_t>>& channels) {
  const auto channelCount = static_cast<std::uint16_t>(channels.size());
  const auto frames = static_cast<std::uint32_t>(channels[0].size());
  const std::uint32_t dataBytes = frames * channelCount * 2;
  std::vector<std::uint8_t> b;
  const auto tag = [&](const char* t) { b.insert(b.end(), t, t + 4); };
  tag("RIFF");
  appendU32le(b, 36 + dataBytes);
  tag("WAVE");
  tag("fmt ");
  appendU32le(b, 16);
  appendU16le(b, 1);
  appendU16le(b, channelCount);
  appendU32le(b, rateHz);
  appendU32le(b, rateHz * channelCount * 2);
  appendU16le(b, static_cast<std::uint16_t>(channelCount * 2));
  appendU16le(b, 16);
  tag("data");
  appendU32le(b, dataBytes);
  for (std::uint32_t i = 0; i < frames; ++i)
    for (const auto& channel : channels) appendU16le(b, static_cast<std::uint16_t>(channel[i]));
  writeBytes(path, b);
}

std::vector<std::int16_t> sine(double hz, std::uint32_t rateHz, std::size_t frames, double amplitude) {
  std::vector<std::int16_t> s(frames);
  for (std::size_t i = 0; i < frames; ++i)
    s[i] = static_cast<std::int16_t>(
        std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rateHz)));
  return s;
}

std::vector<std::int16_t> decodeUnit(std::span<const std::uint8_t> coded) {
  std::vector<std::uint8_t> chunk(8192), out(kMaxDecodedUnitBytes);
  std::size_t bytes = 0;
  MpegDecoder decoder;
  if (decoder.decode(coded, chunk, out, bytes) != MpegDecoder::Status::Complete) return {};
  std::vector<std::int16_t> samples(bytes / 2);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<std::int16_t>(out[2 * i] | out[2 * i + 1] << 8);
  return samples;
}

std::uint64_t energyOf(const std::vector<std::int16_t>& samples) {
  std::uint64_t e = 0;
  for (const std::int16_t s : samples) e += static_cast<std::uint64_t>(std::int64_t{s} * s);
  return e;
}

std::size_t zeroCrossings(const std::vector<std::int16_t>& s) {
  std::size_t n = 0;
  for (std::size_t i = 1; i < s.size(); ++i) n += (s[i - 1] < 0) != (s[i] < 0);
  return n;
}

bool anyContains(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& line : lines)
    if (line.find(part) != std::string::npos) return true;
  return false;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

std::u16string textOf(const char16_t* units) { return std::u16string(units); }

// ---------------------------------------------------------------------------
// A small voice: five ideograph units (U+4E00..U+4E04, unit codes
// 1000..1004) and the letter A (65), recorded at 22050, 44100 and 11025 Hz.

constexpr std::uint32_t kNoiseSeed = 12345;

struct UnitSpec {
  std::uint32_t unit;
  std::uint32_t rateHz;
  std::size_t channels;
  std::size_t frames;
  double sineHz;  // 0: noise
};

// Frame counts are multiples of rate / 11025, so each converts to a whole
// number of samples: 11024 at 22050 Hz -> 5512, 17640 at 44100 Hz -> 4410.
const UnitSpec kUnits[] = {
    {1000, 22050, 2, 11024, 440.0}, {1001, 44100, 2, 17640, 220.0}, {1002, 11025, 1, 3308, 1000.0},
    {1003, 44100, 2, 13232, 0.0},   {1004, 22050, 2, 11024, 440.0},  // the same recording as 1000
    {65, 22050, 1, 4410, 660.0},
};
constexpr double kSineAmplitude = 8000.0;

std::size_t samplesAt11025(const UnitSpec& u) { return u.frames * 11025 / u.rateHz; }

void writeUnits(const fs::path& dir) {
  fs::create_directories(dir);
  std::printf("noise seed %u\n", kNoiseSeed);
  for (const UnitSpec& u : kUnits) {
    std::vector<std::int16_t> mono;
    if (u.sineHz > 0) {
      mono = sine(u.sineHz, u.rateHz, u.frames, kSineAmplitude);
    } else {
      std::mt19937 random(kNoiseSeed);
      std::uniform_int_distribution<int> noise(-6000, 6000);
      for (std::size_t i = 0; i < u.frames; ++i) mono.push_back(static_cast<std::int16_t>(noise(random)));
    }
    writeWav(dir / (std::to_string(u.unit) + ".wav"), u.rateHz, std::vector(u.channels, mono));
  }
  writeText(dir / "README", "not a recording: ignored\n");
}

// 一 = U+4E00, 丁 = U+4E01, 丂 = U+4E02, 七 = U+4E03, 丄 = U+4E04.
const char kWords[] =
    "# test words\n"
    "\n"
    "一丁\t\tjat1 ding1\t\tshort\n"
    "一丁丂七\n"
    "一丁丂\t一丁丂\t\t-2,3,4,-9 0,0,0,0 1,1,1,10\n"
    "七一\t一一\tcat1 jat1\t5,5,0,0 -10,10,-10,10\t七一 reads as two units 一\n"
    "丁七\t丁\n";

struct BuiltVoice {
  TempDir temp;
  fs::path units;
  fs::path words;
  fs::path out;
  std::string error;
  BuildSummary summary;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> progress;

  explicit BuiltVoice(const std::string& wordsText = kWords) {
    units = temp.path() / "units";
    words = temp.path() / "words.txt";
    out = temp.path() / "voice";
    writeUnits(units);
    writeText(words, wordsText);
  }
  void build() {
    error = buildVoice(
        units.string(), words.string(), out.string(),
        [this](std::uint32_t done, std::uint32_t total) { progress.emplace_back(done, total); }, summary);
  }
  std::vector<std::uint8_t> file(const char* name) const { return readBytes(out / name); }
};

class VoiceBuilderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    voice_ = new BuiltVoice;
    voice_->build();
  }
  static void TearDownTestSuite() {
    delete voice_;
    voice_ = nullptr;
  }
  static BuiltVoice* voice_;
};
BuiltVoice* VoiceBuilderTest::voice_ = nullptr;

// ---------------------------------------------------------------------------
// A good build

TEST_F(VoiceBuilderTest, BuildsAndTheCheckFindsNoProblem) {
  ASSERT_EQ(voice_->error, "");
  EXPECT_EQ(voice_->summary.units, 6u);
  EXPECT_EQ(voice_->summary.words, 5u);
  const VoiceCheck check = checkVoice(voice_->out.string());
  EXPECT_TRUE(check.problems.empty()) << joined(check.problems);
  EXPECT_EQ(check.unitsPresent, 6u);
  EXPECT_EQ(check.words, 5u);
  // Each unit decodes to frames x 11025 / rate samples (see kUnits).
  std::size_t samples = 0;
  for (const UnitSpec& u : kUnits) samples += samplesAt11025(u);
  EXPECT_EQ(check.decodedBytes, 2 * samples);
  EXPECT_EQ(voice_->summary.decodedBytes, 2 * samples);
}

TEST_F(VoiceBuilderTest, WritesExactlyTheThreeFilesAtTheirSizes) {
  ASSERT_EQ(voice_->error, "");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(voice_->out)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"voice.dat", "voice.def", "voice.wrd"}));
  // 84 + 21902 x 32.
  EXPECT_EQ(voice_->file(kVoiceDefFileName).size(), 700948u);
  // 250980 + 428 x (placeholder + 5 words).
  EXPECT_EQ(voice_->file(kVoiceWordFileName).size(), 250980u + 428u * 6u);
  EXPECT_EQ(voice_->file(kVoiceDataFileName).size(), voice_->summary.voiceDataBytes);
}

TEST_F(VoiceBuilderTest, ReportsProgressForEveryUnit) {
  ASSERT_EQ(voice_->error, "");
  ASSERT_EQ(voice_->progress.size(), 7u);
  for (std::uint32_t i = 0; i < 7; ++i) EXPECT_EQ(voice_->progress[i], std::make_pair(i, 6u));
}

TEST_F(VoiceBuilderTest, EachUnitDecodesToTheRecordedLengthAndEnergy) {
  ASSERT_EQ(voice_->error, "");
  const auto def = voice_->file(kVoiceDefFileName);
  const auto data = voice_->file(kVoiceDataFileName);
  ASSERT_TRUE(hasVoiceDefIdentity(def));
  for (const UnitSpec& u : kUnits) {
    SCOPED_TRACE("unit " + std::to_string(u.unit));
    UnitEntry e;
    ASSERT_TRUE(readUnitEntry(def, u.unit, e));
    ASSERT_GT(e.length, 0u);
    EXPECT_LE(e.length, kMaxCodedUnitBytes);
    ASSERT_LE(std::uint64_t{e.offset} + e.length, data.size());
    const auto samples = decodeUnit(std::span(data).subspan(e.offset, e.length));
    // The info frame lets the decoder drop the coder's delay and padding, so
    // the unit decodes to exactly its frames x 11025 / rate samples.
    EXPECT_EQ(samples.size(), samplesAt11025(u));
    EXPECT_EQ(e.energy, energyOf(samples));
    if (u.sineHz > 0) {
      // A sine of amplitude A has mean square A^2 / 2; coding keeps it within 10%.
      const double expected = kSineAmplitude * kSineAmplitude / 2 * static_cast<double>(samplesAt11025(u));
      EXPECT_NEAR(static_cast<double>(e.energy), expected, 0.1 * expected);
    }
  }
}

TEST_F(VoiceBuilderTest, UnitsWithoutRecordingSpeakNothing) {
  ASSERT_EQ(voice_->error, "");
  const auto def = voice_->file(kVoiceDefFileName);
  std::size_t empty = 0;
  for (std::uint32_t unit = 0; unit < kUnitCount; ++unit) {
    UnitEntry e;
    ASSERT_TRUE(readUnitEntry(def, unit, e));
    if (e.length == 0) {
      EXPECT_EQ(e.offset, 0u) << "unit " << unit;
      EXPECT_EQ(e.energy, 0u) << "unit " << unit;
      ++empty;
    }
  }
  EXPECT_EQ(empty, kUnitCount - 6);
}

TEST_F(VoiceBuilderTest, IdenticalRecordingsShareTheirBytes) {
  ASSERT_EQ(voice_->error, "");
  const auto def = voice_->file(kVoiceDefFileName);
  UnitEntry a, b;
  ASSERT_TRUE(readUnitEntry(def, 1000, a));
  ASSERT_TRUE(readUnitEntry(def, 1004, b));
  EXPECT_EQ(a.offset, b.offset);
  EXPECT_EQ(a.length, b.length);
  EXPECT_EQ(a.energy, b.energy);
  std::uint64_t distinct = 0;
  for (const std::uint32_t unit : {1000u, 1001u, 1002u, 1003u, 65u}) {
    UnitEntry e;
    readUnitEntry(def, unit, e);
    distinct += e.length;
  }
  EXPECT_EQ(voice_->summary.voiceDataBytes, distinct);
}

TEST_F(VoiceBuilderTest, SinePitchSurvivesCoding) {
  ASSERT_EQ(voice_->error, "");
  const auto def = voice_->file(kVoiceDefFileName);
  const auto data = voice_->file(kVoiceDataFileName);
  for (const UnitSpec& u : kUnits) {
    if (u.sineHz == 0) continue;
    SCOPED_TRACE("unit " + std::to_string(u.unit));
    UnitEntry e;
    ASSERT_TRUE(readUnitEntry(def, u.unit, e));
    const auto samples = decodeUnit(std::span(data).subspan(e.offset, e.length));
    // A sine of f Hz crosses zero 2 f times a second.
    const double expected = 2 * u.sineHz * static_cast<double>(samplesAt11025(u)) / 11025.0;
    EXPECT_NEAR(static_cast<double>(zeroCrossings(samples)), expected, 0.03 * expected);
  }
}

TEST_F(VoiceBuilderTest, TheSameInputBuildsTheSameBytes) {
  ASSERT_EQ(voice_->error, "");
  BuiltVoice again;
  again.build();
  ASSERT_EQ(again.error, "");
  for (const char* name : {kVoiceDefFileName, kVoiceDataFileName, kVoiceWordFileName})
    EXPECT_TRUE(voice_->file(name) == again.file(name)) << name;
}

// The first pass of the dictionary search, written out from its rules: cut
// the probe to each record's length in turn and take the first equal,
// enabled record.
std::u16string firstPassMatch(std::span<const std::uint8_t> dict, std::u16string probe) {
  const ByteReader r(dict);
  std::uint32_t first = 0, last = 0;
  const std::size_t entry = kCharIndexOffset + kCharIndexEntryBytes * (probe[0] - 0x4E00);
  r.u32le(entry + 4, first);
  r.u32le(entry + 8, last);
  if (first == 0 && last == 0) return u"";
  for (std::uint32_t k = first; k <= last; ++k) {
    WordRecord w;
    if (!readWordRecord(dict.subspan(kRecordsOffset + 428 * std::size_t{k}), w)) return u"";
    const std::u16string text = textOf(w.text);
    if (text.size() <= 1) continue;
    if (probe.size() > text.size()) probe.resize(text.size());
    if (probe == text && w.disabled == 0) return text;
  }
  return u"";
}

TEST_F(VoiceBuilderTest, DictionaryListsLongestWordsFirst) {
  ASSERT_EQ(voice_->error, "");
  const auto dict = voice_->file(kVoiceWordFileName);
  ASSERT_TRUE(hasDictIdentity(dict));
  const ByteReader r(dict);
  std::uint32_t sharedFirst = 0, sharedCount = 1;
  r.u32le(kSharedFirstOffset, sharedFirst);
  r.u32le(kSharedCountOffset, sharedCount);
  EXPECT_EQ(sharedFirst, 0xFFFFFFFFu);
  EXPECT_EQ(sharedCount, 0u);

  WordRecord placeholder;
  ASSERT_TRUE(readWordRecord(std::span(dict).subspan(kRecordsOffset), placeholder));
  EXPECT_NE(placeholder.disabled, 0);

  // Sorted by first character, then longest first: 一丁丂七, 一丁丂, 一丁 are
  // records 1..3, 丁七 is 4, 七一 is 5.
  const auto index = [&](char16_t c) {
    std::uint32_t first = 0, last = 0;
    r.u32le(kCharIndexOffset + 12 * std::size_t(c - 0x4E00) + 4, first);
    r.u32le(kCharIndexOffset + 12 * std::size_t(c - 0x4E00) + 8, last);
    return std::make_pair(first, last);
  };
  EXPECT_EQ(index(u'一'), std::make_pair(1u, 3u));
  EXPECT_EQ(index(u'丁'), std::make_pair(4u, 4u));
  EXPECT_EQ(index(u'七'), std::make_pair(5u, 5u));
  EXPECT_EQ(index(u'丂'), std::make_pair(0u, 0u));
  const std::u16string expectedOrder[] = {u"一丁丂七", u"一丁丂", u"一丁", u"丁七", u"七一"};
  for (std::uint32_t k = 1; k <= 5; ++k) {
    WordRecord w;
    ASSERT_TRUE(readWordRecord(std::span(dict).subspan(kRecordsOffset + 428 * std::size_t{k}), w));
    EXPECT_EQ(textOf(w.text), expectedOrder[k - 1]) << "record " << k;
  }

  EXPECT_EQ(firstPassMatch(dict, u"一丁丂七丄"), u"一丁丂七");
  EXPECT_EQ(firstPassMatch(dict, u"一丁丂丄"), u"一丁丂");
  EXPECT_EQ(firstPassMatch(dict, u"一丁丄"), u"一丁");
  EXPECT_EQ(firstPassMatch(dict, u"一丄"), u"");
  EXPECT_EQ(firstPassMatch(dict, u"丂一"), u"");
}

TEST_F(VoiceBuilderTest, WordRecordsCarryEveryFieldOfTheirLine) {
  ASSERT_EQ(voice_->error, "");
  const auto dict = voice_->file(kVoiceWordFileName);
  std::map<std::u16string, WordRecord> byText;
  for (std::uint32_t k = 1; k <= 5; ++k) {
    WordRecord w;
    ASSERT_TRUE(readWordRecord(std::span(dict).subspan(kRecordsOffset + 428 * std::size_t{k}), w));
    EXPECT_EQ(w.disabled, 0);
    byText[textOf(w.text)] = w;
  }
  const WordRecord& a = byText[u"一丁"];
  EXPECT_EQ(textOf(a.reading), u"一丁");  // defaults to the text
  EXPECT_STREQ(a.romanization[0], "jat1");
  EXPECT_STREQ(a.romanization[1], "ding1");
  EXPECT_EQ(textOf(a.note), u"short");
  EXPECT_EQ(a.syllable(0), SyllableParams{});

  const WordRecord& b = byText[u"一丁丂"];
  EXPECT_EQ(b.syllable(0), (SyllableParams{-2, 3, 4, -9}));
  EXPECT_EQ(b.syllable(1), (SyllableParams{0, 0, 0, 0}));
  EXPECT_EQ(b.syllable(2), (SyllableParams{1, 1, 1, 10}));
  EXPECT_EQ(b.romanization[0][0], '\0');

  const WordRecord& c = byText[u"七一"];
  EXPECT_EQ(textOf(c.reading), u"一一");
  EXPECT_EQ(c.syllable(1), (SyllableParams{-10, 10, -10, 10}));
  EXPECT_EQ(textOf(c.note), u"七一 reads as two units 一");

  const WordRecord& d = byText[u"丁七"];
  EXPECT_EQ(d.readingLength(), 1u);  // one syllable spoken for two characters
}

// A reading character below U+4E00 names a unit below 1000: U+4A59 - 0x4A18 =
// 65, the letter A's unit, which no ideograph of a text reaches.
TEST(ExtraUnits, AReadingCharacterBelowTheIdeographsNamesAUnitBelowThousand) {
  BuiltVoice voice("一丁\t一\u4A59\n");
  voice.build();
  ASSERT_EQ(voice.error, "");
  const VoiceCheck check = checkVoice(voice.out.string());
  EXPECT_TRUE(check.problems.empty()) << joined(check.problems);
  EXPECT_EQ(check.words, 1u);
  // Without the letter's audio the check names the unit the reading needs.
  std::vector<std::uint8_t> damaged = voice.file(kVoiceDefFileName);
  std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(kUnitTableOffset + kUnitEntryBytes * 65), 32, 0);
  writeBytes(voice.out / kVoiceDefFileName, damaged);
  EXPECT_TRUE(anyContains(checkVoice(voice.out.string()).problems, "reading character U+4A59 (\u4A59) needs unit 65"))
      << joined(checkVoice(voice.out.string()).problems);
}

// ---------------------------------------------------------------------------
// The words file

struct WordsCase {
  const char* name;
  std::string text;
  const char* error;  // a part of the expected message
};

void PrintTo(const WordsCase& c, std::ostream* os) { *os << c.name; }
class WordsFileErrors : public ::testing::TestWithParam<WordsCase> {};

TEST_P(WordsFileErrors, NameTheLineAndTheFault) {
  std::vector<WordLine> words;
  const std::string error = parseWordsFile(GetParam().text, words);
  EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WordsFileErrors,
    ::testing::Values(
        WordsCase{"OneCharacter", "# c\n一\n", "line 2: TEXT \"一\" has 1 UTF-16 code units; expected 2 to 8"},
        WordsCase{"NineCharacters", "一一一一一一一一一\n", "line 1: TEXT"},
        WordsCase{"LatinFirst", "A一\n", "line 1: TEXT \"A一\" starts with U+0041"},
        WordsCase{"ReadingDefaultNotIdeographs", "一A\n", "line 1: TEXT (used as the reading) \"一A\" holds U+0041"},
        WordsCase{"ReadingNotIdeographs", "一丁\t一,\n", "READING \"一,\" holds U+002C"},
        // U+4A18 names unit 0; the character before it would need a negative unit.
        WordsCase{"ReadingBelowTheUnitCodes", "一丁\t一\u4A17\n", "holds U+4A17"},
        WordsCase{"ReadingNineSyllables", "一丁\t一一一一一一一一一\n", "READING \"一一一一一一一一一\" has 9"},
        WordsCase{"RomanizationCount", "一丁\t\tjat1\n",
                  "ROMANIZATION has 1 items; expected one per code unit of TEXT (2)"},
        WordsCase{"RomanizationTooLong", "一丁\t\tjat1 abcdefgh\n",
                  "ROMANIZATION item 2 \"abcdefgh\" has 8 characters"},
        WordsCase{"ParamsCount", "一丁\t\t\t0,0,0,0\n",
                  "PARAMS has 1 items; expected one cb,ca,vi,di per syllable of READING (2)"},
        WordsCase{"ParamsNotNumbers", "一丁\t\t\t0,0,0 0,0,0,0\n", "PARAMS item 1 \"0,0,0\" is not four integers"},
        WordsCase{"CutBeforeOutOfRange", "一丁\t\t\t11,0,0,0 0,0,0,0\n", "cutBefore 11 is outside -10..10"},
        WordsCase{"VolumeOutOfRange", "一丁\t\t\t0,0,0,0 0,0,-11,0\n", "PARAMS item 2 \"0,0,-11,0\": volumeIndex -11"},
        WordsCase{"DurationMinusTen", "一丁\t\t\t0,0,0,-10 0,0,0,0\n", "durationIndex -10 is outside -9..10"},
        WordsCase{"NoteTooLong", "一丁\t\t\t\t" + std::string(50, 'n') + "\n",
                  "NOTE has 50 UTF-16 code units; at most 49"},
        WordsCase{"SixFields", "一丁\t\t\t\t\t\n", "expected at most 5 TAB-separated fields"},
        WordsCase{"Duplicate", "一丁\n\n一丁\t一一\n", "line 3: the word \"一丁\" is already on line 1"},
        WordsCase{"BadUtf8", "一\xFF\n", "line 1: TEXT is not valid UTF-8"},
        WordsCase{"ControlCharacter", "一丁\t\t\t\tbell\x07\n", "NOTE holds the control character U+0007"}),
    [](const ::testing::TestParamInfo<WordsCase>& param) { return std::string(param.param.name); });

TEST(WordsFile, SkipsCommentsBlankLinesAndCarriageReturns) {
  std::vector<WordLine> words;
  const std::string text = "\xEF\xBB\xBF# comment\r\n\r\n  \t \n  # indented comment\n一丁\r\n丁七\t丁\r\n";
  ASSERT_EQ(parseWordsFile(text, words), "");
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[0].lineNumber, 5u);
  EXPECT_EQ(textOf(words[0].record.text), u"一丁");
  EXPECT_EQ(words[1].lineNumber, 6u);
  EXPECT_EQ(textOf(words[1].record.reading), u"丁");
}

// ---------------------------------------------------------------------------
// Coding one unit

TEST(CodeUnit, TheLongestUnitDecodesToSixtyThousandBytes) {
  const auto samples = sine(300, 11025, 30000, 5000);
  CodedUnit unit;
  ASSERT_EQ(codeUnit(samples, unit), "");
  EXPECT_EQ(unit.decodedBytes, 60000u);
  EXPECT_LE(unit.coded.size(), kMaxCodedUnitBytes);
}

TEST(CodeUnit, RefusesEmptyAndOverLongUnits) {
  CodedUnit unit;
  EXPECT_EQ(codeUnit({}, unit), "no audio samples");
  const auto samples = sine(300, 11025, 30001, 5000);
  EXPECT_NE(codeUnit(samples, unit).find("30001 samples (2.72 s) at 11025 Hz; a unit holds at most 30000"),
            std::string::npos);
}

TEST(LoadRecording, KeepsMonoSamplesAt11025HzExactly) {
  TempDir temp;
  const auto samples = sine(440, 11025, 1000, 12000);
  writeWav(temp.path() / "1.wav", 11025, {samples});
  std::vector<std::int16_t> loaded;
  ASSERT_EQ(loadRecording((temp.path() / "1.wav").string(), 30000, loaded), "");
  EXPECT_EQ(loaded, samples);
}

TEST(LoadRecording, AveragesChannels) {
  TempDir temp;
  const std::vector<std::int16_t> left = {1000, -2000, 300, 32767};
  const std::vector<std::int16_t> right = {3000, 2000, -301, 32767};
  writeWav(temp.path() / "1.wav", 11025, {left, right});
  std::vector<std::int16_t> loaded;
  ASSERT_EQ(loadRecording((temp.path() / "1.wav").string(), 30000, loaded), "");
  // (l + r) / 2, halves rounded away from zero: 2000, 0, -0.5 -> -1, 32767.
  EXPECT_EQ(loaded, (std::vector<std::int16_t>{2000, 0, -1, 32767}));
}

// ---------------------------------------------------------------------------
// Failed builds

struct BadBuildCase {
  const char* name;
  std::function<void(BuiltVoice&)> damage;
  const char* error;  // a part of the expected message
};

void PrintTo(const BadBuildCase& c, std::ostream* os) { *os << c.name; }
class BadBuilds : public ::testing::TestWithParam<BadBuildCase> {};

TEST_P(BadBuilds, FailClearlyAndWriteNothing) {
  BuiltVoice voice;
  GetParam().damage(voice);
  voice.build();
  EXPECT_NE(voice.error.find(GetParam().error), std::string::npos) << voice.error;
  EXPECT_FALSE(fs::exists(voice.out)) << "the output folder was left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadBuilds,
    ::testing::Values(
        BadBuildCase{"BadWordsLine",
                     [](BuiltVoice& v) { writeText(v.words, std::string(kWords) + "一丁丂\t\t\t0,0,0,0\n"); },
                     "words.txt line 8: PARAMS has 1 items"},
        BadBuildCase{"UnitCodeOutOfRange",
                     [](BuiltVoice& v) { writeWav(v.units / "21902.wav", 11025, {sine(440, 11025, 100, 1000)}); },
                     "21902.wav: unit code 21902 is outside 0..21901"},
        BadBuildCase{"NameWithoutExtension",
                     [](BuiltVoice& v) { writeWav(v.units / "1005", 11025, {sine(440, 11025, 100, 1000)}); },
                     "expected a name <unitcode>.<extension>"},
        BadBuildCase{"TwoRecordingsOfOneUnit",
                     [](BuiltVoice& v) { writeWav(v.units / "01000.wav", 11025, {sine(440, 11025, 100, 1000)}); },
                     "unit 1000 has two recordings"},
        // 3 s at 22050 Hz is 33075 samples at 11025 Hz.
        BadBuildCase{"OverLongUnit",
                     [](BuiltVoice& v) { writeWav(v.units / "1001.wav", 22050, {sine(440, 22050, 66150, 1000)}); },
                     "unit 1001 (U+4E01 (丁)) ("},
        BadBuildCase{"NotAudio", [](BuiltVoice& v) { writeText(v.units / "1002.wav", "this is not audio\n"); },
                     "1002.wav): not an audio file libsndfile can read"},
        BadBuildCase{"EmptyRecording", [](BuiltVoice& v) { writeWav(v.units / "1002.wav", 11025, {{}}); },
                     "1002.wav): holds no audio"},
        BadBuildCase{"ReadingWithoutRecording", [](BuiltVoice& v) { writeText(v.words, "一丁\t一丅\n"); },
                     "words.txt line 1: the reading character U+4E05 (丅) has no recording (1005.wav)"},
        // U+4B18 - 0x4A18 = 256, a unit that no text character reaches.
        BadBuildCase{"ExtraUnitWithoutRecording", [](BuiltVoice& v) { writeText(v.words, "一丁\t一\u4B18\n"); },
                     "the reading character U+4B18 (\u4B18) has no recording (256.wav)"},
        BadBuildCase{"NoUnits",
                     [](BuiltVoice& v) {
                       fs::remove_all(v.units);
                       fs::create_directories(v.units);
                       writeText(v.words, "");
                     },
                     "no unit recordings"},
        BadBuildCase{"MissingWordsFile", [](BuiltVoice& v) { fs::remove(v.words); }, "cannot read the words file"}),
    [](const ::testing::TestParamInfo<BadBuildCase>& param) { return std::string(param.param.name); });

TEST(BadBuild, OverLongUnitSaysHowLong) {
  BuiltVoice voice;
  writeWav(voice.units / "1001.wav", 22050, {sine(440, 22050, 66150, 1000)});
  voice.build();
  EXPECT_NE(
      voice.error.find("3.00 s of audio (33075 samples at 11025 Hz); a unit holds at most 30000 samples (2.72 s)"),
      std::string::npos)
      << voice.error;
}

TEST(BadBuild, LeavesAnEarlierVoiceUntouched) {
  BuiltVoice voice;
  voice.build();
  ASSERT_EQ(voice.error, "");
  const auto before = voice.file(kVoiceDataFileName);
  writeText(voice.units / "1003.wav", "damaged");
  voice.build();
  ASSERT_NE(voice.error, "");
  EXPECT_TRUE(voice.file(kVoiceDataFileName) == before);
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(voice.out)) ++files;
  EXPECT_EQ(files, 3u);
}

// ---------------------------------------------------------------------------
// Damaged voices

class DamagedVoice : public VoiceBuilderTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(voice_->error, "");
    def_ = voice_->file(kVoiceDefFileName);
    data_ = voice_->file(kVoiceDataFileName);
    word_ = voice_->file(kVoiceWordFileName);
  }
  VoiceCheck check() const { return checkVoiceImages(def_, data_, word_); }
  UnitEntry entry(std::uint32_t unit) const {
    UnitEntry e;
    readUnitEntry(def_, unit, e);
    return e;
  }
  std::uint8_t* entryField(std::uint32_t unit, std::size_t field) {
    return &def_[kUnitTableOffset + kUnitEntryBytes * unit + field];
  }
  std::vector<std::uint8_t> def_, data_, word_;
};

TEST_F(DamagedVoice, TruncatedUnitAudioNamesTheUnitsCut) {
  // Cut the unit audio just before the end of the unit stored last.
  std::uint32_t lastUnit = 0;
  for (const UnitSpec& u : kUnits)
    if (entry(u.unit).offset + entry(u.unit).length == data_.size()) lastUnit = u.unit;
  ASSERT_NE(lastUnit, 0u);
  data_.resize(data_.size() - 1);
  const VoiceCheck c = check();
  EXPECT_TRUE(anyContains(c.problems, "voice.def: unit " + std::to_string(lastUnit) + " ")) << joined(c.problems);
  EXPECT_TRUE(anyContains(c.problems, "end outside voice.dat (" + std::to_string(data_.size()) + " bytes)"))
      << joined(c.problems);
}

TEST_F(DamagedVoice, TruncatedFileOnDiskIsFound) {
  TempDir temp;
  writeBytes(temp.path() / kVoiceDefFileName, def_);
  writeBytes(temp.path() / kVoiceDataFileName, std::vector<std::uint8_t>(data_.begin(), data_.begin() + 100));
  writeBytes(temp.path() / kVoiceWordFileName, word_);
  const VoiceCheck c = checkVoice(temp.path().string());
  EXPECT_TRUE(anyContains(c.problems, "end outside voice.dat (100 bytes)")) << joined(c.problems);
  // Words read by units that no longer decode are reported too.
  EXPECT_TRUE(anyContains(c.problems, "which has no playable audio")) << joined(c.problems);
}

TEST_F(DamagedVoice, OffsetPastTheEndNamesTheUnit) {
  putU32le(entryField(1002, 8), static_cast<std::uint32_t>(data_.size()));
  const VoiceCheck c = check();
  // The unit, and the two words whose readings hold 丂 (一丁丂七 and 一丁丂).
  ASSERT_EQ(c.problems.size(), 3u) << joined(c.problems);
  EXPECT_NE(c.problems[0].find("voice.def: unit 1002 (U+4E02 (丂)): coded bytes"), std::string::npos) << c.problems[0];
  EXPECT_TRUE(anyContains(c.problems, "record 1 \"一丁丂七\": reading character U+4E02 (丂) needs unit 1002"))
      << joined(c.problems);
  EXPECT_TRUE(anyContains(c.problems, "record 2 \"一丁丂\": reading character U+4E02 (丂) needs unit 1002"))
      << joined(c.problems);
}

TEST_F(DamagedVoice, EmptyUnitPastTheEndNamesTheUnit) {
  putU32le(entryField(66, 8), static_cast<std::uint32_t>(data_.size() + 1));
  const VoiceCheck c = check();
  ASSERT_EQ(c.problems.size(), 1u) << joined(c.problems);
  EXPECT_NE(c.problems[0].find("voice.def: unit 66 (U+0042 (B)): empty unit at offset"), std::string::npos)
      << c.problems[0];
}

TEST_F(DamagedVoice, OverLongCodedLengthNamesTheUnit) {
  putU32le(entryField(65, 12), 16385);
  const VoiceCheck c = check();
  EXPECT_TRUE(anyContains(c.problems, "voice.def: unit 65 (U+0041 (A)): length 16385 coded bytes; at most 16384"))
      << joined(c.problems);
}

TEST_F(DamagedVoice, BytesThatAreNotAudioNameTheUnit) {
  const UnitEntry e = entry(1003);
  std::fill_n(data_.begin() + e.offset, e.length, std::uint8_t{0});
  const VoiceCheck c = check();
  EXPECT_TRUE(anyContains(c.problems, "voice.dat: unit 1003 (U+4E03 (七)) at offset " + std::to_string(e.offset)))
      << joined(c.problems);
}

TEST_F(DamagedVoice, UnitAtAnotherRateNamesTheUnit) {
  const auto coded = sonvale::testing::lameStream(sine(440, 22050, 4000, 8000), 22050);
  ASSERT_FALSE(coded.empty());
  ASSERT_FALSE(decodeUnit(coded).size() > 0) << "the decoder took a 22050 Hz stream";
  putU32le(entryField(65, 8), static_cast<std::uint32_t>(data_.size()));
  putU32le(entryField(65, 12), static_cast<std::uint32_t>(coded.size()));
  data_.insert(data_.end(), coded.begin(), coded.end());
  const VoiceCheck c = check();
  ASSERT_EQ(c.problems.size(), 1u) << joined(c.problems);
  EXPECT_NE(c.problems[0].find("voice.dat: unit 65 (U+0041 (A)) at offset"), std::string::npos) << c.problems[0];
  EXPECT_NE(c.problems[0].find("expected MPEG audio of mono 16-bit samples at 11025 Hz"), std::string::npos)
      << c.problems[0];
}

TEST_F(DamagedVoice, WrongIdentitiesAreFound) {
  def_[0] = 3;
  word_[12] = 'X';
  const VoiceCheck c = check();
  EXPECT_TRUE(anyContains(c.problems, "voice.def: identity: expected format 2")) << joined(c.problems);
  EXPECT_TRUE(anyContains(c.problems, "voice.wrd: identity at byte 12")) << joined(c.problems);
}

TEST_F(DamagedVoice, LowerCaseIdentitiesAreAccepted) {
  for (std::size_t i = 0; i < 38; ++i) {
    std::uint8_t& c = def_[kVoiceIdOffset + 2 * i];
    if (c >= 'A' && c <= 'Z') c = static_cast<std::uint8_t>(c + 32);
    std::uint8_t& d = word_[kDictIdOffset + i];
    if (d >= 'A' && d <= 'Z') d = static_cast<std::uint8_t>(d + 32);
  }
  EXPECT_TRUE(check().problems.empty()) << joined(check().problems);
}

TEST_F(DamagedVoice, DictionaryRangesOutsideTheFileAreFound) {
  // Index entry of 丂 (U+4E02): records 7..9 of a file holding 6.
  putU32le(&word_[kCharIndexOffset + 12 * 2 + 4], 7);
  putU32le(&word_[kCharIndexOffset + 12 * 2 + 8], 9);
  // Index entry of 丄 (U+4E04): first after last.
  putU32le(&word_[kCharIndexOffset + 12 * 4 + 4], 3);
  putU32le(&word_[kCharIndexOffset + 12 * 4 + 8], 2);
  putU32le(&word_[kSharedFirstOffset], 5);
  putU32le(&word_[kSharedCountOffset], 2);
  const VoiceCheck c = check();
  EXPECT_TRUE(anyContains(c.problems, "index entry of U+4E02 (丂): records 7..9, but the file holds 6 records"))
      << joined(c.problems);
  EXPECT_TRUE(anyContains(c.problems, "index entry of U+4E04 (丄): first record 3 is after last record 2"))
      << joined(c.problems);
  EXPECT_TRUE(anyContains(c.problems, "shared list of 2 records from record 5, but the file holds 6 records"))
      << joined(c.problems);
}

TEST_F(DamagedVoice, ShortDictionaryIsFound) {
  word_.resize(kRecordsOffset - 1);
  const VoiceCheck c = check();
  EXPECT_TRUE(anyContains(c.problems, "voice.wrd: 250979 bytes; a dictionary needs at least 250980"))
      << joined(c.problems);
}

TEST_F(DamagedVoice, ShorterWordBeforeALongerOneIsFound) {
  // Swap records 1 (一丁丂七) and 3 (一丁): the four-character word can then
  // never match, since the search has already cut its probe to two.
  const std::size_t r1 = kRecordsOffset + 428, r3 = kRecordsOffset + 3 * 428;
  std::swap_ranges(word_.begin() + r1, word_.begin() + r1 + 428, word_.begin() + r3);
  const VoiceCheck c = check();
  EXPECT_TRUE(anyContains(c.problems, "record 2 \"一丁丂\": can never match: record 1 before it"))
      << joined(c.problems);
  EXPECT_TRUE(anyContains(c.problems, "record 3 \"一丁丂七\": can never match")) << joined(c.problems);
}

TEST(CheckVoice, MissingFilesAreProblems) {
  TempDir temp;
  const VoiceCheck c = checkVoice((temp.path() / "nothing").string());
  ASSERT_EQ(c.problems.size(), 3u) << joined(c.problems);
  EXPECT_TRUE(anyContains(c.problems, "voice.def: missing"));
  EXPECT_TRUE(anyContains(c.problems, "voice.dat: missing"));
  EXPECT_TRUE(anyContains(c.problems, "voice.wrd: missing"));
}

// ---------------------------------------------------------------------------
// The commands

// Runs `command` as the sonvale command does: argv[0] is the command's name.
int run(int (*command)(int, char**), std::vector<std::string> args) {
  args.insert(args.begin(), "command");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return command(static_cast<int>(argv.size()), argv.data());
}

TEST(VoiceCommands, ExitStatuses) {
  BuiltVoice voice;
  EXPECT_EQ(run(tools::voiceBuildCommand, {"--help"}), 0);
  EXPECT_EQ(run(tools::voiceBuildCommand, {"a", "b"}), 2);
  EXPECT_EQ(run(tools::voiceBuildCommand, {"--fast", "a", "b", "c"}), 2);
  EXPECT_EQ(run(tools::voiceCheckCommand, {}), 2);
  EXPECT_EQ(
      run(tools::voiceBuildCommand, {voice.units.string(), (voice.temp.path() / "none").string(), voice.out.string()}),
      1);
  EXPECT_EQ(run(tools::voiceCheckCommand, {voice.out.string()}), 1);
  EXPECT_EQ(run(tools::voiceBuildCommand, {voice.units.string(), voice.words.string(), voice.out.string()}), 0);
  EXPECT_EQ(run(tools::voiceCheckCommand, {voice.out.string()}), 0);
}

}  // namespace
}  // namespace sonvale::voice
