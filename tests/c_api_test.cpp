// The C interface: opening voices, speaking into callbacks, aborting.
#include "sonvale/sonvale.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/engine.h"
#include "host/com_activation.h"
#include "host/output_site.h"
#include "host/sapi_xml.h"
#include "host/voice_tokens.h"
#include "platform/utf.h"
#include "voice_fixture.h"

namespace sonvale {
namespace {

using testing::unitOf;

struct Collected {
  std::vector<std::int16_t> samples;
  std::vector<sonvale_event> events;
  std::vector<std::string> names;
  std::function<void()> onAudio;
};

int collectAudio(void* user, const std::int16_t* samples, std::size_t count) {
  auto* c = static_cast<Collected*>(user);
  c->samples.insert(c->samples.end(), samples, samples + count);
  if (c->onAudio) c->onAudio();
  return 0;
}

void collectEvent(void* user, const sonvale_event* e) {
  auto* c = static_cast<Collected*>(user);
  c->events.push_back(*e);
  c->names.push_back(e->name != nullptr ? e->name : "");
}

class CApiTest : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    std::map<std::uint32_t, voice::CodedUnit> coded;
    testing::writeVoice(dir_.path(), {{unitOf(u'你'), testing::sine(300, 0.2)}, {unitOf(u'好'), testing::sine(350, 0.25)}},
                        {}, coded);
    ASSERT_EQ(host::installVoice(host::kDefaultVoiceName, "", dir_.path()), "");
    host::InprocServer module;
    std::string error;
    ASSERT_EQ(module.loadFile(SONVALE_MODULE_PATH, error), S_OK) << error;
    ASSERT_EQ(module.registerServer(), S_OK);
  }
};

TEST_F(CApiTest, EventsStandAtTheAudioDelivered) {
  sonvale_voice* voice = nullptr;
  char error[256] = "x";
  ASSERT_EQ(sonvale_open(nullptr, &voice, error, sizeof error), SONVALE_OK) << error;
  EXPECT_STREQ(error, "");
  EXPECT_EQ(sonvale_sample_rate(voice), 11025);
  Collected c;
  // UTF-8 positions: "a" 1 byte, "你" 3 bytes; character positions count each as one.
  ASSERT_EQ(sonvale_speak(voice, "a 你好 <x", -1, SONVALE_TEXT_AUTO, collectAudio, collectEvent, &c), SONVALE_OK);
  ASSERT_GE(c.events.size(), 4u);
  EXPECT_EQ(c.events[0].kind, SONVALE_EVENT_SENTENCE);
  const sonvale_event& ni = c.events[2];
  EXPECT_EQ(ni.kind, SONVALE_EVENT_WORD);
  EXPECT_EQ(ni.text_pos, 2u);
  EXPECT_EQ(ni.utf8_pos, 2u);
  EXPECT_EQ(c.events[3].text_pos, 3u);
  EXPECT_EQ(c.events[3].utf8_pos, 5u);
  EXPECT_EQ(c.events[3].utf8_len, 3u);
  for (const auto& e : c.events) EXPECT_LE(e.audio_offset, 2 * c.samples.size());
  sonvale_close(voice);
}

