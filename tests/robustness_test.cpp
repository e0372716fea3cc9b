// Robustness against a hostile world: damaged voices, engines speaking on
// many threads at once while others abort, change rate and go away, and a
// text of ten megabytes through the C interface.
//
// Durations are bounded by environment variables with short defaults, so the
// suite stays quick in CI and can run long on demand:
//   SONVALE_CONCURRENCY_SECONDS  how long the threads keep speaking (default 2)
//   SONVALE_LOAD_SECONDS         how long the long text is spoken before it is
//                                aborted (default 2; 0 speaks all of it)
//   SONVALE_LOAD_TEXT_MB         size of the long text (default 10)
// Measurements (peak memory, abort latency) are printed and recorded as test
// properties; only counts are asserted, never times.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "host/com_activation.h"
#include "host/output_site.h"
#include "host/registry_token.h"
#include "host/sapi_xml.h"
#include "host/voice_tokens.h"
#include "lame_stream.h"
#include "platform/le_bytes.h"
#include "platform/utf.h"
#include "settings/engine_settings.h"
#include "sonvale/sonvale.h"
#include "synth/voice_builder.h"
#include "synth/unit_cache.h"
#include "synth/voice_format.h"
#include "test_seed.h"
#include "test_support.h"
#include "ui/ui.h"
#include "voice_fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SONVALE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SONVALE_SANITIZED 1
#endif
#endif

namespace sonvale {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::lameStream;
using testing::unitOf;

double envNumber(const char* name, double fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  return end != text ? value : fallback;
}

// ---------------------------------------------------------------------------
// Voices in memory.

struct Images {
  Bytes def, data, word;
};

// A voice whose units `units` hold audio (unit code -> samples) and whose
// dictionary holds `words`; every other entry is empty.
Images buildImages(const std::map<std::uint32_t, std::vector<std::int16_t>>& units, const std::vector<WordRecord>& words) {
  Images v;
  std::vector<voice::UnitEntry> entries(voice::kUnitCount);
  for (const auto& [code, samples] : units) {
    voice::CodedUnit coded;
    EXPECT_EQ(voice::codeUnit(samples, coded), "") << "unit " << code;
    entries[code].offset = static_cast<std::uint32_t>(v.data.size());
    entries[code].length = static_cast<std::uint32_t>(coded.coded.size());
    entries[code].energy = coded.energy;
    v.data.insert(v.data.end(), coded.coded.begin(), coded.coded.end());
  }
  v.def = voice::voiceDefHeader();
  for (const auto& e : entries) voice::appendUnitEntry(v.def, e);
  v.word = voice::buildDictionary(words);
  return v;
}

// A voice in which every unit speaks: `distinct` coded units shared round
// robin by all 21902 entries (entries may share audio), so that any text is
// heard, and a few dictionary words.
Images everyUnitVoice(std::size_t distinct, double seconds) {
  Images v;
  std::vector<voice::UnitEntry> shared;
  for (std::size_t k = 0; k < distinct; ++k) {
    const auto samples = testing::sine(220.0 + 70.0 * static_cast<double>(k), seconds * (1.0 + 0.25 * static_cast<double>(k % 3)));
    voice::CodedUnit coded;
    EXPECT_EQ(voice::codeUnit(samples, coded), "");
    voice::UnitEntry e;
    e.offset = static_cast<std::uint32_t>(v.data.size());
    e.length = static_cast<std::uint32_t>(coded.coded.size());
    e.energy = coded.energy;
    shared.push_back(e);
    v.data.insert(v.data.end(), coded.coded.begin(), coded.coded.end());
  }
  v.def = voice::voiceDefHeader();
  for (std::uint32_t u = 0; u < voice::kUnitCount; ++u) voice::appendUnitEntry(v.def, shared[u % distinct]);
  WordRecord word;
  word.clear();
  std::copy_n(u"香港", 2, word.text);
  std::copy_n(u"香港", 2, word.reading);
  word.cutAfter[1] = 8;
  WordRecord longer = word;
  std::copy_n(u"大学生", 3, longer.text);
  std::copy_n(u"大学生", 3, longer.reading);
  longer.durationIndex[2] = 5;
  v.word = voice::buildDictionary(std::vector<WordRecord>{word, longer});
  return v;
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeImages(const std::string& dir, const Images& v) {
  writeFile(dir + "/" + voice::kVoiceDefFileName, v.def);
  writeFile(dir + "/" + voice::kVoiceDataFileName, v.data);
  writeFile(dir + "/" + voice::kVoiceWordFileName, v.word);
}

// What one Speak call gave.
struct Spoken {
  HRESULT hr = E_FAIL;
  Bytes audio;
  std::vector<host::RecordedEvent> events;
};

bool sameEvents(const std::vector<host::RecordedEvent>& a, const std::vector<host::RecordedEvent>& b, std::size_t n) {
  if (a.size() < n || b.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i].id != b[i].id || a[i].audioOffset != b[i].audioOffset || a[i].wParam != b[i].wParam ||
        a[i].lParam != b[i].lParam || a[i].bookmark != b[i].bookmark)
      return false;
  }
  return true;
}

bool sameSpeech(const Spoken& a, const Spoken& b) {
  return a.hr == b.hr && a.audio == b.audio && a.events.size() == b.events.size() &&
         sameEvents(a.events, b.events, a.events.size());
}

// `part` is what `whole` would have been, cut short: every byte and event of
// it is the same.
bool isPrefixOf(const Spoken& part, const Spoken& whole) {
  return part.audio.size() <= whole.audio.size() &&
         std::equal(part.audio.begin(), part.audio.end(), whole.audio.begin()) &&
         sameEvents(part.events, whole.events, part.events.size());
}

// Speaks `text`; `hook` sees every GetActions call, `controls` (when given)
// take requests from other threads, and `started` is set at the first audio.
Spoken speakText(Engine& engine, const std::u16string& text,
                 const std::function<void(host::OutputSite&, std::uint64_t)>& hook = {},
                 host::SiteControls* controls = nullptr, std::atomic<bool>* started = nullptr) {
  Spoken out;
  host::OutputSite site(
      [&out, started](const std::uint8_t* bytes, std::uint32_t count) -> HRESULT {
        out.audio.insert(out.audio.end(), bytes, bytes + count);
        if (started != nullptr) *started = true;
        return S_OK;
      },
      [&out](const host::RecordedEvent& e) { out.events.push_back(e); }, controls);
  if (hook) site.setActionsHook(hook);
  const testing::FragmentList list(text);
  out.hr = engine.speak(0, list.head(), &site);
  return out;
}

