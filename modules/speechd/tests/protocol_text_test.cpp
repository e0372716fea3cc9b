#include "protocol_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "test_seed.h"

namespace sonvale::speechd {
namespace {

TEST(UnescapeDataLine, Lines) {
  struct Case {
    const char* name;
    std::string_view in, out;
  };
  const Case cases[] = {
      {"plain text", "abc", "abc"},        {"a lone dot sent escaped", "..", "."},
      {"leading dot escaped", "..abc", ".abc"}, {"three dots", "...", ".."},
      {"unescaped leading dot", ".abc", ".abc"}, {"empty line", "", ""},
      {"dot inside", "a..b", "a..b"},
  };
  for (const Case& c : cases) EXPECT_EQ(unescapeDataLine(c.in), c.out) << c.name;
}

TEST(SplitSetting, Lines) {
  struct Case {
    const char* name;
    std::string_view line;
    bool ok;
    std::string_view key, value;
  };
  const Case cases[] = {
      {"number", "rate=20", true, "rate", "20"},
      {"text", "language=zh-HK", true, "language", "zh-HK"},
      {"second '=' belongs to the value", "a=b=c", true, "a", "b=c"},
      {"empty value", "synthesis_voice=", true, "synthesis_voice", ""},
      {"no name", "=20", false, "", ""},
      {"no '='", "rate 20", false, "", ""},
      {"empty line", "", false, "", ""},
  };
  for (const Case& c : cases) {
    std::string_view key = "untouched", value = "untouched";
    EXPECT_EQ(splitSetting(c.line, key, value), c.ok) << c.name;
    EXPECT_EQ(key, c.ok ? c.key : "untouched") << c.name;
    EXPECT_EQ(value, c.ok ? c.value : "untouched") << c.name;
  }
}

TEST(ApplySetting, Table) {
  struct Case {
    const char* name;
    std::string_view key, value;
    bool ok;
    VoiceSettings (*expected)();  // the settings after the line, from defaults
  };
  const Case cases[] = {
      {"rate", "rate", "20", true, [] { VoiceSettings s; s.rate = 20; return s; }},
      {"negative rate", "rate", "-100", true, [] { VoiceSettings s; s.rate = -100; return s; }},
      {"plus sign", "rate", "+5", true, [] { VoiceSettings s; s.rate = 5; return s; }},
      {"rate past the end", "rate", "250", true, [] { VoiceSettings s; s.rate = 100; return s; }},
      {"rate in words", "rate", "fast", false, [] { return VoiceSettings(); }},
      {"rate empty", "rate", "", false, [] { return VoiceSettings(); }},
      {"rate with a fraction", "rate", "1.5", false, [] { return VoiceSettings(); }},
      {"volume", "volume", "-30", true, [] { VoiceSettings s; s.volume = -30; return s; }},
      {"pitch", "pitch", "10", true, [] { VoiceSettings s; s.pitch = 10; return s; }},
      {"pitch range", "pitch_range", "-7", true, [] { VoiceSettings s; s.pitchRange = -7; return s; }},
      {"punctuation all", "punctuation_mode", "all", true, [] { VoiceSettings s; s.readPunctuation = 1; return s; }},
      {"punctuation none", "punctuation_mode", "none", true, [] { VoiceSettings s; s.readPunctuation = 0; return s; }},
      {"punctuation NULL", "punctuation_mode", "NULL", true, [] { return VoiceSettings(); }},
      {"punctuation unknown", "punctuation_mode", "loud", false, [] { return VoiceSettings(); }},
      {"spelling on", "spelling_mode", "on", true, [] { VoiceSettings s; s.spell = true; return s; }},
      {"spelling off", "spelling_mode", "off", true, [] { return VoiceSettings(); }},
      {"spelling unknown", "spelling_mode", "maybe", false, [] { return VoiceSettings(); }},
      {"language", "language", "yue", true, [] { VoiceSettings s; s.language = "yue"; return s; }},
      {"language NULL", "language", "NULL", true, [] { return VoiceSettings(); }},
      {"voice by name", "synthesis_voice", "Test voice", true,
       [] { VoiceSettings s; s.synthesisVoice = "Test voice"; return s; }},
      {"capital letters ignored", "cap_let_recogn", "icon", true, [] { return VoiceSettings(); }},
      {"voice type ignored", "voice", "female1", true, [] { return VoiceSettings(); }},
      {"a name of a later server", "punctuation_some", "@#", true, [] { return VoiceSettings(); }},
  };
  for (const Case& c : cases) {
    VoiceSettings s;
    const std::string error = applySetting(s, c.key, c.value);
    EXPECT_EQ(error.empty(), c.ok) << c.name << ": " << error;
    // An error names the parameter at fault.
    EXPECT_EQ(error.find(std::string(c.key)) != std::string::npos, !c.ok) << c.name << ": " << error;
    const VoiceSettings e = c.expected();
    EXPECT_EQ(s.rate, e.rate) << c.name;
    EXPECT_EQ(s.volume, e.volume) << c.name;
    EXPECT_EQ(s.pitch, e.pitch) << c.name;
    EXPECT_EQ(s.pitchRange, e.pitchRange) << c.name;
    EXPECT_EQ(s.readPunctuation, e.readPunctuation) << c.name;
    EXPECT_EQ(s.spell, e.spell) << c.name;
    EXPECT_EQ(s.language, e.language) << c.name;
    EXPECT_EQ(s.synthesisVoice, e.synthesisVoice) << c.name;
  }
}

TEST(ApplySetting, NullClearsALanguageSetBefore) {
  VoiceSettings s;
  EXPECT_EQ(applySetting(s, "language", "zh-HK"), "");
  EXPECT_EQ(applySetting(s, "language", "NULL"), "");
  EXPECT_EQ(s.language, "");
}

// Worked by hand: 0x0A41 is the bytes 41 0A, and 0x0A is escaped as 7D 2A;
// 0x7D00 is 00 7D, and 0x7D is escaped as 7D 5D; 0x0102 is 02 01; -1 is FF FF.
TEST(AudioEvent, EscapesLineBreaksAndTheEscapeByte) {
  const std::int16_t samples[] = {0x0A41, 0x7D00, 0x0102, -1};
  std::string expected = "705-bits=16\n705-num_channels=1\n705-sample_rate=11025\n705-num_samples=4\n705-AUDIO";
  expected.push_back('\0');
  expected += std::string("\x41\x7D\x2A\x00\x7D\x5D\x02\x01\xFF\xFF", 10);
  expected += "\n705 AUDIO\n";
  EXPECT_EQ(audioEvent(samples, 11025), expected);
}

// The server's way of reading the data back: a 0x7D takes the next byte with
// bit 5 flipped, everything else is itself.
std::vector<std::int16_t> decode(const std::string& event, std::size_t& declared) {
  const std::size_t count = event.find("705-num_samples=");
  declared = std::stoul(event.substr(count + 16));
  const std::size_t data = event.find(std::string("705-AUDIO\0", 10)) + 10;
  const std::size_t end = event.find('\n', data);
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = data; i < end; ++i) {
    std::uint8_t b = static_cast<std::uint8_t>(event[i]);
    if (b == 0x7D) b = static_cast<std::uint8_t>(static_cast<std::uint8_t>(event[++i]) ^ 0x20);
    bytes.push_back(b);
  }
  std::vector<std::int16_t> samples;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    samples.push_back(static_cast<std::int16_t>(bytes[i] | bytes[i + 1] << 8));
  return samples;
}

TEST(AudioEvent, RandomSamplesComeBackWhole) {
  const std::uint32_t seed = testing::testSeed();
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> sample(-32768, 32767), length(0, 3000);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(length(rng)));
    for (auto& s : samples) s = static_cast<std::int16_t>(sample(rng));
    const std::string event = audioEvent(samples, 16000);
    // Exactly six lines: the data never holds a line break of its own.
    EXPECT_EQ(std::count(event.begin(), event.end(), '\n'), 6) << "seed " << seed;
    EXPECT_TRUE(event.ends_with("\n705 AUDIO\n"));
    EXPECT_NE(event.find("705-sample_rate=16000\n"), std::string::npos);
    std::size_t declared = 0;
    EXPECT_EQ(decode(event, declared), samples) << "seed " << seed << ", round " << round;
    EXPECT_EQ(declared, samples.size());
  }
}