// A long marked-up text is parsed and spoken a few hundred fragments at a
// time. The audio must be what the engine makes of the whole list, and every
// event must stand where it did: bookmarks at their tags, positions counted in
// the whole text (past a supplementary character, which is one character of
// four UTF-8 bytes), audio offsets in the audio of the whole text.
TEST_F(CApiTest, LongMarkupSpokenInBatchesIsSpokenAsAWhole) {
  std::string text;
  std::vector<std::uint32_t> tagBytes, tagChars;
  std::uint32_t chars = 0;
  for (int k = 0; k < 1500; ++k) {
    const std::string tag = "<bookmark mark=\"" + std::to_string(k) + "\"/>";
    tagBytes.push_back(static_cast<std::uint32_t>(text.size()));
    tagChars.push_back(chars);
    // The space lets a batch end after the text: text that only bookmarks
    // separate is spoken as one.
    text += tag + (k % 7 == 0 ? "\U0001F600你好 " : "你好 ");
    chars += static_cast<std::uint32_t>(tag.size()) + (k % 7 == 0 ? 4 : 3);
  }

  sonvale_voice* voice = nullptr;
  char error[256];
  ASSERT_EQ(sonvale_open(nullptr, &voice, error, sizeof error), SONVALE_OK) << error;
  Collected c;
  ASSERT_EQ(sonvale_speak(voice, text.c_str(), -1, SONVALE_TEXT_XML, collectAudio, collectEvent, &c), SONVALE_OK);
  sonvale_close(voice);

  Engine engine;
  ASSERT_EQ(testing::loadVoice(engine, dir_.path()), S_OK);
  host::OutputSite whole;
  const host::FragmentList list = host::parseSpeakText(platform::utf8ToUtf16(text), true);
  ASSERT_GT(list.size(), 2000u);
  ASSERT_EQ(engine.speak(0, list.head(), &whole), S_OK);
  ASSERT_EQ(2 * c.samples.size(), whole.audio().size());
  EXPECT_EQ(std::memcmp(c.samples.data(), whole.audio().data(), whole.audio().size()), 0);

  std::size_t marks = 0, words = 0;
  std::uint64_t lastOffset = 0;
  for (std::size_t i = 0; i < c.events.size(); ++i) {
    const sonvale_event& e = c.events[i];
    EXPECT_GE(e.audio_offset, lastOffset) << "event " << i;
    lastOffset = e.audio_offset;
    if (e.kind == SONVALE_EVENT_BOOKMARK) {
      ASSERT_LT(marks, tagBytes.size());
      EXPECT_EQ(c.names[i], std::to_string(marks));
      EXPECT_EQ(e.utf8_pos, tagBytes[marks]);
      EXPECT_EQ(e.text_pos, tagChars[marks]);
      ++marks;
    } else if (e.kind == SONVALE_EVENT_WORD) {
      ++words;
    }
  }
  EXPECT_EQ(marks, 1500u);
  EXPECT_GE(words, 3000u);  // 你 and 好 of every piece, at least
  // Each batch is one engine call, which begins with a sentence boundary;
  // every other event is the whole list's, at the same audio offset.
  std::vector<std::uint64_t> wholeOffsets, batchOffsets;
  std::size_t wholeSentences = 0, batchSentences = 0;
  for (const host::RecordedEvent& e : whole.events()) {
    if (e.id == SPEI_SENTENCE_BOUNDARY) {
      ++wholeSentences;
    } else {
      wholeOffsets.push_back(e.audioOffset);
    }
  }
  for (const sonvale_event& e : c.events) {
    if (e.kind == SONVALE_EVENT_SENTENCE) {
      ++batchSentences;
    } else {
      batchOffsets.push_back(e.audio_offset);
    }
  }
  EXPECT_EQ(batchOffsets, wholeOffsets);
  EXPECT_GT(batchSentences, wholeSentences);
  EXPECT_LE(batchSentences - wholeSentences, 3000u / 512u);  // 3000 fragments, at least 512 a call
}

// A bookmark between every two characters, as a screen reader following the
// reading position sends them: the audio is that of the text without them,
// and every bookmark stands where the next word's audio begins.
TEST_F(CApiTest, BookmarksBetweenWordsAddNoSound) {
  sonvale_voice* voice = nullptr;
  char error[256];
  ASSERT_EQ(sonvale_open(nullptr, &voice, error, sizeof error), SONVALE_OK) << error;
  const std::string words[] = {"你好", "你", "好", "，", "你好", "。", "好"};
  std::string plain, marked;
  for (std::size_t k = 0; k < std::size(words); ++k) {
    if (k > 0) marked += "<bookmark mark=\"" + std::to_string(k) + "\"/>";
    plain += words[k];
    marked += words[k];
  }
  Collected p, m;
  ASSERT_EQ(sonvale_speak(voice, plain.c_str(), -1, SONVALE_TEXT_PLAIN, collectAudio, collectEvent, &p), SONVALE_OK);
  ASSERT_EQ(sonvale_speak(voice, marked.c_str(), -1, SONVALE_TEXT_XML, collectAudio, collectEvent, &m), SONVALE_OK);
  sonvale_close(voice);
  EXPECT_TRUE(m.samples == p.samples) << m.samples.size() << " samples against " << p.samples.size();

  std::vector<std::uint64_t> plainWords, markedWords;
  for (const sonvale_event& e : p.events)
    if (e.kind == SONVALE_EVENT_WORD) plainWords.push_back(e.audio_offset);
  int marks = 0;
  for (std::size_t i = 0; i < m.events.size(); ++i) {
    const sonvale_event& e = m.events[i];
    if (e.kind == SONVALE_EVENT_WORD) markedWords.push_back(e.audio_offset);
    if (e.kind != SONVALE_EVENT_BOOKMARK) continue;
    ++marks;
    EXPECT_EQ(e.value, marks);
    ASSERT_LT(i + 1, m.events.size());
    EXPECT_EQ(m.events[i + 1].kind, SONVALE_EVENT_WORD) << "bookmark " << marks;
    EXPECT_EQ(e.audio_offset, m.events[i + 1].audio_offset) << "bookmark " << marks;
    EXPECT_EQ(e.utf8_pos, marked.find("<bookmark mark=\"" + std::to_string(marks) + "\"/>")) << "bookmark " << marks;
  }
  EXPECT_EQ(marks, static_cast<int>(std::size(words)) - 1);
  EXPECT_EQ(markedWords, plainWords);
}