// ---------------------------------------------------------------------------
// The damaged-voice matrix.
//
// Every case damages one place of a small voice. The voice is then either
// refused when it is loaded, with one line naming the file and what is
// wrong, or it loads and speaks exactly as a sound voice in which the damaged
// part is missing: a unit that cannot be decoded speaks like a unit without
// audio (silence), a dictionary that cannot be read speaks like no
// dictionary. Each voice is spoken twice, from its mapped files and again
// from copies of exactly the files' sizes on the heap, where the address
// sanitizer sees any read past an end. The voice checker finds a problem in
// every damaged voice (an identity in lower case is no damage).

constexpr char16_t kMatrixText[] = u"你好香港人";

std::map<std::uint32_t, std::vector<std::int16_t>> matrixUnits() {
  return {{unitOf(u'你'), testing::sine(300, 0.2)},
          {unitOf(u'好'), testing::noise(0.15, 11)},
          {unitOf(u'香'), testing::sine(410, 0.18)},
          {unitOf(u'港'), testing::sine(520, 0.22)},
          {unitOf(u'人'), testing::sine(630, 0.12)}};
}

WordRecord hongKong() {
  WordRecord w;
  w.clear();
  std::copy_n(u"香港", 2, w.text);
  std::copy_n(u"香港", 2, w.reading);
  w.cutBefore[0] = 7;
  w.durationIndex[1] = 4;
  return w;
}

const Images& matrixVoice() {
  static const Images voice = buildImages(matrixUnits(), {hongKong()});
  return voice;
}

std::size_t entryAt(std::uint32_t unit) { return voice::kUnitTableOffset + unit * voice::kUnitEntryBytes; }

voice::UnitEntry entryOf(const Images& v, std::uint32_t unit) {
  voice::UnitEntry e;
  voice::readUnitEntry(v.def, unit, e);
  return e;
}

void setEntry(Images& v, std::uint32_t unit, const voice::UnitEntry& e) {
  Bytes bytes;
  voice::appendUnitEntry(bytes, e);
  std::copy(bytes.begin(), bytes.end(), v.def.begin() + static_cast<std::ptrdiff_t>(entryAt(unit)));
}

// Puts `stream` at the end of VoiceData as the unit of `c`.
void replaceUnit(Images& v, char16_t c, const Bytes& stream) {
  voice::UnitEntry e = entryOf(v, unitOf(c));
  e.offset = static_cast<std::uint32_t>(v.data.size());
  e.length = static_cast<std::uint32_t>(stream.size());
  v.data.insert(v.data.end(), stream.begin(), stream.end());
  setEntry(v, unitOf(c), e);
}

void emptyUnit(Images& v, char16_t c) { setEntry(v, unitOf(c), voice::UnitEntry{}); }

void noWords(Images& v) { v.word = voice::buildDictionary({}); }

// The record number and index entry of the dictionary's one word.
constexpr std::uint32_t kHongKongRecord = 1;  // after the placeholder record 0
std::size_t indexEntryOf(char16_t c) {
  return voice::kCharIndexOffset + (c - voice::kFirstIndexedChar) * voice::kCharIndexEntryBytes;
}
std::size_t recordAt(std::uint32_t k) { return voice::kRecordsOffset + k * kWordRecordBytes; }

void setIndex(Images& v, char16_t c, std::uint32_t first, std::uint32_t last) {
  putU32le(v.word.data() + indexEntryOf(c) + 4, first);
  putU32le(v.word.data() + indexEntryOf(c) + 8, last);
}

struct Refusal {
  HRESULT hr;
  std::string file;    // the error starts with the file's token value name
  std::string detail;  // and holds this
};

struct DamageCase {
  std::string name;
  std::function<void(Images&)> damage;
  std::optional<Refusal> refusal;            // refused at load time
  std::function<void(Images&)> equivalent;   // else: speaks as the sound voice changed thus
};

