// Writes the seed corpora of the fuzz targets, made from the cases the test
// suites use: `make_seeds OUTDIR` fills OUTDIR/<target>/ for the targets
// voice_load, speak, text_analysis, registry_store and sapi_xml. Every seed is
// in the encoding its target reads (see the targets' opening comments).

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "fuzz_voice.h"
#include "lame_stream.h"
#include "synth/voice_builder.h"
#include "text/phrase_table.h"

namespace {

using namespace sonvale;
using Bytes = std::vector<std::uint8_t>;
using testing::lameStream;

std::string outDir;
int written = 0;

void seed(const std::string& target, const std::string& name, const Bytes& bytes) {
  const std::filesystem::path dir = std::filesystem::path(outDir) / target;
  std::filesystem::create_directories(dir);
  fuzz::writeFile((dir / name).string(), bytes);
  ++written;
}

Bytes utf8Bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

void appendUtf16(Bytes& out, std::u16string_view text) {
  for (const char16_t c : text) appendU16le(out, c);
}

// ---- voice_load -------------------------------------------------------------

struct VoiceSeed {
  std::uint8_t flags = fuzz::kDefPatched | fuzz::kWordPatched;
  Bytes def, data, word;
  std::u16string text = u"你好香港人大学一二三十百千万亿中国我们天下 1.5% A。";

  void rawDef(Bytes bytes) {
    flags = static_cast<std::uint8_t>(flags & ~fuzz::kDefPatched);
    def = std::move(bytes);
  }
  void rawWord(Bytes bytes) {
    flags = static_cast<std::uint8_t>(flags & ~fuzz::kWordPatched);
    word = std::move(bytes);
  }