// Positions are counted from marks kept every few hundred code units; a
// surrogate pair may fall on either side of a mark or straddle one. After n
// spaces, U+1F600 (two code units, one character, four UTF-8 bytes) and a
// space, 你 is character n + 2 at UTF-8 byte n + 5.
TEST_F(CApiTest, PositionsPastASupplementaryCharacterAnywhere) {
  sonvale_voice* voice = nullptr;
  char error[256];
  ASSERT_EQ(sonvale_open(nullptr, &voice, error, sizeof error), SONVALE_OK) << error;
  for (const std::size_t n : {0u, 1u, 254u, 255u, 256u, 257u, 511u, 512u, 1000u}) {
    const std::string text = std::string(n, ' ') + "\U0001F600 你好";
    Collected c;
    ASSERT_EQ(sonvale_speak(voice, text.c_str(), -1, SONVALE_TEXT_PLAIN, collectAudio, collectEvent, &c), SONVALE_OK);
    const auto ni = std::find_if(c.events.begin(), c.events.end(),
                                 [](const sonvale_event& e) { return e.kind == SONVALE_EVENT_WORD && e.utf8_len == 3; });
    ASSERT_NE(ni, c.events.end()) << n;
    EXPECT_EQ(ni->text_pos, n + 2) << n;
    EXPECT_EQ(ni->utf8_pos, n + 5) << n;
    EXPECT_EQ(ni->text_len, 1u) << n;
  }
  sonvale_close(voice);
}

TEST_F(CApiTest, AbortStopsWithinASyllable) {
  sonvale_voice* voice = nullptr;
  ASSERT_EQ(sonvale_open("", &voice, nullptr, 0), SONVALE_OK);
  std::string text;
  for (int i = 0; i < 50000; ++i) text += "你好";
  // Abort as the first syllable's samples arrive: nothing after that syllable
  // reaches the callback.
  Collected c;
  std::size_t atAbort = 0;
  c.onAudio = [&] {
    if (atAbort == 0) {
      atAbort = c.samples.size();
      sonvale_abort(voice);
    }
  };
  EXPECT_EQ(sonvale_speak(voice, text.c_str(), -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &c), SONVALE_OK);
  EXPECT_GT(atAbort, 0u);
  EXPECT_EQ(c.samples.size(), atAbort);

  // From another thread, while speaking: the first audio waits until the
  // abort is made, and at most the two syllables 你好 follow it.
  Collected pair;
  ASSERT_EQ(sonvale_speak(voice, "你好", -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &pair), SONVALE_OK);
  Collected d;
  std::atomic<bool> started{false}, aborted{false};
  std::size_t beforeAbort = 0;
  d.onAudio = [&] {
    if (started.exchange(true)) return;
    beforeAbort = d.samples.size();
    while (!aborted) std::this_thread::yield();
  };
  std::thread stopper([&] {
    while (!started) std::this_thread::yield();
    sonvale_abort(voice);
    aborted = true;
  });
  EXPECT_EQ(sonvale_speak(voice, text.c_str(), -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &d), SONVALE_OK);
  stopper.join();
  EXPECT_GT(beforeAbort, 0u);
  EXPECT_LE(d.samples.size() - beforeAbort, pair.samples.size())
      << "samples after the abort; 你好 has " << pair.samples.size();

  // The next call starts afresh.
  Collected again;
  EXPECT_EQ(sonvale_speak(voice, "你", -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &again), SONVALE_OK);
  EXPECT_GT(again.samples.size(), 2000u);
  sonvale_close(voice);
}