std::vector<DamageCase> damageCases() {
  using voice::kVoiceDefBytes;
  const auto cut = [](Bytes Images::*file, std::size_t size) {
    return [file, size](Images& v) { (v.*file).resize(size); };
  };
  const Refusal emptyDef{HRESULT_FROM_WIN32(ERROR_FILE_INVALID), "VoiceDef", "empty"};
  const Refusal identity{E_INVALIDARG, "VoiceDef", "identity"};
  const Refusal shortTable{E_INVALIDARG, "VoiceDef", "the unit table needs 700948"};
  const auto same = [](Images&) {};
  std::vector<DamageCase> cases;

  // VoiceDef cut at every section boundary: inside the format, at its end,
  // inside the identity, at its end, after the reserved word, after the
  // first entry, at and inside the entry of a unit that speaks, one entry
  // short, one byte short.
  cases.push_back({"DefCutToNothing", cut(&Images::def, 0), emptyDef, {}});
  cases.push_back({"DefCutInsideFormat", cut(&Images::def, 2),
                   Refusal{E_INVALIDARG, "VoiceDef", "too short for the format field"}, {}});
  for (const std::size_t size : {std::size_t{4}, std::size_t{42}, std::size_t{79}})
    cases.push_back({"DefCutInsideIdentityAt" + std::to_string(size), cut(&Images::def, size), identity, {}});
  for (const std::size_t size : {std::size_t{80}, voice::kUnitTableOffset, voice::kUnitTableOffset + 32,
                                 entryAt(unitOf(u'你')), entryAt(unitOf(u'你')) + 12, kVoiceDefBytes - 32,
                                 kVoiceDefBytes - 1})
    cases.push_back({"DefCutAt" + std::to_string(size), cut(&Images::def, size), shortTable, {}});

  // VoiceData cut: to nothing, inside the first unit, at the end of the
  // first unit (every later unit lies past the end), one byte short.
  cases.push_back({"DataCutToNothing",
                   cut(&Images::data, 0),
                   Refusal{HRESULT_FROM_WIN32(ERROR_FILE_INVALID), "VoiceData", "empty"},
                   {}});
  const Images& sound = matrixVoice();
  const std::uint32_t firstUnitLength = entryOf(sound, unitOf(u'人')).length;  // 人 has the lowest unit code
  for (const std::size_t size : {std::size_t{firstUnitLength / 2}, std::size_t{firstUnitLength}, sound.data.size() - 1})
    cases.push_back({"DataCutAt" + std::to_string(size), cut(&Images::data, size),
                     Refusal{E_INVALIDARG, "VoiceDef", "of VoiceData, which holds " + std::to_string(size) + " bytes"},
                     {}});

  // VoiceWord cut: to nothing and inside the identity are refused; after the
  // identity, inside the header, inside the index (at the entry of 香), at
  // the records, inside the placeholder and inside the word's record the
  // dictionary loads and finds nothing.
  cases.push_back({"WordCutToNothing",
                   cut(&Images::word, 0),
                   Refusal{HRESULT_FROM_WIN32(ERROR_FILE_INVALID), "VoiceWord", "empty"},
                   {}});
  for (const std::size_t size : {std::size_t{12}, std::size_t{30}, std::size_t{50}})
    cases.push_back({"WordCutInsideIdentityAt" + std::to_string(size), cut(&Images::word, size),
                     Refusal{E_INVALIDARG, "VoiceWord", "dictionary identity"}, {}});
  for (const std::size_t size : {std::size_t{51}, voice::kSharedFirstOffset + 2, voice::kSharedCountOffset,
                                 voice::kCharIndexOffset, indexEntryOf(u'香') + 6, voice::kRecordsOffset,
                                 recordAt(0) + 200, recordAt(kHongKongRecord) + 300, sound.word.size() - 1})
    cases.push_back({"WordCutAt" + std::to_string(size), cut(&Images::word, size), std::nullopt, noWords});

  // Identities.
  cases.push_back(
      {"DefFormat3", [](Images& v) { v.def[0] = 3; }, Refusal{E_INVALIDARG, "VoiceDef", "format 3"}, {}});
  // A file zeroed in place, and one whose 32-bit words were swapped end for end.
  cases.push_back({"DefZeroed", [](Images& v) { std::fill(v.def.begin(), v.def.end(), 0); },
                   Refusal{E_INVALIDARG, "VoiceDef", "format 0, expected 2"}, {}});
  cases.push_back({"DefBigEndian",
                   [](Images& v) {
                     for (std::size_t i = 0; i + 4 <= v.def.size(); i += 4) {
                       const auto at = v.def.begin() + static_cast<std::ptrdiff_t>(i);
                       std::reverse(at, at + 4);
                     }
                   },
                   Refusal{E_INVALIDARG, "VoiceDef", "format 33554432, expected 2"}, {}});
  cases.push_back({"DefIdentityDiffers", [](Images& v) { v.def[voice::kVoiceIdOffset + 2 * 10] = 'X'; }, identity, {}});
  cases.push_back({"DefIdentityInLowerCase",
                   [](Images& v) {
                     for (std::size_t i = 0; i < voice::kVoiceIdUnits; ++i) {
                       std::uint8_t& c = v.def[voice::kVoiceIdOffset + 2 * i];
                       if (c >= 'A' && c <= 'Z') c = static_cast<std::uint8_t>(c + 32);
                     }
                   },
                   std::nullopt, same});
  cases.push_back({"WordIdentityDiffers", [](Images& v) { v.word[voice::kDictIdOffset + 37] = '}' + 1; },
                   Refusal{E_INVALIDARG, "VoiceWord", "dictionary identity"}, {}});

  // Entries that point outside VoiceData or past a unit's limit.
  const auto entryCase = [&](const std::string& name, char16_t c, std::function<void(voice::UnitEntry&, std::size_t)> change,
                             const std::string& detail) {
    cases.push_back({name,
                     [c, change](Images& v) {
                       voice::UnitEntry e = entryOf(v, unitOf(c));
                       change(e, v.data.size());
                       setEntry(v, unitOf(c), e);
                     },
                     Refusal{E_INVALIDARG, "VoiceDef", detail}, {}});
  };
  const std::string unitOfHao = "unit " + std::to_string(unitOf(u'好'));
  entryCase("EntryStartsPastData", u'好', [](voice::UnitEntry& e, std::size_t size) { e.offset = static_cast<std::uint32_t>(size) + 1; }, unitOfHao);
  entryCase("EntryEndsOneBytePastData", u'好',
            [](voice::UnitEntry& e, std::size_t size) { e.offset = static_cast<std::uint32_t>(size) - e.length + 1; }, unitOfHao);
  entryCase("EntryOffsetWrapsAround", u'好',
            [](voice::UnitEntry& e, std::size_t) {
              e.offset = 0xFFFFFFF0u;
              e.length = 0x20;
            },
            unitOfHao);
  entryCase("EntryLongerThanAUnit", u'好',
            [](voice::UnitEntry& e, std::size_t) {
              e.offset = 0;
              e.length = voice::kMaxCodedUnitBytes + 1;
            },
            "at most 16384");
  entryCase("EmptyEntryPastData", u'丁', [](voice::UnitEntry& e, std::size_t size) { e.offset = static_cast<std::uint32_t>(size) + 8; },
            "unit " + std::to_string(unitOf(u'丁')));

  // Units that decode to nothing the engine can use: spoken as silence.
  const auto silent = [](char16_t c) { return [c](Images& v) { emptyUnit(v, c); }; };
  const auto unitCase = [&](const std::string& name, Bytes stream) {
    cases.push_back({name, [stream](Images& v) { replaceUnit(v, u'好', stream); }, std::nullopt, silent(u'好')});
  };
  const std::string text = "not MPEG audio: a unit of plain text, with no frame sync in it at all";
  unitCase("UnitIsText", Bytes(text.begin(), text.end()));
  unitCase("UnitIsZeros", Bytes(2000, 0));
  unitCase("UnitAt22050Hz", lameStream(testing::sine(440, 0.3), 22050, 1));
  unitCase("UnitAt8000Hz", lameStream(testing::sine(440, 0.3), 8000, 1));
  unitCase("UnitInStereo", lameStream(testing::sine(440, 0.3), 11025, 2));

  // Dictionary record numbers past the end, and records no lookup can use.
  cases.push_back({"IndexPastTheRecords", [](Images& v) { setIndex(v, u'香', 5, 1000); }, std::nullopt, noWords});
  cases.push_back({"IndexAtTheLastRecordNumbers", [](Images& v) { setIndex(v, u'香', 0xFFFFFFF0u, 0xFFFFFFFFu); },
                   std::nullopt, noWords});
  cases.push_back({"IndexReversed", [](Images& v) { setIndex(v, u'香', kHongKongRecord + 1, kHongKongRecord); },
                   std::nullopt, noWords});
  cases.push_back({"SharedListPastTheEnd",
                   [](Images& v) {
                     putU32le(v.word.data() + voice::kSharedFirstOffset, 40);
                     putU32le(v.word.data() + voice::kSharedCountOffset, 0xFFFFFFFFu);
                   },
                   std::nullopt, same});
  cases.push_back({"RecordWithoutTerminators",
                   [](Images& v) {
                     const std::size_t at = recordAt(kHongKongRecord);
                     for (std::size_t i = 2; i < 9; ++i) putU16le(v.word.data() + at + 2 * i, u'港');
                   },
                   std::nullopt, noWords});
  // A reading of code units that are not ideographs: the word is still one
  // word of two syllables, each without a unit.
  cases.push_back({"ReadingOutsideTheIdeographs",
                   [](Images& v) {
                     const std::size_t at = recordAt(kHongKongRecord) + 82;
                     putU16le(v.word.data() + at, u'A');
                     putU16le(v.word.data() + at + 2, 0xFFFF);
                   },
                   std::nullopt,
                   [](Images& v) {
                     const std::size_t at = recordAt(kHongKongRecord) + 82;
                     putU16le(v.word.data() + at, u'丁');  // units without audio
                     putU16le(v.word.data() + at + 2, u'七');
                   }});
  return cases;
}