  Bytes encode() const {
    Bytes out{flags};
    fuzz::appendPart(out, def);
    fuzz::appendPart(out, data);
    fuzz::appendPart(out, word);
    Bytes text16;
    appendUtf16(text16, text);
    fuzz::appendPart(out, text16);
    return out;
  }
};

// Patches that lay `words` out as the voice builder does: each first
// character's words in one index range, after the placeholder record 0.
Bytes dictionaryPatches(const std::vector<WordRecord>& words) {
  std::map<char16_t, std::vector<WordRecord>> byFirst;
  for (const WordRecord& w : words) byFirst[w.text[0]].push_back(w);
  Bytes patches;
  std::uint32_t next = 1;
  for (auto& [first, group] : byFirst) {
    std::stable_sort(group.begin(), group.end(),
                     [](const WordRecord& a, const WordRecord& b) { return a.textLength() > b.textLength(); });
    const std::uint32_t start = next;
    for (const WordRecord& w : group) {
      fuzz::addRecordPatch(patches, w);
      ++next;
    }
    fuzz::addIndexPatch(patches, first, start, next - 1);
  }
  return patches;
}

void voiceSeeds() {
  fuzz::VoiceImages images;
  if (const std::string error = fuzz::buildFuzzVoice(images); !error.empty()) {
    std::fprintf(stderr, "make_seeds: %s\n", error.c_str());
    std::exit(1);
  }
  // The valid voice: a few units of the fuzz voice's audio, and its words.
  VoiceSeed good;
  std::vector<std::uint32_t> offsets;
  for (const auto& unit : images.units) {
    offsets.push_back(static_cast<std::uint32_t>(good.data.size()));
    good.data.insert(good.data.end(), unit.coded.begin(), unit.coded.end());
  }
  const auto entryFor = [&](std::size_t k) {
    voice::UnitEntry e;
    e.offset = offsets[k];
    e.length = static_cast<std::uint32_t>(images.units[k].coded.size());
    e.energy = images.units[k].energy;
    return e;
  };
  std::size_t k = 0;
  for (const char16_t c : std::u16string_view(u"你好香港人大学生一二三十百千万亿中国我们天下点壹伍"))
    fuzz::addUnitEntryPatch(good.def, c - 0x4A18u, entryFor(k++ % images.units.size()));
  for (const char c : std::string_view("15A.%"))
    fuzz::addUnitEntryPatch(good.def, static_cast<unsigned char>(c), entryFor(k++ % images.units.size()));
  good.word = dictionaryPatches(fuzz::fuzzWords());
  seed("voice_load", "good_voice", good.encode());
  VoiceSeed checked = good;
  checked.flags |= 4;  // the voice checker looks at it too
  seed("voice_load", "good_voice_checked", checked.encode());

  const auto variant = [&](const std::string& name, auto change) {
    VoiceSeed s = good;
    change(s);
    seed("voice_load", name, s.encode());
  };
  // Unit index: raw files cut short, and patched ones cut at every section.
  variant("def_empty", [](VoiceSeed& s) { s.rawDef({}); });
  variant("def_three_bytes", [](VoiceSeed& s) { s.rawDef({2, 0, 0}); });
  variant("def_header_only", [](VoiceSeed& s) { s.rawDef(voice::voiceDefHeader()); });
  variant("def_format_1", [](VoiceSeed& s) {
    s.rawDef(voice::voiceDefHeader());
    s.def[0] = 1;
  });
  variant("def_wrong_identity", [](VoiceSeed& s) {
    s.rawDef(voice::voiceDefHeader());
    s.def[voice::kVoiceIdOffset + 2] = 'X';
  });
  for (const std::uint32_t size : {0u, 2u, 4u, 42u, 80u, 84u, 100u, 84u + 32u * 1000u, 84u + 32u * 21901u + 16u,
                                   static_cast<std::uint32_t>(voice::kVoiceDefBytes - 1)})
    variant("def_cut_at_" + std::to_string(size), [size](VoiceSeed& s) { fuzz::addTruncatePatch(s.def, size); });
  // Entries that point outside the unit audio or past a unit's limit.
  variant("entry_past_data", [&](VoiceSeed& s) {
    voice::UnitEntry e = entryFor(0);
    e.offset = static_cast<std::uint32_t>(s.data.size()) - 10;
    fuzz::addUnitEntryPatch(s.def, u'你' - 0x4A18u, e);
  });
  variant("entry_offset_wraps", [&](VoiceSeed& s) {
    voice::UnitEntry e = entryFor(0);
    e.offset = 0xFFFFFFF0u;
    fuzz::addUnitEntryPatch(s.def, u'好' - 0x4A18u, e);
  });
  variant("entry_too_long", [&](VoiceSeed& s) {
    voice::UnitEntry e = entryFor(0);
    e.length = voice::kMaxCodedUnitBytes + 1;
    fuzz::addUnitEntryPatch(s.def, u'你' - 0x4A18u, e);
  });
  variant("data_cut", [](VoiceSeed& s) { s.data.pop_back(); });
  variant("data_empty", [](VoiceSeed& s) { s.data.clear(); });
  // Units that are not MPEG, at another rate, or longer than a unit may be.
  const auto withUnit = [&](const std::string& name, const Bytes& stream) {
    variant(name, [&](VoiceSeed& s) {
      voice::UnitEntry e;
      e.offset = static_cast<std::uint32_t>(s.data.size());
      e.length = static_cast<std::uint32_t>(stream.size());
      e.energy = 1000000;
      s.data.insert(s.data.end(), stream.begin(), stream.end());
      fuzz::addUnitEntryPatch(s.def, u'你' - 0x4A18u, e);
    });
  };
  withUnit("unit_not_mpeg", utf8Bytes("this is not an MPEG audio stream, only text"));
  withUnit("unit_at_22050_hz", lameStream(fuzz::toneSamples(440, 0.3, 8000), 22050));
  withUnit("unit_of_3_5_seconds", lameStream(fuzz::toneSamples(330, 3.5, 8000), 11025));
  // Dictionary: cut short, wrong identity, records past the end.
  variant("word_empty", [](VoiceSeed& s) { s.rawWord({}); });
  variant("word_wrong_identity", [](VoiceSeed& s) {
    const std::uint8_t x[] = {'X'};
    fuzz::addBytesPatch(s.word, voice::kDictIdOffset + 5, x);
  });
  for (const std::uint32_t size : {12u, 51u, 144u, 150u, 156u, static_cast<std::uint32_t>(voice::kRecordsOffset - 1),
                                   static_cast<std::uint32_t>(voice::kRecordsOffset),
                                   static_cast<std::uint32_t>(voice::kRecordsOffset + kWordRecordBytes + 200)})
    variant("word_cut_at_" + std::to_string(size), [size](VoiceSeed& s) { fuzz::addTruncatePatch(s.word, size); });
  variant("index_past_end", [](VoiceSeed& s) { fuzz::addIndexPatch(s.word, u'你', 5, 90000); });
  variant("index_reversed", [](VoiceSeed& s) { fuzz::addIndexPatch(s.word, u'你', 3, 1); });
  variant("index_to_last_record", [](VoiceSeed& s) { fuzz::addIndexPatch(s.word, u'你', 0xFFFFFFF0u, 0xFFFFFFFFu); });
  variant("shared_past_end", [](VoiceSeed& s) { fuzz::addSharedListPatch(s.word, 2, 0xFFFFFFFFu); });
  variant("record_without_terminators", [](VoiceSeed& s) {
    WordRecord w = fuzz::makeWord(u"你好你好你好你好", u"你好你好你好你好");
    w.text[8] = u'好';
    w.reading[8] = u'好';
    Bytes patches;
    fuzz::addRecordPatch(patches, w);
    fuzz::addIndexPatch(patches, u'你', 9, 9);
    s.word = patches;
  });
  variant("record_reading_not_ideographs", [](VoiceSeed& s) {
    Bytes patches;
    fuzz::addRecordPatch(patches, fuzz::makeWord(u"你好", u"A\uFFFF\u4A17\u9FA6"));
    fuzz::addIndexPatch(patches, u'你', 1, 1);
    s.word = patches;
  });
}

// ---- speak ------------------------------------------------------------------

struct SpeakFragment {
  std::uint8_t action = 0;  // index into the target's action table: 0 speak, 3 silence, 4 bookmark, ...
  std::u16string text;
  std::uint16_t silenceMs = 0;
  bool rawOffset = false;
  std::uint32_t offset = 0;
};

struct SpeakSeed {
  std::uint8_t flags = 0;
  std::uint8_t readNumber = 0, readPunctuation = 0, puncLong = 10, puncShort = 9, styles = 1;
  std::uint16_t abortAt = 0, rateAt = 0, volumeAt = 0, volume = 100;
  std::int8_t rate = 0, skip = 0;
  std::uint8_t skipAt = 0, failing = 7, failAt = 0;
  std::vector<SpeakFragment> fragments;