TEST(IndexMarkEvent, NameOnItsOwnLine) {
  EXPECT_EQ(indexMarkEvent("__spd_3"), "700-__spd_3\n700 INDEX MARK\n");
  EXPECT_EQ(indexMarkEvent(""), "700-\n700 INDEX MARK\n");
  EXPECT_EQ(indexMarkEvent("a\nb"), "700-a b\n700 INDEX MARK\n");
}

TEST(ParseModuleConfig, Files) {
  struct Case {
    const char* name;
    std::string_view text;
    std::string_view error;  // "" when it parses
    std::string_view voice;
    AudioOutput output;
    std::string_view audioFile, registry;
    int debug;
  };
  const Case cases[] = {
      {"empty", "", "", "", AudioOutput::Server, "", "", 0},
      {"comments and blank lines", "# a comment\n\n   \n# SonvaleVoice \"x\"\n", "", "", AudioOutput::Server, "", "", 0},
      {"quoted voice", "SonvaleVoice \"Test voice\"\n", "", "Test voice", AudioOutput::Server, "", "", 0},
      {"bare value and comment", "SonvaleAudioOutput null   # for tests\n", "", "", AudioOutput::Null, "", "", 0},
      {"names and values in any case", "sonvaleaudiooutput FILE\r\nSONVALEAUDIOFILE \"/tmp/a b.raw\"", "", "",
       AudioOutput::File, "/tmp/a b.raw", "", 0},
      {"escaped quote", "SonvaleVoice \"a \\\"b\\\"\"\n", "", "a \"b\"", AudioOutput::Server, "", "", 0},
      {"registry and debug", "SonvaleRegistry \"/r.reg\"\nSonvaleDebug 1\n", "", "", AudioOutput::Server, "", "/r.reg",
       1},
      {"other modules' options", "AddVoice \"yue\" \"female1\" \"x\"\nDebugFile \"/tmp/x\"\n", "", "",
       AudioOutput::Server, "", "", 0},
      {"unknown output", "\nSonvaleAudioOutput \"alsa\"\n",
       "line 2: SonvaleAudioOutput is \"server\", \"file\" or \"null\", not \"alsa\"", "", AudioOutput::Server, "", "",
       0},
      {"quote never closed", "SonvaleVoice \"abc\n", "line 1: the quoted value has no closing '\"'", "",
       AudioOutput::Server, "", "", 0},
      {"text after the quote", "SonvaleVoice \"a\" b\n", "line 1: unexpected text after the quoted value: 'b'", "a",
       AudioOutput::Server, "", "", 0},
      {"file output without a file", "SonvaleAudioOutput file\n",
       "SonvaleAudioOutput is \"file\" but SonvaleAudioFile names no file", "", AudioOutput::File, "", "", 0},
      {"misspelt option of ours", "SonvaleAudioOuput null\n", "line 1: unknown option SonvaleAudioOuput", "",
       AudioOutput::Server, "", "", 0},
      {"debug not a number", "SonvaleDebug yes\n", "line 1: SonvaleDebug is 0 or 1, not \"yes\"", "",
       AudioOutput::Server, "", "", 0},
  };
  for (const Case& c : cases) {
    ModuleConfig config;
    EXPECT_EQ(parseModuleConfig(c.text, config), c.error) << c.name;
    if (!c.error.empty() && c.error.starts_with("line")) continue;
    EXPECT_EQ(config.voice, c.voice) << c.name;
    EXPECT_EQ(config.output, c.output) << c.name;
    EXPECT_EQ(config.audioFile, c.audioFile) << c.name;
    EXPECT_EQ(config.registry, c.registry) << c.name;
    EXPECT_EQ(config.debug, c.debug) << c.name;
  }
}

TEST(ParseModuleConfig, FastSpeechIsOnUnlessTurnedOff) {
  const struct {
    std::string_view text, error;
    int fastSpeech;
  } cases[] = {
      {"", "", 1},
      {"SonvaleFastSpeech 0\n", "", 0},
      {"SonvaleFastSpeech \"1\"\n", "", 1},
      {"SonvaleFastSpeech yes\n", "line 1: SonvaleFastSpeech is 0 or 1, not \"yes\"", 1},
  };
  for (const auto& c : cases) {
    ModuleConfig config;
    EXPECT_EQ(parseModuleConfig(c.text, config), c.error) << c.text;
    EXPECT_EQ(config.fastSpeech, c.fastSpeech) << c.text;
  }
}

}  // namespace
}  // namespace sonvale::speechd