TEST_F(CApiTest, RefusedAudioStopsSpeaking) {
  sonvale_voice* voice = nullptr;
  ASSERT_EQ(sonvale_open(nullptr, &voice, nullptr, 0), SONVALE_OK);
  int calls = 0;
  const auto refuse = [](void* user, const std::int16_t*, std::size_t) {
    ++*static_cast<int*>(user);
    return 1;
  };
  EXPECT_EQ(sonvale_speak(voice, "你好你好你好", -1, SONVALE_TEXT_PLAIN, refuse, nullptr, &calls), SONVALE_ERROR_OUTPUT);
  EXPECT_EQ(calls, 1);
  EXPECT_NE(std::string(sonvale_last_error(voice)).find("refused"), std::string::npos);
  sonvale_close(voice);
}

TEST_F(CApiTest, BadArgumentsAndMissingVoices) {
  sonvale_voice* voice = reinterpret_cast<sonvale_voice*>(1);
  char error[256];
  EXPECT_EQ(sonvale_open("nobody", &voice, error, sizeof error), SONVALE_ERROR_NO_VOICE);
  EXPECT_EQ(voice, nullptr);
  EXPECT_NE(std::string(error).find("nobody"), std::string::npos);
  EXPECT_EQ(sonvale_open(nullptr, nullptr, nullptr, 0), SONVALE_ERROR_ARGUMENT);
  ASSERT_EQ(sonvale_open(nullptr, &voice, nullptr, 0), SONVALE_OK);
  EXPECT_EQ(sonvale_speak(voice, nullptr, 0, SONVALE_TEXT_PLAIN, nullptr, nullptr, nullptr), SONVALE_ERROR_ARGUMENT);
  EXPECT_EQ(sonvale_speak(voice, "x", 1, 7, nullptr, nullptr, nullptr), SONVALE_ERROR_ARGUMENT);
  EXPECT_EQ(sonvale_set_rate(voice, 11), SONVALE_ERROR_ARGUMENT);
  EXPECT_EQ(sonvale_set_volume(voice, 101), SONVALE_ERROR_ARGUMENT);
  EXPECT_EQ(sonvale_set_rate(voice, -10), SONVALE_OK);
  EXPECT_EQ(sonvale_speak(voice, "", 0, SONVALE_TEXT_PLAIN, nullptr, nullptr, nullptr), SONVALE_OK);
  sonvale_close(voice);
  sonvale_close(nullptr);
  sonvale_abort(nullptr);

  // Damaged: the unit audio file is gone.
  std::filesystem::remove(dir_.path() + "/voice.dat");
  EXPECT_EQ(sonvale_open(nullptr, &voice, error, sizeof error), SONVALE_ERROR_VOICE);
  EXPECT_NE(std::string(error).find("voice.dat"), std::string::npos) << error;
}

TEST_F(CApiTest, SlowerRateGivesLongerAudio) {
  sonvale_voice* voice = nullptr;
  ASSERT_EQ(sonvale_open(nullptr, &voice, nullptr, 0), SONVALE_OK);
  Collected normal, slow;
  ASSERT_EQ(sonvale_speak(voice, "你好", -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &normal), SONVALE_OK);
  sonvale_set_rate(voice, -10);
  ASSERT_EQ(sonvale_speak(voice, "你好", -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &slow), SONVALE_OK);
  sonvale_set_rate(voice, 10);
  Collected fast;
  ASSERT_EQ(sonvale_speak(voice, "你好", -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &fast), SONVALE_OK);
  // ScaleOut 1.7 and 0.7 against 1.2 lengthen and shorten the syllables (the
  // closing 5000 samples stay); the second trim takes the silent tail that
  // stretching leaves, so the ratios come out below 1.7 / 1.2 and above 0.7 / 1.2.
  const double normalSamples = static_cast<double>(normal.samples.size()) - 5000;
  EXPECT_GT((static_cast<double>(slow.samples.size()) - 5000) / normalSamples, 1.05);
  EXPECT_LT((static_cast<double>(fast.samples.size()) - 5000) / normalSamples, 0.8);
  sonvale_close(voice);
}

}  // namespace
}  // namespace sonvale

