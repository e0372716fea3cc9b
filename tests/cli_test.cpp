// The sonvale command end to end, on a small voice coded from synthetic
// signals and installed through the command itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

#include <sndfile.h>

#include "headless_pulse.h"
#include "platform/le_bytes.h"
#include "platform/registry.h"
#include "synth/mpeg_decoder.h"
#include "synth/syllable_voice.h"
#include "voice_fixture.h"

extern char** environ;

namespace sonvale {
namespace {

using testing::unitOf;

struct CommandRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CliTest : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    voiceDir_ = dir_.file("voice");
    std::filesystem::create_directories(voiceDir_);
    std::map<std::uint32_t, voice::CodedUnit> coded;
    // Units for 你 好 世 界 and the letter A; every other character speaks
    // nothing. One word: 界世, read 世界.
    WordRecord word;
    word.clear();
    std::u16string(u"界世").copy(word.text, 2);
    std::u16string(u"世界").copy(word.reading, 2);
    testing::writeVoice(voiceDir_,
                        {{unitOf(u'你'), testing::sine(300, 0.2)},
                         {unitOf(u'好'), testing::sine(350, 0.25)},
                         {unitOf(u'世'), testing::sine(400, 0.2)},
                         {unitOf(u'界'), testing::noise(0.2, 3)},
                         {'A', testing::sine(500, 0.1)}},
                        {word}, coded);
  }