  Bytes encode() const {
    Bytes out{flags, readNumber, readPunctuation, puncLong, puncShort, styles};
    appendU16le(out, abortAt);
    appendU16le(out, rateAt);
    out.push_back(static_cast<std::uint8_t>(rate));
    appendU16le(out, volumeAt);
    appendU16le(out, volume);
    out.push_back(skipAt);
    out.push_back(static_cast<std::uint8_t>(skip));
    out.push_back(failing);
    out.push_back(failAt);
    for (const SpeakFragment& f : fragments) {
      out.push_back(f.action);
      out.push_back(f.rawOffset ? 1 : 0);
      out.push_back(static_cast<std::uint8_t>(f.text.size()));
      for (const char16_t c : f.text) {
        out.push_back(fuzz::kRawUnit);
        appendU16le(out, c);
      }
      if (f.action == 3) appendU16le(out, f.silenceMs);
      if (f.rawOffset) appendU32le(out, f.offset);
    }
    return out;
  }
};

void speakSeeds() {
  const std::vector<std::pair<std::string, std::u16string>> texts = {
      {"words", u"你好。香港人 大学生"},
      {"phrases", u"标点符号 天下一统 语音朗读 差不多 当众 倒车 好像 我们"},
      {"eight", u"一二三十百千万亿中国"},
      {"numbers", u"1234.56% -42 007 12345678901234 3.14159"},
      {"letters", u"ABC abc xyz, Hello World!"},
      {"marks", u"(你好) \"好\" [a] {b} 'c' 你好? 好! 好; 好:"},
      {"fullwidth", u"\uFF01\uFF0C\uFF21\uFF41\uFF10 \u3001\u3002\u300A\u300B \u201C\u4F60\u201D"},
      {"edges", u"\u9FA5\u9FA6\u4E00\u3000\u00E9\U0001F600" + std::u16string(1, char16_t{0xDC00})},
  };
  for (const auto& [name, text] : texts) {
    SpeakSeed s;
    s.fragments = {{0, text}};
    seed("speak", name, s.encode());
    s.readNumber = 1;
    s.readPunctuation = 1;
    seed("speak", name + "_read_all", s.encode());
  }
  SpeakSeed mixed;
  mixed.readNumber = 1;
  mixed.fragments = {{0, u"你好"}, {3, u"", 500}, {4, u"42"}, {0, u"1.5%"}, {5, u"pron"}, {6, u"abc"},
                     {7, u""},     {8, u"<x/>"}, {9, u"?"},  {0, u"再见.", 0, true, 0xFFFFFFF0u}};
  seed("speak", "every_action", mixed.encode());
  SpeakSeed controlled = mixed;
  controlled.abortAt = 40;
  controlled.rateAt = 5;
  controlled.rate = 10;
  controlled.volumeAt = 9;
  controlled.volume = 65535;
  controlled.skipAt = 3;
  controlled.skip = 2;
  seed("speak", "site_controls", controlled.encode());
  SpeakSeed failing = mixed;
  failing.failing = 1;  // Write
  failing.failAt = 3;
  seed("speak", "failed_write", failing.encode());
  failing.failing = 0;  // AddEvents
  failing.failAt = 2;
  seed("speak", "failed_event", failing.encode());
  SpeakSeed dumps = mixed;
  dumps.flags = 4;
  dumps.styles = 1 + 6 * 4 + 36;  // VoiceStyle 0, WAV stage 4, text dump
  seed("speak", "dumps", dumps.encode());
  SpeakSeed odd;
  odd.puncLong = 8;  // 1001 bytes: an odd pause
  odd.puncShort = 0;
  odd.styles = 0;    // VoiceStyle -1
  odd.fragments = {{0, u"你。好，A.B,"}};
  seed("speak", "odd_pauses", odd.encode());
}

// ---- text_analysis ----------------------------------------------------------

void textSeeds() {
  const auto numberSeed = [](const std::string& name, bool wellFormed, std::u16string integer, std::u16string fraction,
                             std::u16string percent) {
    Bytes out{static_cast<std::uint8_t>(wellFormed ? 3 : 1)};
    std::uint16_t split = static_cast<std::uint16_t>(integer.size() % 32 + fraction.size() % 32 * 32);
    if (!integer.empty() && integer[0] == u'-') split |= 0x400;
    if (!percent.empty()) split |= 0x800;
    appendU16le(out, split);
    appendUtf16(out, integer + fraction + percent);
    seed("text_analysis", name, out);
  };
  const char* integers[] = {"0", "7", "10", "11", "20", "110", "101", "1000", "1001", "1010", "10000", "10001",
                            "100000", "1000000", "10000000", "100000000", "100010000", "1000000000000",
                            "1234567890123", "9999999999999", "10000000000000", "0000", "-5", "-0"};
  for (const char* n : integers) {
    const std::string digits(n);
    numberSeed(std::string("number_") + n, true, std::u16string(digits.begin(), digits.end()), u"", u"");
  }
  numberSeed("number_fraction_percent", true, u"12", u"\u70B9\u4E94\u4E00", u"%");
  for (const std::u16string bad : {u"1a2", u"--1", u"1-2", u"1 2", u"1\uFF12", u"\u4E00", u"12\u00003"})
    numberSeed("number_bad_" + std::to_string(bad.size()) + "_" + std::to_string(bad[1]), false, bad, u"", u"%");
  // Phrase keys of every length, one by one and run together.
  for (std::size_t length = 2; length <= 4; ++length) {
    const auto entries = phraseEntries(length);
    std::u16string run;
    for (std::size_t i = 0; i < entries.size(); i += entries.size() / 5 + 1) {
      const std::u16string key(entries[i].key, length);
      run += key;
      Bytes out{0};
      appendUtf16(out, key);
      seed("text_analysis", "phrase_" + std::to_string(length) + "_" + std::to_string(i), out);
    }
    Bytes out{0};
    appendUtf16(out, run);
    seed("text_analysis", "phrases_run_" + std::to_string(length), out);
  }
}

// ---- registry_store ---------------------------------------------------------

void registrySeeds() {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty", ""},
      {"header_only", header},
      {"written",
       header +
           "[HKEY_CURRENT_USER]\n\"Top\"=dword:00000001\n\n[HKEY_CURRENT_USER\\Software]\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sonvale]\n\"Volume\"=dword:00000064\n@=\"C:\\\\Voices\\\\\\\"Kim\\\"\"\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sonvale\\Voices]\n\"Name\"=\"\xE7\xB2\xB5\xE8\xAA\x9E\"\n"
           "\"Big\"=hex(b):01,02,03,04,05,06,07,08\n\"Blob\"=hex:de,ad\n\n"},
      {"hand_written",
       "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n; written by hand\r\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sonvale\\Engine]\r\n@=\"default\"\r\n\"Max\"=dword:FFFFFFFF\r\n"
       "\"Long\"=hex:00,01,02,\\\r\n  03,04\r\n\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n\r\n"
       "[hkey_local_machine\\software\\SONVALE\\Engine\\Sub]\r\n\"Say \\\"hi\\\"\" = \"\xE7\xB2\xB5\"\r\n"},
      {"settings",
       header +
           "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Speech\\Voices\\Tokens\\REZuroruRadarorud\\UI\\EngineProperties]\n"
           "\"PuncLong\"=dword:00003a98\n\"PuncShort\"=dword:00001388\n\"ReadNumber\"=dword:00000001\n"
           "\"VoiceStyle\"=dword:ffffffff\n\"Odd\"=hex(4):01,02,03\n\"None\"=hex(0):\n\n"},
      {"wrong_header", "Windows Registry Editor Version 4.00\n\n[HKEY_LOCAL_MACHINE\\A]\n"},
      {"bad_hex", header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,zz\n"},
      {"continuation_at_end", header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n"},
      {"unknown_escape", header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"a\\nb\"\n"},
      {"invalid_utf8", header + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"\xE7\xB2\"\n"},
      {"separators", header + "[HKEY_LOCAL_MACHINE\\\\A\\\\\\B\\]\n\"\"=dword:1\n[HKEY_CLASSES_ROOT]\n@=hex(7):00,00\n"},
  };
  for (const auto& [name, text] : files) seed("registry_store", name, utf8Bytes(text));
  std::string deep = header + "[HKEY_LOCAL_MACHINE";
  for (int i = 0; i < 40; ++i) deep += "\\k";
  seed("registry_store", "deep", utf8Bytes(deep + "]\n\"v\"=dword:2\n"));
}

// ---- sapi_xml ---------------------------------------------------------------

void xmlSeeds() {
  const std::vector<std::string> texts = {
      "<volume level=\"50\">\xE4\xBD\xA0\xE5\xA5\xBD</volume> <rate speed=\"-3\">1.5%</rate>",
      "<bookmark mark=\"42\"/>A<silence msec=\"500\"/>B<silence msec='999999999999'/>",
      "<pron sym='a'><bookmark mark='m'/></pron><pron sym='x'/>text",
      "<spell>abc</spell>d<emph>E</emph><partofsp part=\"noun\">n</partofsp>",
      "<context id=\"date_mdy\" before=\"b\" after=\"a\">03/04/05</context>",
      "<lang langid=\"0x409\">en</lang><lang langid='C04'>yue</lang><voice required=\"Gender=Female\">v</voice>",
      "<pitch middle=\"5\" absrange='-2'>p</pitch><rate absspeed='2'/>x<volume level='7'/>y",
      "<![CDATA[x<y]]><!-- c --><?pi x?>&lt;&amp;&#x4F60;&#22909;&quot;&apos;&bogus;&#0;",
      "<P><S>x</S></P><VOLUME LEVEL='30'>CaSe</VOLUME></foo><foo x='1'>",
      "<sapi><emph><volume level=\"20\">a</emph>b</volume></sapi>",
      "< x <3 </ </> <a b='1' <?x <!-- <![CDATA[ &#xD800; &#1114112;",
  };
  int i = 0;
  for (const std::string& text : texts) {
    Bytes out{3};  // markup, UTF-8
    out.insert(out.end(), text.begin(), text.end());
    seed("sapi_xml", "markup_" + std::to_string(i++), out);
  }
  Bytes plain{2};
  const std::string text = "<volume level='5'>plain</volume>";
  plain.insert(plain.end(), text.begin(), text.end());
  seed("sapi_xml", "plain", plain);
  Bytes wide{1};
  appendUtf16(wide, u"<bookmark mark='" + std::u16string(1, char16_t{0xD800}) + u"'/>\u4F60" +
                        std::u16string(1, char16_t{0}) + u"<silence msec='1'/>");
  seed("sapi_xml", "utf16", wide);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
    return 2;
  }
  outDir = argv[1];
  voiceSeeds();
  speakSeeds();
  textSeeds();
  registrySeeds();
  xmlSeeds();
  std::printf("%d seeds written to %s\n", written, outDir.c_str());
  return 0;
}
