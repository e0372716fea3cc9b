// The C interface: opening voices, speaking into callbacks, aborting.
#include "sonvale/sonvale.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/com_activation.h"
#include "host/voice_tokens.h"
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

  // From another thread, while speaking: the call ends long before the text does.
  Collected d;
  std::atomic<bool> started{false};
  d.onAudio = [&] { started = true; };
  std::thread stopper([&] {
    while (!started) std::this_thread::yield();
    sonvale_abort(voice);
  });
  EXPECT_EQ(sonvale_speak(voice, text.c_str(), -1, SONVALE_TEXT_PLAIN, collectAudio, nullptr, &d), SONVALE_OK);
  stopper.join();
  EXPECT_LT(d.samples.size(), 100000u * 2205u);

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