struct Warning {
  ui::UserWarning kind;
  std::string detail;
};

class DamagedVoiceTest : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ui::setWarningSink(
        [](ui::UserWarning kind, const std::string& detail, void* context) {
          static_cast<std::vector<Warning>*>(context)->push_back({kind, detail});
        },
        &warnings_);
  }
  void TearDown() override {
    ui::setWarningSink(nullptr, nullptr);
    EngineTest::TearDown();
  }

  struct Loaded {
    HRESULT hr;
    std::string error;
    Spoken spoken;      // from the mapped files
    Spoken fromCopies;  // from exact-size copies of them
  };

  Loaded loadAndSpeak(const Images& v) {
    writeImages(dir_.path(), v);
    Engine engine;
    Loaded out{testing::loadVoice(engine, dir_.path()), engine.voiceError(), {}, {}};
    out.spoken = speakText(engine, kMatrixText);
    if (out.hr == S_OK) {
      const Bytes data = v.data, word = v.word;
      std::vector<voice::UnitEntry> units(voice::kUnitCount);
      for (std::uint32_t u = 0; u < voice::kUnitCount; ++u) voice::readUnitEntry(v.def, u, units[u]);
      engine.synthesizer().attach(&units, data);
      engine.dictionary().attach(word);
      out.fromCopies = speakText(engine, kMatrixText);
      engine.synthesizer().attach(nullptr, {});
      engine.dictionary().attach({});
    }
    return out;
  }

  std::vector<Warning> warnings_;
};

TEST_F(DamagedVoiceTest, EveryDamageIsRefusedOrSpokenAsTheSoundVoiceWithoutIt) {
  const Loaded sound = loadAndSpeak(matrixVoice());
  ASSERT_EQ(sound.hr, S_OK) << sound.error;
  ASSERT_EQ(sound.spoken.hr, S_OK);
  ASSERT_TRUE(std::any_of(sound.spoken.audio.begin(), sound.spoken.audio.end(), [](std::uint8_t b) { return b != 0; }));
  ASSERT_TRUE(sameSpeech(sound.spoken, sound.fromCopies));
  EXPECT_TRUE(voice::checkVoiceImages(matrixVoice().def, matrixVoice().data, matrixVoice().word).problems.empty());

  for (const DamageCase& c : damageCases()) {
    SCOPED_TRACE(c.name);
    warnings_.clear();
    Images damaged = matrixVoice();
    c.damage(damaged);
    const Loaded got = loadAndSpeak(damaged);
    if (c.refusal) {
      EXPECT_EQ(got.hr, c.refusal->hr) << got.error;
      EXPECT_EQ(got.error.rfind(c.refusal->file, 0), 0u) << got.error;
      EXPECT_NE(got.error.find(c.refusal->detail), std::string::npos) << got.error;
      EXPECT_EQ(got.error.find('\n'), std::string::npos) << got.error;
      // Every refusal warns the user once, with the error that names the file.
      ASSERT_EQ(warnings_.size(), 1u);
      EXPECT_EQ(warnings_[0].kind, ui::UserWarning::VoiceDamaged);
      EXPECT_EQ(warnings_[0].detail, got.error);
      EXPECT_NE(got.error.find(dir_.path()), std::string::npos) << got.error;
      // A refused voice speaks nothing but the silences of the text's items.
      EXPECT_EQ(got.spoken.hr, S_OK);
      EXPECT_TRUE(std::all_of(got.spoken.audio.begin(), got.spoken.audio.end(), [](std::uint8_t b) { return b == 0; }));
    } else {
      ASSERT_EQ(got.hr, S_OK) << got.error;
      EXPECT_TRUE(warnings_.empty());
      Images equivalent = matrixVoice();
      c.equivalent(equivalent);
      const Loaded expected = loadAndSpeak(equivalent);
      ASSERT_EQ(expected.hr, S_OK) << expected.error;
      EXPECT_TRUE(sameSpeech(got.spoken, expected.spoken))
          << got.spoken.audio.size() << " bytes and " << got.spoken.events.size() << " events, expected "
          << expected.spoken.audio.size() << " and " << expected.spoken.events.size();
      EXPECT_TRUE(sameSpeech(got.spoken, got.fromCopies));
    }
    const bool sameAsSound = !c.refusal && damaged.def == matrixVoice().def && damaged.data == matrixVoice().data &&
                             damaged.word == matrixVoice().word;
    if (c.name != "DefIdentityInLowerCase" && !sameAsSound) {
      EXPECT_FALSE(voice::checkVoiceImages(damaged.def, damaged.data, damaged.word).problems.empty());
    }
  }
}

