#include "settings/engine_settings.h"

#include <gtest/gtest.h>

#include <fstream>

#include "test_support.h"

namespace sonvale {
namespace {

struct Values {
  std::int32_t puncLong, puncShort, readPunctuation, readNumber, waveOutStyle, rtfOutStyle, voiceStyle, smoothCuts;
  friend bool operator==(const Values&, const Values&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Values& v) {
    return os << v.puncLong << "," << v.puncShort << "," << v.readPunctuation << "," << v.readNumber << ","
              << v.waveOutStyle << "," << v.rtfOutStyle << "," << v.voiceStyle << "," << v.smoothCuts;
  }
};

Values current() {
  const settings::EngineSettings& s = settings::engineSettings();
  return {s.puncLong,     s.puncShort,   s.readPunctuation, s.readNumber,
          s.waveOutStyle, s.rtfOutStyle, s.voiceStyle,      s.smoothCuts};
}

class SettingsTest : public testing::EngineTest {};

TEST_F(SettingsTest, StartValuesBeforeAnyLoad) { EXPECT_EQ(current(), (Values{15000, 5000, 0, 0, 0, 0, 0, 1})); }

TEST_F(SettingsTest, EmptyKeyGivesDefaults) {
  settings::loadSettings();
  // Both diagnostic dumps are on by default; everything else as at the start.
  EXPECT_EQ(current(), (Values{15000, 5000, 0, 0, 1, 1, 0, 1}));
  EXPECT_EQ(settings::engineSettings().unitCacheKB.load(), 4096);
}

TEST_F(SettingsTest, StoredValuesAreReadAsSigned32Bit) {
  storeSettings({{u"PuncLong", 22000},
                 {u"PuncShort", 0},
                 {u"ReadPunctuation", 7},
                 {u"ReadNumber", 1},
                 {u"WaveOutStyle", 4},
                 {u"RTFOutStyle", 0},
                 {u"VoiceStyle", 0xFFFFFFFFu},
                 {u"SmoothCuts", 0}});
  settings::loadSettings();
  EXPECT_EQ(current(), (Values{22000, 0, 7, 1, 4, 0, -1, 0}));
}

TEST_F(SettingsTest, ValueNamesIgnoreLetterCase) {
  storeSettings({{u"punclong", 100}});
  settings::loadSettings();
  EXPECT_EQ(settings::engineSettings().puncLong.load(), 100);
}

TEST_F(SettingsTest, ValuesOfOtherSizesTakeTheirDefaults) {
  platform::RegKey key;
  ASSERT_EQ(platform::regCreateKey(platform::RegRoot::LocalMachine, settings::kEnginePropertiesKey, key),
            ERROR_SUCCESS);
  const BYTE eight[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  const BYTE two[2] = {9, 0};
  const BYTE four[4] = {0x10, 0x27, 0, 0};  // 10000, stored as binary: the type is not looked at
  ASSERT_EQ(platform::regSetValue(key, u"PuncLong", platform::kRegQword, eight, 8), ERROR_SUCCESS);
  ASSERT_EQ(platform::regSetValue(key, u"PuncShort", platform::kRegBinary, two, 2), ERROR_SUCCESS);
  ASSERT_EQ(platform::regSetValue(key, u"VoiceStyle", platform::kRegBinary, four, 4), ERROR_SUCCESS);
  ASSERT_EQ(platform::regSetString(key, u"ReadNumber", u"1"), ERROR_SUCCESS);  // 4 bytes of text: "1" and NUL
  settings::loadSettings();
  EXPECT_EQ(current(), (Values{15000, 5000, 0, 0x31, 1, 1, 10000, 1}));
}

TEST_F(SettingsTest, UnopenableKeyLeavesSettingsAlone) {
  storeSettings({{u"PuncLong", 123}, {u"ReadNumber", 1}});
  settings::loadSettings();
  // Damage the store: the key can no longer be opened, and nothing changes.
  std::ofstream(dir_.file("registry.reg"), std::ios::trunc) << "not a registry file\n";
  settings::engineSettings().puncShort = 77;
  settings::loadSettings();
  EXPECT_EQ(current(), (Values{123, 77, 0, 1, 1, 1, 0, 1}));
}

TEST_F(SettingsTest, SettingsTableOrder) {
  std::vector<std::u16string> names;
  for (const auto& def : settings::settingDefs()) names.emplace_back(def.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"PuncLong", u"PuncShort", u"ReadPunctuation", u"ReadNumber",
                                                u"WaveOutStyle", u"RTFOutStyle", u"VoiceStyle", u"FastSpeech",
                                                u"SmoothCuts", u"UnitCacheKB"}));
}

}  // namespace
}  // namespace sonvale