namespace sonvale {
namespace {

TEST_F(CApiTest, ProcessSettingsReachTheEngine) {
  sonvale_voice* voice = nullptr;
  ASSERT_EQ(sonvale_open(nullptr, &voice, nullptr, 0), SONVALE_OK);
  Collected plain, longer;
  ASSERT_EQ(sonvale_speak(voice, "你，", -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &plain), SONVALE_OK);
  // PuncShort 9000 bytes instead of 5000: the comma's pause grows by 2000 samples.
  EXPECT_EQ(sonvale_set_setting(voice, "puncshort", 9000), SONVALE_OK);
  ASSERT_EQ(sonvale_speak(voice, "你，", -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &longer), SONVALE_OK);
  EXPECT_EQ(longer.samples.size(), plain.samples.size() + 2000);
  EXPECT_EQ(sonvale_set_setting(voice, "NoSuchSetting", 1), SONVALE_ERROR_ARGUMENT);
  EXPECT_EQ(sonvale_set_setting(voice, nullptr, 1), SONVALE_ERROR_ARGUMENT);
  sonvale_close(voice);
}

}  // namespace
}  // namespace sonvale

namespace sonvale {
namespace {

// The unit cache hands back what decoding and time scaling would make: a long
// text spoken with it (while it fills, from it, and through a cache so small
// that it evicts all the time) is the text spoken without it, at every rate
// scale, rate and volume, in whatever order they come.
TEST_F(CApiTest, UnitCacheNeverChangesTheAudio) {
  sonvale_voice* voice = nullptr;
  ASSERT_EQ(sonvale_open(nullptr, &voice, nullptr, 0), SONVALE_OK);
  std::string text;
  for (int i = 0; i < 40; ++i) text += i % 3 == 0 ? "你好，好你。" : "你你好好 ";
  struct Case {
    int fast, rate, volume;
    std::vector<std::int16_t> reference;
  };
  std::vector<Case> cases;
  for (const int fast : {0, 1})
    for (const int rate : {-10, -3, 0, 7, 10})
      for (const int volume : {100, 30}) cases.push_back({fast, rate, volume, {}});
  const auto speak = [&](const Case& c) {
    EXPECT_EQ(sonvale_set_setting(voice, "FastSpeech", c.fast), SONVALE_OK);
    sonvale_set_rate(voice, c.rate);
    sonvale_set_volume(voice, c.volume);
    Collected audio;
    EXPECT_EQ(sonvale_speak(voice, text.c_str(), -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &audio), SONVALE_OK);
    return audio.samples;
  };
  ASSERT_EQ(sonvale_set_setting(voice, "UnitCacheKB", 0), SONVALE_OK);
  for (Case& c : cases) {
    c.reference = speak(c);
    ASSERT_GT(c.reference.size(), 50000u);
  }
  for (const int cacheKB : {4096, 4096, 1}) {
    ASSERT_EQ(sonvale_set_setting(voice, "UnitCacheKB", cacheKB), SONVALE_OK);
    for (const Case& c : cases)
      EXPECT_TRUE(speak(c) == c.reference) << "fast " << c.fast << " rate " << c.rate << " volume " << c.volume
                                           << " cache " << cacheKB << " KB";
  }
  sonvale_close(voice);
}

// The shared C library (-lsonvale) exports the C interface and nothing of
// the engine inside it, and speaks what the interface linked in speaks.
TEST_F(CApiTest, SharedLibraryExportsOnlyTheCInterface) {
  void* library = dlopen(SONVALE_C_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_EQ(dlsym(library, "DllGetClassObject"), nullptr);
  EXPECT_EQ(dlsym(library, "CoTaskMemAlloc"), nullptr);
  const auto open = reinterpret_cast<decltype(&sonvale_open)>(dlsym(library, "sonvale_open"));
  const auto speak = reinterpret_cast<decltype(&sonvale_speak)>(dlsym(library, "sonvale_speak"));
  const auto close = reinterpret_cast<decltype(&sonvale_close)>(dlsym(library, "sonvale_close"));
  ASSERT_TRUE(open != nullptr && speak != nullptr && close != nullptr);

  Collected shared, linked;
  sonvale_voice* voice = nullptr;
  char error[256] = "";
  ASSERT_EQ(open(nullptr, &voice, error, sizeof error), SONVALE_OK) << error;
  EXPECT_EQ(speak(voice, "你好", -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &shared), SONVALE_OK);
  close(voice);
  ASSERT_EQ(sonvale_open(nullptr, &voice, error, sizeof error), SONVALE_OK) << error;
  EXPECT_EQ(sonvale_speak(voice, "你好", -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &linked), SONVALE_OK);
  sonvale_close(voice);
  EXPECT_GT(shared.samples.size(), 2000u);
  EXPECT_TRUE(shared.samples == linked.samples);
  dlclose(library);
}

}  // namespace
}  // namespace sonvale