// A unit that decodes to more than the 60000 bytes a unit may hold loads (the
// engine does not decode units when it loads a voice) and is spoken cut at
// 60000 bytes, as the decoder fills the unit buffer; the voice checker
// reports it.
TEST_F(DamagedVoiceTest, UnitLongerThanTheLimitIsCutAtTheLimit) {
  Images v = matrixVoice();
  const Bytes stream = lameStream(testing::sine(330, 3.5), 11025, 1);  // 38587 samples
  ASSERT_LE(stream.size(), voice::kMaxCodedUnitBytes);
  replaceUnit(v, u'好', stream);
  writeImages(dir_.path(), v);
  Engine engine;
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK) << engine.voiceError();
  host::OutputSite site;
  engine.synthesizer().speakSyllable(&site, 0, 100, unitOf(u'好'), {});
  EXPECT_EQ(engine.synthesizer().lastTrace().decodedBytes, voice::kMaxDecodedUnitBytes);
  EXPECT_LE(site.bytesWritten(), voice::kMaxDecodedUnitBytes);

  const voice::VoiceCheck check = voice::checkVoiceImages(v.def, v.data, v.word);
  ASSERT_EQ(check.problems.size(), 1u);
  EXPECT_NE(check.problems[0].find("more than 60000 bytes"), std::string::npos) << check.problems[0];
}

// ---------------------------------------------------------------------------
// Engines on many threads.
//
// Eight engines, each with its own text, speak on eight threads at once for
// a bounded time; every call must give exactly the audio and events that the
// same text gave when spoken alone. Among them one thread has its speech
// aborted from another thread at random moments (what it spoke must be the
// start of the whole), one changes rate in the middle of its text (compared
// with the same change made alone), and one destroys its engine in the middle
// of its text and makes a new one, while the others go on.

const std::u16string kThreadTexts[8] = {
    u"你好，香港。我们是大学生。",
    u"今天天气很好，我们去公园。",
    u"1234.56%和-78是数字。",
    u"ABC abc, Hello World!",
    u"标点符号：（你好）“好”！",
    u"中英文语音朗读差不多。",
    u"一二三四五六七八九十百千万。",
    u"天下一统，长的文本；好像倒车。",
};

// The site hook that changes the rate at one GetActions call.
struct RateChange {
  std::uint64_t atCall;
  LONG rate;
};

std::function<void(host::OutputSite&, std::uint64_t)> rateHook(RateChange change) {
  return [change](host::OutputSite& site, std::uint64_t call) {
    if (call == change.atCall) site.setRate(change.rate);
  };
}

std::function<void(host::OutputSite&, std::uint64_t)> abortHook(std::uint64_t atCall) {
  return [atCall](host::OutputSite& site, std::uint64_t call) {
    if (call == atCall) site.requestAbort();
  };
}

// Counts the syllables an engine starts, around its own synthesizer.
class CountingSynth final : public SyllableSynth {
 public:
  explicit CountingSynth(SyllableSynth& inner) : inner_(inner) {}
  std::uint32_t speakSyllable(ISpTTSEngineSite* site, std::int32_t rate, std::uint32_t volume, std::uint32_t unitCode,
                              const SyllableParams& params) override {
    started.fetch_add(1);
    return inner_.speakSyllable(site, rate, volume, unitCode, params);
  }
  std::atomic<std::uint64_t> started{0};

 private:
  SyllableSynth& inner_;
};

class ConcurrencyTest : public testing::EngineTest {
 protected:
  static void SetUpTestSuite() { voice_ = new Images(everyUnitVoice(6, 0.2)); }
  static void TearDownTestSuite() {
    delete voice_;
    voice_ = nullptr;
  }

  void SetUp() override {
    EngineTest::SetUp();
    storeSettings({{u"ReadNumber", 1}, {u"ReadPunctuation", 1}, {u"PuncLong", 3000}, {u"PuncShort", 1001}});
    writeImages(dir_.path(), *voice_);
    ASSERT_EQ(host::RegistryToken::open(platform::RegRoot::LocalMachine, u"SOFTWARE\\Test\\Voice", true, &token_), S_OK);
    for (const auto& [name, file] : {std::pair{u"VoiceDef", voice::kVoiceDefFileName},
                                     std::pair{u"VoiceData", voice::kVoiceDataFileName},
                                     std::pair{u"VoiceWord", voice::kVoiceWordFileName}})
      ASSERT_EQ(token_->SetStringValue(name, platform::utf8ToUtf16(dir_.file(file)).c_str()), S_OK);
  }
  void TearDown() override {
    if (token_ != nullptr) token_->Release();
    EngineTest::TearDown();
  }

  // A new engine with the voice, through the one token all threads share.
  std::unique_ptr<Engine> newEngine() {
    auto engine = std::make_unique<Engine>();
    EXPECT_EQ(engine->loadVoice(*token_), S_OK) << engine->voiceError();
    return engine;
  }

  // Each text spoken alone, with nothing else running and no unit cache, so
  // that the threads afterwards, which share a cache small enough to evict
  // under them, are checked against samples computed afresh.
  std::vector<Spoken> speakAlone() {
    storeSettings({{u"UnitCacheKB", 0}});
    std::vector<Spoken> out;
    for (const std::u16string& text : kThreadTexts) {
      const auto engine = newEngine();
      out.push_back(speakText(*engine, text));
      EXPECT_EQ(out.back().hr, S_OK);
      EXPECT_FALSE(out.back().audio.empty());
    }
    storeSettings({{u"UnitCacheKB", 64}});
    return out;
  }

  static Images* voice_;
  ISpObjectToken* token_ = nullptr;
};

Images* ConcurrencyTest::voice_ = nullptr;

double concurrencySeconds() { return envNumber("SONVALE_CONCURRENCY_SECONDS", 2.0); }

TEST_F(ConcurrencyTest, EightEnginesSpeakAsEachDoesAlone) {
  const std::vector<Spoken> alone = speakAlone();
  for (std::size_t i = 0; i < alone.size(); ++i)
    for (std::size_t j = i + 1; j < alone.size(); ++j) ASSERT_NE(alone[i].audio, alone[j].audio) << i << " " << j;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(concurrencySeconds());
  std::atomic<bool> go{false};
  std::vector<int> calls(8, 0), mismatches(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const auto engine = newEngine();
      while (!go) std::this_thread::yield();
      do {
        const Spoken got = speakText(*engine, kThreadTexts[t]);
        ++calls[t];
        if (!sameSpeech(got, alone[t])) ++mismatches[t];
      } while (std::chrono::steady_clock::now() < deadline);
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 8; ++t) {
    EXPECT_GE(calls[t], 1) << "thread " << t;
    EXPECT_EQ(mismatches[t], 0) << "thread " << t << " of " << calls[t] << " calls";
  }
  // The threads went through the shared cache, and it kept to its budget.
  EXPECT_GT(UnitCache::shared().entries(), 0u);
  EXPECT_LE(UnitCache::shared().bytes(), 64u * 1024);
  int total = 0;
  for (const int n : calls) total += n;
  RecordProperty("speak_calls", total);
  std::printf("8 threads made %d speaking calls in %.1f s\n", total, concurrencySeconds());
}