  // Runs the command with `args`; `stdinText` is fed to it; `interruptAfterMs`
  // sends SIGINT that long after the start, or, with `interruptOnceFileHas`,
  // that long after the file named there first holds more than that many bytes
  // (a slow start, under a sanitizer or a loaded machine, then still gets its
  // signal mid-text).
  CommandRun run(const std::vector<std::string>& args, const std::string& stdinText = "", int interruptAfterMs = -1,
                 const std::string& interruptOnceFile = "", std::uintmax_t interruptOnceFileHas = 0) {
    const std::string out = dir_.file("stdout"), err = dir_.file("stderr"), in = dir_.file("stdin");
    std::ofstream(in, std::ios::binary) << stdinText;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all = {SONVALE_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    CommandRun result;
    if (posix_spawn(&pid, SONVALE_CLI, &actions, nullptr, argv.data(), environ) != 0) return result;
    posix_spawn_file_actions_destroy(&actions);
    if (interruptAfterMs >= 0) {
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      std::error_code ignored;
      while (!interruptOnceFile.empty() && std::chrono::steady_clock::now() < giveUp &&
             !(std::filesystem::exists(interruptOnceFile, ignored) &&
               std::filesystem::file_size(interruptOnceFile, ignored) > interruptOnceFileHas))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      std::this_thread::sleep_for(std::chrono::milliseconds(interruptAfterMs));
      kill(pid, SIGINT);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = slurp(out);
    result.err = slurp(err);
    return result;
  }

  void install() {
    const CommandRun r = run({"voice", "install", "REZuroruRadarorud", voiceDir_});
    ASSERT_EQ(r.status, 0) << r.err;
    const CommandRun registered = run({"register"});
    ASSERT_EQ(registered.status, 0) << registered.err;
  }

  std::string voiceDir_;
};

// Sizes from a WAV header, checked against the file's length.
struct WavInfo {
  bool valid = false;
  std::uint32_t rateHz = 0, dataBytes = 0;
};

WavInfo wavInfo(const std::string& path) {
  const std::string bytes = slurp(path);
  const ByteReader r({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  WavInfo info;
  std::uint32_t riff = 0;
  if (bytes.size() < kWavHeaderBytes || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(38, 4, "data") != 0)
    return info;
  r.u32le(4, riff);
  r.u32le(24, info.rateHz);
  r.u32le(42, info.dataBytes);
  info.valid = riff == 38 + info.dataBytes && bytes.size() == kWavHeaderBytes + info.dataBytes;
  return info;
}

TEST_F(CliTest, SpeaksIntoAWavFileWithEventsAtTheAudioOffsets) {
  install();
  const std::string wav = dir_.file("out.wav");
  const CommandRun r = run({"speak", "-o", wav, "--events", "-", "你好。世界 A"});
  ASSERT_EQ(r.status, 0) << r.err;
  const WavInfo info = wavInfo(wav);
  ASSERT_TRUE(info.valid);
  EXPECT_EQ(info.rateHz, 11025u);
  // Every word event stands at the audio bytes written before it; the words
  // are in text order and their offsets never go back.
  std::istringstream lines(r.out);
  std::string line;
  std::vector<std::pair<std::string, std::uint64_t>> words;
  const std::regex word(R"re(\{"event":"word","offset":(\d+),"pos":(\d+),"len":(\d+)\})re");
  std::smatch m;
  while (std::getline(lines, line))
    if (std::regex_match(line, m, word)) words.emplace_back(m[2].str(), std::stoull(m[1].str()));
  ASSERT_EQ(words.size(), 6u) << r.out;  // 你 好 。 世 界 A
  EXPECT_EQ(words[0], (std::pair<std::string, std::uint64_t>{"0", 0}));
  for (std::size_t i = 1; i < words.size(); ++i) EXPECT_GT(words[i].second, words[i - 1].second);
  EXPECT_LT(words.back().second, info.dataBytes);
  // Raw output to standard output holds the same samples as the WAV file.
  const CommandRun raw = run({"speak", "-o", "-", "你好。世界 A"});
  ASSERT_EQ(raw.status, 0);
  EXPECT_EQ(raw.out, slurp(wav).substr(kWavHeaderBytes));
}

TEST_F(CliTest, BookmarkAndSilenceComeOutAtTheirOffsets) {
  install();
  const std::string wav = dir_.file("out.wav");
  const CommandRun r =
      run({"speak", "--xml", "-o", wav, "--events", "-", "你<silence msec=\"100\"/>好<bookmark mark=\"42x\"/>世"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::smatch m;
  const std::regex bookmark(R"re(\{"event":"bookmark","offset":(\d+),"pos":(\d+),"len":0,"name":"42x","value":42\})re");
  ASSERT_TRUE(std::regex_search(r.out, m, bookmark)) << r.out;
  const std::uint64_t markOffset = std::stoull(m[1].str());
  const std::regex wordRe(R"re(\{"event":"word","offset":(\d+),"pos":(\d+),"len":1\})re");
  std::vector<std::uint64_t> offsets;
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), wordRe); it != std::sregex_iterator(); ++it)
    offsets.push_back(std::stoull((*it)[1].str()));
  ASSERT_EQ(offsets.size(), 3u);
  // 你 alone takes b bytes and its closing 10000; then 2200 bytes of silence
  // (100 ms) before 好; the bookmark stands where 世 begins.
  const CommandRun alone = run({"speak", "-o", dir_.file("alone.wav"), "你"});
  ASSERT_EQ(alone.status, 0);
  const std::uint64_t ni = wavInfo(dir_.file("alone.wav")).dataBytes;
  EXPECT_EQ(offsets[0], 0u);
  EXPECT_EQ(offsets[1], ni + 2200);
  EXPECT_EQ(markOffset, offsets[2]);
  EXPECT_EQ(std::stoul(m[2].str()), 23u);  // the tag's place in the text, in characters
}

// SSML marks come back as bookmarks named as in the SSML, placed in its text
// and at the audio where the next word begins.
TEST_F(CliTest, SsmlMarksArriveAtTheirPlaces) {
  install();
  const std::u16string ssml = u"<speak>你<mark name=\"m1\"/>好<break time=\"100ms\"/><mark name=\"7up\"/>世</speak>";
  const std::string wav = dir_.file("ssml.wav");
  const CommandRun r = run({"speak", "-o", wav, "--events", "-", platform::utf16ToUtf8(ssml)});
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::pair<std::uint64_t, std::size_t>> marks;  // name -> offset, pos
  const std::regex bookmark(
      R"re(\{"event":"bookmark","offset":(\d+),"pos":(\d+),"len":0,"name":"([^"]*)","value":(\d+)\})re");
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), bookmark); it != std::sregex_iterator(); ++it)
    marks[(*it)[3].str()] = {std::stoull((*it)[1].str()), std::stoul((*it)[2].str())};
  std::map<std::size_t, std::uint64_t> words;  // pos -> offset
  const std::regex word(R"re(\{"event":"word","offset":(\d+),"pos":(\d+),"len":1\})re");
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), word); it != std::sregex_iterator(); ++it)
    words[std::stoul((*it)[2].str())] = std::stoull((*it)[1].str());
  ASSERT_EQ(marks.size(), 2u) << r.out;
  const std::size_t ni = ssml.find(u'你'), hao = ssml.find(u'好'), shi = ssml.find(u'世');
  ASSERT_EQ(words.size(), 3u) << r.out;
  ASSERT_TRUE(words.count(ni) && words.count(hao) && words.count(shi)) << r.out;
  EXPECT_EQ(marks["m1"], std::make_pair(words[hao], ssml.find(u"<mark")));
  EXPECT_EQ(marks["7up"], std::make_pair(words[shi], ssml.rfind(u"<mark")));
  EXPECT_NE(r.out.find("\"name\":\"7up\",\"value\":7}"), std::string::npos) << r.out;
  // The same audio as the speech API's markup for it gives.
  const CommandRun sapi =
      run({"speak", "--xml", "-o", "-", "你<bookmark mark=\"a\"/>好<silence msec=\"100\"/><bookmark mark=\"b\"/>世"});
  EXPECT_EQ(slurp(wav).size() - kWavHeaderBytes, sapi.out.size());
  EXPECT_TRUE(slurp(wav).substr(kWavHeaderBytes) == sapi.out);

  // Malformed SSML is one line saying where, and nothing is spoken.
  const CommandRun bad = run({"speak", "--ssml", "-o", "-", "<speak>你<mark/>好</speak>"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(bad.out.empty());
  EXPECT_NE(bad.err.find("SSML: byte 10: <mark> has no name attribute"), std::string::npos) << bad.err;
  EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
  // ... and the WAV file it would have written is not touched.
  ASSERT_EQ(run({"speak", "--ssml", "-o", wav, "<speak>你<b></speak>"}).status, 1);
  EXPECT_TRUE(slurp(wav).substr(kWavHeaderBytes) == sapi.out);
  const std::string never = dir_.file("never.wav");
  ASSERT_EQ(run({"speak", "--ssml", "-o", never, "<speak>你<b></speak>"}).status, 1);
  EXPECT_FALSE(std::filesystem::exists(never));
}

TEST_F(CliTest, InterruptLeavesAValidShorterWav) {
  install();
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "你好世界";
  const std::string full = dir_.file("full.wav"), cut = dir_.file("cut.wav");
  const CommandRun r = run({"speak", "-o", cut, "-f", "-"}, text, 20, cut, 44);
  EXPECT_EQ(r.status, 130) << r.err;
  const WavInfo info = wavInfo(cut);
  EXPECT_TRUE(info.valid);
  EXPECT_GT(info.dataBytes, 0u);
  // The whole text would take 80000 syllables of at least 0.2 s.
  EXPECT_LT(info.dataBytes, 80000u * 4410u);
}

TEST_F(CliTest, MissingVoiceIsOneClearLine) {
  const CommandRun r = run({"speak", "-o", dir_.file("x.wav"), "你好"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("default voice is not installed"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
}

TEST_F(CliTest, MissingOrDamagedVoiceFilesAreNamed) {
  install();
  std::filesystem::remove(voiceDir_ + "/voice.dat");
  CommandRun r = run({"speak", "-o", dir_.file("x.wav"), "你好"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("voice.dat"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("file not found"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;

  // A VoiceDef that is not this system's, damaged in each common way: the
  // error names the file, and the user is warned to install the voice again.
  std::ofstream(voiceDir_ + "/voice.dat", std::ios::binary) << std::string(100, '\0');
  const std::string sound = slurp(voiceDir_ + "/voice.def");
  const struct {
    const char* name;
    std::string def;
    const char* detail;
  } damaged[] = {
      {"identity",
       [&] {
         std::string d = sound;
         d[4] = 'X';
         return d;
       }(),
       "identity"},
      {"zeroed", std::string(sound.size(), '\0'), "format 0, expected 2"},
      {"format 3",
       [&] {
         std::string d = sound;
         d[0] = 3;
         return d;
       }(),
       "format 3, expected 2"},
      {"cut short", sound.substr(0, 3), "too short for the format field"},
      {"empty", "", "the file is empty"},
  };
  for (const auto& c : damaged) {
    SCOPED_TRACE(c.name);
    std::ofstream(voiceDir_ + "/voice.def", std::ios::binary | std::ios::trunc) << c.def;
    r = run({"speak", "-o", dir_.file("x.wav"), "你好"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.detail), std::string::npos) << r.err;
    // Two lines name the file: the warning and the command's error.
    const std::string file = voiceDir_ + "/voice.def";
    const std::size_t first = r.err.find(file);
    ASSERT_NE(first, std::string::npos) << r.err;
    EXPECT_NE(r.err.find(file, first + file.size()), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  }
}

TEST_F(CliTest, UsageErrorsExitTwo) {
  EXPECT_EQ(run({}).status, 2);
  EXPECT_EQ(run({"frobnicate"}).status, 2);
  EXPECT_EQ(run({"speak", "--rate", "11", "-o", "-", "x"}).status, 2);
  EXPECT_EQ(run({"speak", "--volume", "-1", "-o", "-", "x"}).status, 2);
  EXPECT_EQ(run({"config", "--set", "NoSuchSetting=1"}).status, 2);
  for (const char* command : {"speak", "analyze", "voices", "voice", "config"}) {
    const CommandRun help = run({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_NE(help.out.find("usage: sonvale"), std::string::npos) << command;
  }
}

TEST_F(CliTest, ConfigRoundTrip) {
  EXPECT_EQ(run({"config", "--get", "ReadNumber"}).out, "0\n");
  EXPECT_EQ(run({"config", "--set", "ReadNumber=1"}).status, 0);
  EXPECT_EQ(run({"config", "--set", "voicestyle=-1"}).status, 0);
  EXPECT_EQ(run({"config", "--get", "readnumber"}).out, "1\n");
  const CommandRun list = run({"config", "--list"});
  EXPECT_NE(list.out.find("ReadNumber=1\n"), std::string::npos);
  EXPECT_NE(list.out.find("VoiceStyle=-1\n"), std::string::npos);
  EXPECT_NE(list.out.find("PuncLong=15000 (default)\n"), std::string::npos);
  // Installing the voice, and installing it again over itself, keeps the
  // settings beside the CLSID that SAPI asks to show them.
  install();
  install();
  EXPECT_EQ(run({"config", "--get", "readnumber"}).out, "1\n");
  platform::RegKey ui;
  std::u16string clsid;
  ASSERT_EQ(
      platform::regOpenKey(platform::RegRoot::LocalMachine,
                           u"SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\REZuroruRadarorud\\UI\\EngineProperties", ui),
      ERROR_SUCCESS);
  EXPECT_EQ(platform::regQueryString(ui, u"CLSID", clsid), ERROR_SUCCESS);
  EXPECT_EQ(clsid, u"{82B88068-DFB4-4284-A3F4-C388B2EAB665}");
  // The WAV header states the rate the voice announces: 8000 Hz for VoiceStyle -1.
  const std::string wav = dir_.file("slow.wav");
  ASSERT_EQ(run({"speak", "-o", wav, "你"}).status, 0);
  EXPECT_EQ(wavInfo(wav).rateHz, 8000u);
}

// Options may stand before, between or after the words of the text; "--"
// ends them, so a text may begin with '-'.
TEST_F(CliTest, OptionsMayFollowTheText) {
  install();
  const std::string before = dir_.file("before.wav"), after = dir_.file("after.wav");
  ASSERT_EQ(run({"speak", "-o", before, "你好"}).status, 0);
  const CommandRun r = run({"speak", "你好", "-o", after});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(slurp(after), slurp(before));

  const std::string numbers = "3\t1200000\t壹佰贰拾万\t";
  const struct {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;  // found in standard output
  } cases[] = {
      {"option first", {"analyze", "--read-numbers", "长短", "1200000"}, 0, numbers},
      {"option last", {"analyze", "长短", "1200000", "--read-numbers"}, 0, numbers},
      {"option between", {"analyze", "长短", "--read-numbers", "1200000"}, 0, numbers},
      {"text after --", {"analyze", "--", "-5%"}, 0, "0\t-\t"},
      {"option text after --", {"analyze", "--", "--read-numbers"}, 0, "0\t-\t"},
      {"dash text without --", {"analyze", "-5%"}, 2, ""},
      {"unknown option after the text", {"analyze", "长短", "--frobnicate"}, 2, ""},
      {"missing value", {"speak", "你好", "-o"}, 2, ""},
      {"voices takes no operand", {"voices", "x"}, 2, ""},
  };
  for (const auto& c : cases) {
    const CommandRun result = run(c.args);
    EXPECT_EQ(result.status, c.status) << c.name << ": " << result.err;
    EXPECT_NE(result.out.find(c.out), std::string::npos) << c.name << ": " << result.out;
    if (c.status == 2) {
      EXPECT_NE(result.err.find("usage: sonvale"), std::string::npos) << c.name;
    }
  }
  // Without --read-numbers the digits are read one by one: the option after
  // "--" is text.
  EXPECT_EQ(run({"analyze", "1200000", "--", "--read-numbers"}).out.find(numbers), std::string::npos);
}

// A clip written with libsndfile: `seconds` of silence, then `sound`
// (a sine at `hz`, or white noise when hz is 0) of peak `level` riding on a DC
// offset, then silence again, at `rateHz` in `format`, on `channels` channels.
void writeClip(const std::string& path, int rateHz, int format, int channels, double hz, double level, double dc,
               double silence, double sound) {
  SF_INFO info{};
  info.samplerate = rateHz;
  info.channels = channels;
  info.format = format;
  ASSERT_TRUE(sf_format_check(&info)) << path;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> white(-1, 1);
  const auto n = static_cast<std::size_t>((2 * silence + sound) * rateHz);
  std::vector<float> frames;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rateHz;
    double x = dc;
    if (t >= silence && t < silence + sound) x += level * (hz > 0 ? std::sin(2 * M_PI * hz * t) : white(rng));
    for (int c = 0; c < channels; ++c) frames.push_back(static_cast<float>(x));
  }
  ASSERT_EQ(sf_writef_float(f, frames.data(), static_cast<sf_count_t>(n)), static_cast<sf_count_t>(n));
  sf_close(f);
}

// A unit of a built voice, decoded to floats (empty when it has no audio).
std::vector<float> decodedUnit(const std::string& dir, std::uint32_t unit) {
  const std::string def = slurp(dir + "/voice.def"), data = slurp(dir + "/voice.dat");
  voice::UnitEntry e;
  if (!voice::readUnitEntry({reinterpret_cast<const std::uint8_t*>(def.data()), def.size()}, unit, e) || e.length == 0)
    return {};
  std::vector<std::uint8_t> chunk(8192), out(60000);
  std::size_t bytes = 0;
  MpegDecoder decoder;
  decoder.decode({reinterpret_cast<const std::uint8_t*>(data.data()) + e.offset, e.length}, chunk, out, bytes);
  std::vector<float> samples(bytes / 2);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<float>(static_cast<std::int16_t>(out[2 * i] | out[2 * i + 1] << 8)) / 32768.0f;
  return samples;
}

// A voice from syllable recordings of every rate, format, channel count and
// level: each unit says what the unit list says, at one loudness; missing
// syllables are reported by their share of text and either filled from
// another voice or left silent (with the words that need them left out); the
// voice passes its check and speaks.
TEST_F(CliTest, BuildsAVoiceFromSyllableRecordings) {
  const std::string base = dir_.file("base"), clips = dir_.file("clips"), fill = dir_.file("fill");
  for (const auto& d : {base, clips, fill}) std::filesystem::create_directories(d);
  std::ofstream(base + "/units.txt") << "# unit\tjyutping\tshare\n"
                                     << unitOf(u'你') << "\tnei5\t0.5\n"
                                     << unitOf(u'好') << "\thou2\t0.4\n"
                                     << unitOf(u'天') << "\ttin1\t0.3\n"
                                     << unitOf(u'世') << "\tsai3\t0.2\n"
                                     << unitOf(u'界') << "\tgaai3\t0.1\n"
                                     << "65\tei1\n72\tei1 cyu4\n88\tek1 si4\n300\tngaa1\n";
  std::ofstream(base + "/words.txt") << "界世\t世界\n好天\t好天\n";
  struct Clip {
    const char* name;
    int rateHz, format, channels;
    double hz, level, dc, sound;
  } table[] = {
      {"nei5.wav", 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 300, 0.5, 0.1, 0.25},
      {"hou2.flac", 22050, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 350, 0.02, 0, 0.3},
      {"sai3.wav", 8000, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 0, 0.3, -0.05, 0.3},
      {"gaai3.ogg", 32000, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 1, 440, 0.3, 0, 0.2},
      {"ei1.wav", 16000, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 500, 0.9, 0, 0.2},
      {"ngaa1.aiff", 48000, SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 2, 250, 0.2, 0, 0.35},
  };
  for (const Clip& c : table)
    writeClip(clips + "/" + c.name, c.rateHz, c.format, c.channels, c.hz, c.level, c.dc, 0.3, c.sound);
  std::ofstream(clips + "/notes.txt") << "not a recording";
  // tin1, cyu4, ek1 and si4 are not recorded; the other voice says the first
  // two alone and the others as the letter X.
  std::map<std::uint32_t, voice::CodedUnit> coded;
  testing::writeVoice(
      fill, {{unitOf(u'天'), testing::sine(600, 0.2)}, {400, testing::noise(0.2, 5)}, {'X', testing::sine(700, 0.3)}},
      {}, coded);
  std::ofstream(fill + "/units.txt") << unitOf(u'天') << "\ttin1\n400\tcyu4\n88\tek1 si4\n";

  const std::string silent = dir_.file("silent"), filled = dir_.file("filled");
  const CommandRun left = run({"voice", "build", "--syllables", clips, base + "/words.txt", silent});
  ASSERT_EQ(left.status, 0) << left.err;
  EXPECT_NE(left.out.find("4 of 10 syllables have no recording (0.30% of running text)"), std::string::npos)
      << left.out;
  EXPECT_LT(left.out.find("tin1"), left.out.find("cyu4")) << left.out;
  EXPECT_NE(left.out.find("3 units say nothing (0.30% of running text), 1 words left out"), std::string::npos)
      << left.out;
  EXPECT_NE(left.err.find("ignored notes.txt"), std::string::npos) << left.err;
  EXPECT_EQ(run({"voice", "check", silent}).status, 0);
  EXPECT_TRUE(decodedUnit(silent, unitOf(u'天')).empty());
  EXPECT_TRUE(decodedUnit(silent, 'H').empty());

  const CommandRun full =
      run({"voice", "build", "--syllables", clips, "--fill-from", fill, base + "/words.txt", filled});
  ASSERT_EQ(full.status, 0) << full.err;
  EXPECT_NE(full.out.find("2 filled from the other voice\n1 units taken whole"), std::string::npos) << full.out;
  EXPECT_EQ(full.out.find("say nothing"), std::string::npos) << full.out;
  const CommandRun check = run({"voice", "check", filled});
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_NE(check.out.find("9 units"), std::string::npos) << check.out;

  // Each unit: trimmed to its sound (the gate keeps 20 ms each side, the
  // coder adds nothing), no DC, at -23 LUFS within 1 LU.
  const struct {
    std::uint32_t unit;
    double soundSeconds;
  } units[] = {{unitOf(u'你'), 0.25},
               {unitOf(u'好'), 0.3},
               {unitOf(u'天'), 0.2},
               {unitOf(u'世'), 0.3},
               {unitOf(u'界'), 0.2},
               {'A', 0.2},
               {'H', 0.4},
               {'X', 0.3},
               {300, 0.35}};
  for (const auto& u : units) {
    const std::vector<float> audio = decodedUnit(filled, u.unit);
    const double seconds = static_cast<double>(audio.size()) / 11025;
    EXPECT_GE(seconds, u.soundSeconds - 0.01) << "unit " << u.unit;
    EXPECT_LE(seconds, u.soundSeconds + 0.07) << "unit " << u.unit;
    double mean = 0;
    for (const float x : audio) mean += x;
    EXPECT_NEAR(mean / static_cast<double>(std::max<std::size_t>(1, audio.size())), 0.0, 0.005) << "unit " << u.unit;
    EXPECT_NEAR(voice::clipLoudness(audio), voice::kSyllableLoudnessLufs, 1.0) << "unit " << u.unit;
  }
  // A says ei1, H says ei1 and then cyu4.
  const std::vector<float> a = decodedUnit(filled, 'A'), h = decodedUnit(filled, 'H');
  ASSERT_GT(h.size(), a.size());
  double difference = 0;
  for (std::size_t i = 0; i < a.size() / 2; ++i) difference = std::max(difference, std::abs(double{a[i]} - h[i]));
  EXPECT_LT(difference, 0.05);

  ASSERT_EQ(run({"voice", "install", "Mine", filled}).status, 0);
  ASSERT_EQ(run({"register"}).status, 0);
  const std::string wav = dir_.file("mine.wav");
  const CommandRun spoken = run({"speak", "--voice", "Mine", "-o", wav, "你好，界世天"});
  ASSERT_EQ(spoken.status, 0) << spoken.err;
  EXPECT_GT(wavInfo(wav).dataBytes, 11025u);
}

TEST_F(CliTest, AnalyzeShowsPhrasesAndNumbers) {
  const CommandRun r = run({"analyze", "--read-numbers", "长短 1200000"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("0\t长短\t肠短\t"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3\t1200000\t壹佰贰拾万\t6,6,0,0 6,6,0,0 6,6,0,0 6,6,0,0 6,6,0,0\n"), std::string::npos)
      << r.out;
}

// With the voice's unit list beside its files each syllable shows its
// jyutping; --json tells where each word came from.
TEST_F(CliTest, AnalyzeShowsJyutpingAndSourcesFromTheUnitList) {
  install();
  std::ofstream(voiceDir_ + "/units.txt") << "# unit\tjyutping\n"
                                          << unitOf(u'你') << "\tnei5\t0.31\n"
                                          << unitOf(u'世') << "\tsai3\n"
                                          << unitOf(u'界') << "\tgaai3\n";
  const CommandRun text = run({"analyze", "你界世"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out, "0\t你\t你\t0,0,0,0\tnei5\n1\t界世\t世界\t0,0,0,0 0,0,0,0\tsai3 gaai3\n");

  const CommandRun json = run({"analyze", "--json", "--read-numbers", "你界世长短，5"});
  ASSERT_EQ(json.status, 0) << json.err;
  const char* expected[] = {
      R"({"position":0,"length":1,"text":"你","spoken":"你","jyutping":["nei5"],"source":"character",)"
      R"("cutBefore":[0],"cutAfter":[0],"volumeIndex":[0],"durationIndex":[0]})",
      R"({"position":1,"length":2,"text":"界世","spoken":"世界","jyutping":["sai3","gaai3"],"source":"dictionary",)",
      R"("text":"长短","spoken":"肠短","jyutping":[null,null],"source":"phrase",)",
      R"("text":"，","spoken":"_","jyutping":[null],"source":"symbol",)",
      R"("text":"5","spoken":"伍","jyutping":[null],"source":"number","cutBefore":[6],"cutAfter":[6],)",
  };
  for (const char* part : expected) EXPECT_NE(json.out.find(part), std::string::npos) << part << "\n" << json.out;
  EXPECT_EQ(json.out.substr(0, 2), "[\n");
  EXPECT_EQ(json.out.substr(json.out.size() - 3), "\n]\n");
}

TEST_F(CliTest, VoicesListsTheInstalledVoice) {
  install();
  const CommandRun r = run({"voices"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("REZuroruRadarorud\tSonvale Cantonese (Hong Kong) - female\tzh-HK\tFemale\t" + voiceDir_ +
                       "\t(default)"),
            std::string::npos)
      << r.out;
}

// --system installs into the machine-wide store, which every user reads
// and only --system changes.
TEST_F(CliTest, SystemVoiceIsInTheMachineStoreForEveryUser) {
  const std::string machine = getenv("SONVALE_SYSTEM_REGISTRY");
  const CommandRun installed = run({"voice", "install", "--system", "Shared", voiceDir_});
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_NE(slurp(machine).find("Tokens\\Shared]"), std::string::npos) << slurp(machine);
  EXPECT_FALSE(std::filesystem::exists(getenv("SONVALE_REGISTRY")));
  EXPECT_NE(run({"voices"}).out.find("Shared\t"), std::string::npos);

  const CommandRun refused = run({"voice", "remove", "Shared"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("voice 'Shared' is installed for every user; only root can remove it, with --system"),
            std::string::npos)
      << refused.err;
  const CommandRun removed = run({"voice", "remove", "Shared", "--system"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(slurp(machine).find("Shared"), std::string::npos) << slurp(machine);
}

// --voice takes the token's name or its display name in any case, or the
// start of exactly one of them.
TEST_F(CliTest, VoicesAreFoundByFriendlyNames) {
  install();
  ASSERT_EQ(run({"voice", "install", "Second", voiceDir_, "--display", "Sonvale Slow"}).status, 0);
  const std::string wav = dir_.file("x.wav");
  const struct {
    const char* voice;
    int status;
    const char* message;
  } cases[] = {
      {"rezuroruRADARORUD", 0, ""},
      {"REZuroruRadarorud", 0, ""},
      {"sonvale cantonese (hong kong) - female", 0, ""},
      {"SONVALE C", 0, ""},
      {"sonvale s", 0, ""},
      {"second", 0, ""},
      {"sonvale", 1, "could be any of 'Sonvale Cantonese (Hong Kong) - female', 'Sonvale Slow'"},
      {"Sonvale Slower", 1, "no voice called 'Sonvale Slower'"},
  };
  for (const auto& c : cases) {
    const CommandRun r = run({"speak", "--voice", c.voice, "-o", wav, "你"});
    EXPECT_EQ(r.status, c.status) << c.voice << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.voice << ": " << r.err;
  }
}

// Playback into a PulseAudio server of the test's own (see headless_pulse.h).
// Without the server the tests are skipped, unless SONVALE_REQUIRE_SOUND_SERVER
// is set (as the full test run sets it), when they fail.
class PlaybackTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    pulse_ = std::make_unique<testing::HeadlessPulse>(dir_.file("pulse"));
    if (!pulse_->running()) {
      if (std::getenv("SONVALE_REQUIRE_SOUND_SERVER") != nullptr)
        FAIL() << "the test's PulseAudio server did not start: " << slurp(pulse_->log());
      GTEST_SKIP() << "no PulseAudio server could be started (pulseaudio is not installed?)";
    }
    setenv("PULSE_SERVER", pulse_->address().c_str(), 1);
    install();
  }

  void TearDown() override {
    pulse_.reset();
    unsetenv("PULSE_SERVER");
    CliTest::TearDown();
  }

  std::unique_ptr<testing::HeadlessPulse> pulse_;
};

std::vector<std::int16_t> samplesOf(const std::string& bytes) {
  std::vector<std::int16_t> s(bytes.size() / 2);
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                     static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8);
  return s;
}

// The highest normalised cross-correlation of `reference` against every
// stretch of `recording` of its length.
double peakCorrelation(const std::vector<std::int16_t>& recording, const std::vector<std::int16_t>& reference) {
  if (reference.empty() || recording.size() < reference.size()) return 0;
  double refEnergy = 0;
  for (const std::int16_t x : reference) refEnergy += static_cast<double>(x) * x;
  double windowEnergy = 0;
  for (std::size_t i = 0; i < reference.size(); ++i) windowEnergy += static_cast<double>(recording[i]) * recording[i];
  double best = 0;
  for (std::size_t lag = 0; lag + reference.size() <= recording.size(); ++lag) {
    if (lag > 0) {
      const double gone = recording[lag - 1], come = recording[lag + reference.size() - 1];
      windowEnergy += come * come - gone * gone;
    }
    if (windowEnergy <= 0) continue;
    double dot = 0;
    for (std::size_t i = 0; i < reference.size(); ++i) dot += static_cast<double>(recording[lag + i]) * reference[i];
    best = std::max(best, dot / std::sqrt(refEnergy * windowEnergy));
  }
  return best;
}

TEST_F(PlaybackTest, PlaysTheSamplesItWouldWrite) {
  const CommandRun written = run({"speak", "-o", "-", "你好"});
  ASSERT_EQ(written.status, 0) << written.err;
  ASSERT_TRUE(pulse_->startRecording());
  const CommandRun played = run({"speak", "你好"});
  ASSERT_EQ(played.status, 0) << played.err;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  pulse_->stopRecording();
  const std::vector<std::int16_t> reference = samplesOf(written.out);
  ASSERT_GT(reference.size(), 4000u);
  // Played at the voice's rate, the server brings the samples back unchanged
  // but for its resampling to the sink's rate and back.
  EXPECT_GE(peakCorrelation(pulse_->samples(), reference), 0.95) << pulse_->samples().size() << " samples recorded";
}

TEST_F(PlaybackTest, InterruptSilencesAtOnce) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "你好世界";
  ASSERT_TRUE(pulse_->startRecording());
  // Ctrl-C once the sound has been heard for a while, however slowly this
  // machine starts the command.
  const auto start = testing::HeadlessPulse::Clock::now();
  const pid_t pid = testing::spawnProcess({SONVALE_CLI, "speak", text}, {}, dir_.file("speak.log"));
  ASSERT_GT(pid, 0);
  bool heard = false;
  for (int i = 0; i < 600 && !heard; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    heard = pulse_->firstSoundAfter(start, 200) != testing::HeadlessPulse::Clock::time_point{};
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto interruptedAt = testing::HeadlessPulse::Clock::now();
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(heard) << slurp(dir_.file("speak.log"));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << slurp(dir_.file("speak.log"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pulse_->stopRecording();
  // No sound arrives 100 ms after the signal.
  const std::vector<std::int16_t>& recorded = pulse_->samples();
  testing::HeadlessPulse::Clock::time_point last{};
  for (std::size_t i = 0; i < recorded.size(); ++i)
    if (std::abs(recorded[i]) >= 200) last = pulse_->arrived()[i];
  const auto afterMs = std::chrono::duration_cast<std::chrono::milliseconds>(last - interruptedAt).count();
  EXPECT_LT(afterMs, 100) << "sound went on " << afterMs << " ms after Ctrl-C";
}

// Without a server the command plays through ALSA's default device: here one
// that writes what it is given to a file (ALSA's configuration is the test's).
// With no usable device either, the error is one line naming the way out.
TEST_F(PlaybackTest, NoServerPlaysThroughAlsaOrIsOneLineNamingTheWayOut) {
  const CommandRun written = run({"speak", "-o", "-", "你好"});
  ASSERT_EQ(written.status, 0) << written.err;
  setenv("PULSE_SERVER", ("unix:" + dir_.file("no-server")).c_str(), 1);
  const std::string config = dir_.file("alsa.conf"), raw = dir_.file("alsa.raw");
  std::ofstream(config) << "pcm.!default { type file slave.pcm { type null } file \"" << raw << "\" format \"raw\" }\n";
  setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
  const CommandRun alsa = run({"speak", "你好"});
  EXPECT_EQ(alsa.status, 0) << alsa.err;
  EXPECT_TRUE(slurp(raw) == written.out) << slurp(raw).size() << " bytes played, " << written.out.size() << " written";

  std::ofstream(config) << "pcm.!default { type hw card 99 }\n";
  const CommandRun r = run({"speak", "你好"});
  unsetenv("ALSA_CONFIG_PATH");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find("no sound server"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("-o OUT.wav"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());
}

// Runs a shell command line; returns its standard output.
std::string shell(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

// Seconds of audio in a file libsndfile reads; -1 when it cannot.
double clipSeconds(const std::string& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) return -1;
  sf_close(f);
  return static_cast<double>(info.frames) / info.samplerate;
}

// The recorder in a terminal (tmux), recording what the test plays into the
// headless server's sink: takes start and stop on the sound, are trimmed and
// saved under the syllable's name, a redo replaces the take, a clipping take
// is warned about, and a new session resumes at the next syllable.
TEST_F(PlaybackTest, RecorderTakesSyllablesFromTheInput) {
  if (shell("command -v tmux").empty()) GTEST_SKIP() << "tmux is not installed";
  const std::string clips = dir_.file("takes"), list = dir_.file("syllables.txt"), socket = dir_.file("tmux");
  std::ofstream(list) << "# syllable\tshare\texamples\n"
                      << "aa1\t3.5\t呀 aa1\t阿媽 aa3 maa1\n"
                      << "baa2\t1.25\t把 baa2\n"
                      << "caa3\t0.5\t差 caa3\n";
  // Half a second of silence before and after the sound; the sink's monitor
  // stays silent after that.
  const std::string shortTone = dir_.file("short.wav"), longTone = dir_.file("long.wav"), loud = dir_.file("loud.wav");
  const auto writeTake = [](const std::string& path, double hz, double level, double seconds) {
    writeClip(path, 22050, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, hz, level, 0, 0.5, seconds);
  };
  writeTake(shortTone, 440, 0.3, 0.4);
  writeTake(longTone, 300, 0.3, 0.9);
  writeTake(loud, 500, 1.0, 0.4);
  const std::string tmux = "tmux -S " + socket + " ";
  const auto start = [&] {
    shell(tmux + "new-session -d -x 110 -y 30 'PULSE_SERVER=" + pulse_->address() + " " + SONVALE_CLI +
          " voice record " + clips + " --syllables " + list + "'");
  };
  const auto screen = [&] { return shell(tmux + "capture-pane -p"); };
  const auto waitFor = [&](const std::string& text) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < giveUp) {
      if (screen().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "waited for \"" << text << "\", the screen shows:\n" << screen();
    return false;
  };
  const auto play = [&](const std::string& clip) {
    shell("paplay --server=" + pulse_->address() + " --device=sonvale_test " + clip + " 2>&1");
  };
  const auto gone = [&] {
    for (int i = 0; i < 200; ++i) {
      if (shell(tmux + "has-session 2>/dev/null && echo yes").empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  };

  start();
  ASSERT_TRUE(waitFor("aa1        tone 1: high level"));
  EXPECT_NE(screen().find("阿媽 aa3 maa1"), std::string::npos) << screen();
  ASSERT_TRUE(waitFor("Listening"));
  play(shortTone);
  ASSERT_TRUE(waitFor("Take saved"));
  // Trimmed: the sound, 100 ms before and 150 ms after it, give or take a
  // 20 ms block; the silence around it is gone.
  EXPECT_NEAR(clipSeconds(clips + "/aa1.wav"), 0.65, 0.08);
  EXPECT_EQ(screen().find("Clipped"), std::string::npos) << screen();

  shell(tmux + "send-keys r");
  ASSERT_TRUE(waitFor("Listening again"));
  play(longTone);
  ASSERT_TRUE(waitFor("Take saved"));
  EXPECT_NEAR(clipSeconds(clips + "/aa1.wav"), 1.15, 0.08);  // the redo replaced it

  shell(tmux + "send-keys Enter");
  ASSERT_TRUE(waitFor("baa2       tone 2: high rising"));
  shell(tmux + "send-keys q");
  ASSERT_TRUE(gone());

  start();
  ASSERT_TRUE(waitFor("baa2       tone 2: high rising"));
  ASSERT_TRUE(waitFor("Recorded 1 of 3, 66.7% of running text"));
  play(loud);
  ASSERT_TRUE(waitFor("Take saved"));
  EXPECT_NE(screen().find("Clipped"), std::string::npos) << screen();
  EXPECT_NEAR(clipSeconds(clips + "/baa2.wav"), 0.65, 0.08);
  shell(tmux + "send-keys q");
  ASSERT_TRUE(gone());

  const CommandRun missing = run({"voice", "record", clips, "--syllables", list, "--list"});
  ASSERT_EQ(missing.status, 0) << missing.err;
  EXPECT_EQ(missing.out, "caa3\t0.5000%\t差 caa3\n");
  EXPECT_NE(missing.err.find("1 of 3 syllables not recorded (0.50% of running text)"), std::string::npos)
      << missing.err;
}

}  // namespace
}  // namespace sonvale