TEST_F(ConcurrencyTest, AbortRateChangeAndDestructionLeaveTheOthersAlone) {
  const std::vector<Spoken> alone = speakAlone();
  const unsigned seed = testing::testSeed();
  RecordProperty("seed", static_cast<int>(seed & 0x7FFFFFFF));

  // The rate changes and abort points of threads 1 and 2, each spoken alone first.
  const std::vector<RateChange> rateChanges = {{2, 10}, {6, -10}, {10, 9}, {16, -8}};
  std::vector<Spoken> rateAlone;
  for (const RateChange& change : rateChanges) {
    const auto engine = newEngine();
    rateAlone.push_back(speakText(*engine, kThreadTexts[1], rateHook(change)));
    ASSERT_FALSE(sameSpeech(rateAlone.back(), alone[1])) << "rate " << change.rate << " at call " << change.atCall;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(concurrencySeconds());
  std::atomic<bool> go{false};
  std::vector<int> calls(8, 0), mismatches(8, 0);
  std::atomic<std::uint64_t> mostSyllablesAfterAbort{0};
  std::vector<double> abortLatencyMs;

  const auto plain = [&](int t) {
    const auto engine = newEngine();
    while (!go) std::this_thread::yield();
    do {
      ++calls[t];
      if (!sameSpeech(speakText(*engine, kThreadTexts[t]), alone[t])) ++mismatches[t];
    } while (std::chrono::steady_clock::now() < deadline);
  };

  // Thread 0: aborted from another thread after a random delay, in a text
  // long enough for the abort to land in its middle.
  std::u16string longer;
  for (int i = 0; i < 20; ++i) longer += kThreadTexts[0];
  Spoken longerAlone;
  {
    const auto engine = newEngine();
    longerAlone = speakText(*engine, longer);
  }
  const auto aborted = [&] {
    const auto engine = newEngine();
    CountingSynth counter(engine->synthesizer());
    engine->setSynth(&counter);
    std::mt19937 rng(seed);
    while (!go) std::this_thread::yield();
    do {
      ++calls[0];
      host::SiteControls controls;
      std::atomic<std::uint64_t> startedAtAbort{0};
      std::chrono::steady_clock::time_point abortedAt{};
      std::atomic<bool> audioStarted{false};
      const int delayUs = std::uniform_int_distribution<int>(0, 20000)(rng);
      std::thread aborter([&] {
        // Once the text is under way, after a random delay.
        while (!audioStarted) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        controls.requestAbort();
        abortedAt = std::chrono::steady_clock::now();
        startedAtAbort = counter.started.load();
      });
      const std::uint64_t before = counter.started.load();
      const Spoken got = speakText(*engine, longer, {}, &controls, &audioStarted);
      const auto returnedAt = std::chrono::steady_clock::now();
      aborter.join();
      if (got.hr != S_OK || !isPrefixOf(got, longerAlone)) ++mismatches[0];
      // Syllables begun after the abort was requested: at most the one that
      // had passed its abort check already.
      const std::uint64_t after = counter.started.load() - std::max(startedAtAbort.load(), before);
      if (after > mostSyllablesAfterAbort) mostSyllablesAfterAbort = after;
      if (returnedAt > abortedAt && got.audio.size() < longerAlone.audio.size())
        abortLatencyMs.push_back(std::chrono::duration<double, std::milli>(returnedAt - abortedAt).count());
    } while (std::chrono::steady_clock::now() < deadline);
  };

  // Thread 1: its rate changed in the middle of the text, by the site at a
  // fixed GetActions call, and also at random moments from another thread.
  const auto rateChanged = [&] {
    const auto engine = newEngine();
    std::mt19937 rng(seed + 1);
    while (!go) std::this_thread::yield();
    std::size_t k = 0;
    do {
      ++calls[1];
      const std::size_t which = k++ % rateChanges.size();
      if (!sameSpeech(speakText(*engine, kThreadTexts[1], rateHook(rateChanges[which])), rateAlone[which]))
        ++mismatches[1];
      // From another thread: no comparison is possible, but the call ends well
      // and its events keep stream order.
      host::SiteControls controls;
      const int delayUs = std::uniform_int_distribution<int>(0, 5000)(rng);
      std::thread changer([&] {
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        controls.setRate(-7);
      });
      const Spoken got = speakText(*engine, kThreadTexts[1], {}, &controls);
      changer.join();
      bool ordered = true;
      for (std::size_t i = 1; i < got.events.size(); ++i) ordered &= got.events[i - 1].audioOffset <= got.events[i].audioOffset;
      if (got.hr != S_OK || !ordered || got.audio.empty()) ++mismatches[1];
      // The engine keeps the last rate it was told; put it back for the next comparison.
      host::SiteControls reset;
      reset.setRate(0);
      speakText(*engine, u"\u3000", {}, &reset);
    } while (std::chrono::steady_clock::now() < deadline);
  };

  // Thread 2: speaks part of its text, destroys its engine at once, makes a new one.
  const auto destroyed = [&] {
    std::mt19937 rng(seed + 2);
    while (!go) std::this_thread::yield();
    do {
      ++calls[2];
      auto engine = newEngine();
      const std::uint64_t stopAt = std::uniform_int_distribution<std::uint64_t>(1, 80)(rng);
      const Spoken part = speakText(*engine, kThreadTexts[2], abortHook(stopAt));
      engine.reset();
      if (part.hr != S_OK || !isPrefixOf(part, alone[2])) ++mismatches[2];
      engine = newEngine();
      if (!sameSpeech(speakText(*engine, kThreadTexts[2]), alone[2])) ++mismatches[2];
    } while (std::chrono::steady_clock::now() < deadline);
  };

  std::vector<std::thread> threads;
  threads.emplace_back(aborted);
  threads.emplace_back(rateChanged);
  threads.emplace_back(destroyed);
  for (int t = 3; t < 8; ++t) threads.emplace_back(plain, t);
  go = true;
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < 8; ++t) {
    EXPECT_GE(calls[t], 1) << "thread " << t;
    EXPECT_EQ(mismatches[t], 0) << "thread " << t << " of " << calls[t] << " calls";
  }
  EXPECT_LE(mostSyllablesAfterAbort.load(), 1u);
  std::sort(abortLatencyMs.begin(), abortLatencyMs.end());
  std::printf("%d calls of thread 0, %zu of them aborted mid-text\n", calls[0], abortLatencyMs.size());
  if (!abortLatencyMs.empty()) {
    const double median = abortLatencyMs[abortLatencyMs.size() / 2];
    std::printf("abort: %zu aborts mid-text, at most %llu syllable begun after the request, latency median %.3f ms, "
                "max %.3f ms (8 threads on %u cores)\n",
                abortLatencyMs.size(), static_cast<unsigned long long>(mostSyllablesAfterAbort.load()), median,
                abortLatencyMs.back(), std::thread::hardware_concurrency());
    RecordProperty("abort_latency_median_us", static_cast<int>(median * 1000));
    RecordProperty("abort_latency_max_us", static_cast<int>(abortLatencyMs.back() * 1000));
  }
}

// ---------------------------------------------------------------------------
// A long text through the C interface.
//
// Ten megabytes of mixed text (Chinese, Latin, digits, punctuation, markup)
// are spoken to a callback that throws the audio away, for a bounded time,
// then aborted from another thread. Peak memory is measured around each
// stage: the host's UTF-16 copy and fragment list, the engine's speaking, the
// whole call. The engine's own speaking must stay within 16 MB whatever the
// text's length; the host's copies grow with the text, and their sizes are
// reported.

long statusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  return -1;
}

// Starts a new peak: the next VmHWM reading is the peak from now on.
bool resetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

std::string longText(std::size_t bytes) {
  static const std::string kChunks[] = {
      "香港是一个国际大都会，人口约750万。",
      "The quick brown fox 跳过了 lazy dog! ",
      "2024年3月15日，气温23.5度，湿度85%。",
      "<bookmark mark=\"7\"/>“你好”（测试）；",
      "<silence msec=\"20\"/><volume level=\"80\">语音朗读</volume> &amp; &lt;tag&gt; ",
      "1,234,567.89 和 -42，ABC abc. ",
      "<rate speed=\"3\">中英文混合 mixed text</rate>？再见! ",
      "标点符号：《书名》、【注释】…… ",
  };
  std::string text;
  text.reserve(bytes + 128);
  for (std::size_t i = 0; text.size() < bytes; ++i) text += kChunks[i % std::size(kChunks)];
  text.resize(bytes);
  // Do not end inside a UTF-8 sequence.
  while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
  if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) text.pop_back();
  return text;
}

class LongTextTest : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    storeSettings({{u"ReadNumber", 1}, {u"ReadPunctuation", 1}});
    writeImages(dir_.path(), everyUnitVoice(4, 0.04));
    ASSERT_EQ(host::installVoice(host::kDefaultVoiceName, "", dir_.path()), "");
    // sonvale_open activates the engine as a client would: through the
    // module registered for its class.
    host::InprocServer module;
    std::string error;
    ASSERT_EQ(module.loadFile(SONVALE_MODULE_PATH, error), S_OK) << error;
    ASSERT_EQ(module.registerServer(), S_OK);
    mappedVoiceKb_ = 0;
    for (const char* name : {voice::kVoiceDefFileName, voice::kVoiceDataFileName, voice::kVoiceWordFileName})
      mappedVoiceKb_ += static_cast<long>(std::filesystem::file_size(dir_.file(name)) / 1024);
  }

  long mappedVoiceKb_ = 0;
};

struct Discard {
  std::atomic<bool> aborted{false};
  std::atomic<std::uint64_t> samples{0};
  std::uint64_t soundsAfterAbort = 0;  // callbacks with samples that are not all zero
};

int discardAudio(void* user, const std::int16_t* samples, std::size_t count) {
  auto* d = static_cast<Discard*>(user);
  d->samples += count;
  if (d->aborted && std::any_of(samples, samples + count, [](std::int16_t s) { return s != 0; })) ++d->soundsAfterAbort;
  return 0;
}

// Speaks `list` with a fresh engine for `seconds` (all of it when 0) into a
// site that discards the audio. Returns the peak memory growth in KB; sets
// the milliseconds from the abort to Speak's return.
long engineSpeakingPeakKb(const std::string& voiceDir, const host::FragmentList& list, double seconds,
                          std::uint64_t& audioBytes, double& abortMs) {
  Engine engine;
  EXPECT_EQ(testing::loadVoice(engine, voiceDir), S_OK) << engine.voiceError();
  host::SiteControls controls;
  audioBytes = 0;
  host::OutputSite site(
      [&audioBytes](const std::uint8_t*, std::uint32_t count) -> HRESULT {
        audioBytes += count;
        return S_OK;
      },
      [](const host::RecordedEvent&) {}, &controls);
  const long before = statusKb("VmRSS");
  resetPeak();
  std::chrono::steady_clock::time_point abortedAt{};
  std::thread stopper([&] {
    if (seconds <= 0) return;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    abortedAt = std::chrono::steady_clock::now();
    controls.requestAbort();
  });
  EXPECT_EQ(engine.speak(0, list.head(), &site), S_OK);
  const auto returnedAt = std::chrono::steady_clock::now();
  stopper.join();
  abortMs = seconds > 0 ? std::chrono::duration<double, std::milli>(returnedAt - abortedAt).count() : 0.0;
  return statusKb("VmHWM") - before;
}

TEST_F(LongTextTest, TenMegabytesThroughTheCInterface) {
  const double seconds = envNumber("SONVALE_LOAD_SECONDS", 2.0);
  const auto bytes = static_cast<std::size_t>(envNumber("SONVALE_LOAD_TEXT_MB", 10.0) * 1024 * 1024);
  const std::string text = longText(bytes);
  const bool peaks = resetPeak();

  // The host's share: the UTF-16 copy and the fragment list.
  long before = statusKb("VmRSS");
  std::u16string wide = platform::utf8ToUtf16(text);
  const long wideKb = statusKb("VmRSS") - before;
  before = statusKb("VmRSS");
  host::FragmentList list = host::parseSpeakText(wide, true);
  ASSERT_EQ(list.status(), host::ParseStatus::Ok);
  const long listKb = statusKb("VmRSS") - before;
  const std::size_t units = wide.size(), fragments = list.size();

  // The engine's share: speaking that list. Sentences end at ASCII '.', '!'
  // and '?' only; the same text with none of them is one sentence of ten
  // megabytes, which the engine must speak a part at a time.
  std::uint64_t engineBytes = 0, oneSentenceBytes = 0;
  double engineAbortMs = 0, oneSentenceAbortMs = 0;
  const long engineKb = engineSpeakingPeakKb(dir_.path(), list, seconds, engineBytes, engineAbortMs);
  list = host::FragmentList();
  std::u16string oneSentence = wide;
  std::replace_if(oneSentence.begin(), oneSentence.end(), [](char16_t c) { return c == u'.' || c == u'!' || c == u'?'; },
                  u'\u3002');
  wide = std::u16string();
  list = host::parseSpeakText(oneSentence, true);
  const long oneSentenceKb = engineSpeakingPeakKb(dir_.path(), list, seconds, oneSentenceBytes, oneSentenceAbortMs);
  list = host::FragmentList();
  oneSentence = std::u16string();

  // The whole C call.
  sonvale_voice* voice = nullptr;
  char error[256];
  ASSERT_EQ(sonvale_open(nullptr, &voice, error, sizeof error), SONVALE_OK) << error;
  Discard discard;
  std::chrono::steady_clock::time_point abortedAt{};
  before = statusKb("VmRSS");
  resetPeak();
  std::atomic<bool> returned{false};
  std::thread aborter([&] {
    if (seconds <= 0) return;  // speak all of it
    // The time counts from the first audio: parsing the text comes before.
    while (discard.samples == 0 && !returned) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    if (returned) return;
    sonvale_abort(voice);
    abortedAt = std::chrono::steady_clock::now();
    discard.aborted = true;
  });
  const int result = sonvale_speak(voice, text.c_str(), static_cast<std::ptrdiff_t>(text.size()), SONVALE_TEXT_XML,
                                   discardAudio, nullptr, &discard);
  const auto returnedAt = std::chrono::steady_clock::now();
  returned = true;
  aborter.join();
  const long callKb = statusKb("VmHWM") - before;
  sonvale_close(voice);

  EXPECT_EQ(result, SONVALE_OK);
  EXPECT_GT(discard.samples.load(), 0u);
  // Aborting takes effect within one syllable: at most the syllable whose
  // abort check had passed reaches the callback.
  EXPECT_LE(discard.soundsAfterAbort, 1u);
  const double abortMs =
      discard.aborted ? std::chrono::duration<double, std::milli>(returnedAt - abortedAt).count() : 0.0;
  std::printf(
      "long text: %zu bytes of UTF-8, %zu code units, %zu fragments; voice files %ld KB (mapped)\n"
      "  UTF-16 copy %ld KB, fragment list %ld KB (the C interface makes it a few hundred fragments at a time)\n"
      "  engine speaking the list for %.1f s: peak %ld KB above its start (%llu bytes of audio); Speak returned "
      "%.3f ms after the abort\n"
      "  the same without ASCII sentence ends, one sentence: peak %ld KB (%llu bytes of audio)\n"
      "  whole C call for %.1f s: peak %ld KB above its start, %llu samples; sonvale_speak returned %.3f ms after "
      "sonvale_abort, %llu sounding callbacks after it%s\n",
      text.size(), units, fragments, mappedVoiceKb_, wideKb, listKb, seconds, engineKb,
      static_cast<unsigned long long>(engineBytes), engineAbortMs, oneSentenceKb, static_cast<unsigned long long>(oneSentenceBytes),
      seconds, callKb, static_cast<unsigned long long>(discard.samples.load()), abortMs,
      static_cast<unsigned long long>(discard.soundsAfterAbort), peaks ? "" : " (peak reset unavailable)");
  RecordProperty("utf16_kb", static_cast<int>(wideKb));
  RecordProperty("fragment_list_kb", static_cast<int>(listKb));
  RecordProperty("engine_peak_kb", static_cast<int>(engineKb));
  RecordProperty("one_sentence_engine_peak_kb", static_cast<int>(oneSentenceKb));
  RecordProperty("c_call_peak_kb", static_cast<int>(callKb));
  RecordProperty("engine_abort_us", static_cast<int>(engineAbortMs * 1000));
  RecordProperty("c_call_abort_us", static_cast<int>(abortMs * 1000));
#ifndef SONVALE_SANITIZED
  // Sanitizers keep freed memory in quarantine, so the bound holds only
  // without them.
  if (peaks) {
    EXPECT_LT(engineKb, 16 * 1024) << "the engine's speaking grew by " << engineKb << " KB";
    EXPECT_LT(oneSentenceKb, 16 * 1024) << "the engine's speaking of one long sentence grew by " << oneSentenceKb
                                        << " KB";
    // The whole call: the text in UTF-16 (13.5 MB here) and one batch of
    // fragments at a time, never the whole list.
    EXPECT_LT(callKb, 16 * 1024) << "sonvale_speak grew by " << callKb << " KB";
  }
#endif
}

// An abort asked for while sonvale_speak is still reading its text (the
// markup of a long text takes a while to parse) must stop the call all the
// same: the call is in progress from the moment it is made. The abort is
// made a little after the call starts and long before a 10 MB text is
// parsed; if it were lost, the text would be spoken until a second abort,
// made after 200 syllables, ends it.
TEST_F(LongTextTest, AbortWhileTheTextIsReadStopsTheCall) {
  const std::string text = longText(10 * 1024 * 1024);
  sonvale_voice* voice = nullptr;
  char error[256];
  ASSERT_EQ(sonvale_open(nullptr, &voice, error, sizeof error), SONVALE_OK) << error;
  struct Counts {
    std::atomic<std::uint64_t> sounding{0};
  } counts;
  const auto countSounds = [](void* user, const std::int16_t* samples, std::size_t count) {
    if (std::any_of(samples, samples + count, [](std::int16_t s) { return s != 0; }))
      ++static_cast<Counts*>(user)->sounding;
    return 0;
  };
  std::atomic<bool> calling{false}, returned{false};
  std::thread aborter([&] {
    while (!calling) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    sonvale_abort(voice);
    while (!returned && counts.sounding < 200) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sonvale_abort(voice);  // ends the call if the first abort was lost
  });
  calling = true;
  const int result = sonvale_speak(voice, text.c_str(), static_cast<std::ptrdiff_t>(text.size()), SONVALE_TEXT_XML,
                                   countSounds, nullptr, &counts);
  returned = true;
  aborter.join();
  sonvale_close(voice);
  EXPECT_EQ(result, SONVALE_OK);
  EXPECT_LE(counts.sounding.load(), 1u) << "the abort made while the text was read was lost";
}

}  // namespace
}  // namespace sonvale
