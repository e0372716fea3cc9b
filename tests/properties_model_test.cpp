// The properties dialog's logic: what it shows when it opens, what OK and
// Cancel leave in memory and in the registry store.
#include "ui/properties_model.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "settings/engine_settings.h"
#include "test_support.h"

namespace sonvale {
namespace {

using ui::DialogControls;
using ui::DialogList;
using ui::DialogValues;

std::vector<std::string> choices(DialogList list) {
  const auto span = ui::listChoices(list);
  return {span.begin(), span.end()};
}

TEST(ListChoices, AreTheFiveOfEachList) {
  EXPECT_EQ(choices(DialogList::PauseShort), (std::vector<std::string>{"3000", "4000", "5000", "6000", "7000"}));
  EXPECT_EQ(choices(DialogList::PauseLong), (std::vector<std::string>{"13000", "14000", "15000", "16000", "17000"}));
  EXPECT_EQ(choices(DialogList::Pitch), (std::vector<std::string>{"-1", "0", "1", "2", "3"}));
}

struct IndexCase {
  const char* name;
  DialogList list;
  std::int32_t value;
  int index;
};

void PrintTo(const IndexCase& c, std::ostream* os) { *os << c.name; }
class ChoiceIndex : public ::testing::TestWithParam<IndexCase> {};

TEST_P(ChoiceIndex, MatchesTheDecimalTextExactly) {
  EXPECT_EQ(ui::choiceIndex(GetParam().list, GetParam().value), GetParam().index);
}

INSTANTIATE_TEST_SUITE_P(Table, ChoiceIndex,
                         ::testing::Values(IndexCase{"Short5000", DialogList::PauseShort, 5000, 2},
                                           IndexCase{"Short3000", DialogList::PauseShort, 3000, 0},
                                           IndexCase{"Short5001", DialogList::PauseShort, 5001, -1},
                                           IndexCase{"ShortZero", DialogList::PauseShort, 0, -1},
                                           IndexCase{"Long15000", DialogList::PauseLong, 15000, 2},
                                           IndexCase{"Long17000", DialogList::PauseLong, 17000, 4},
                                           IndexCase{"LongShortValue", DialogList::PauseLong, 5000, -1},
                                           IndexCase{"PitchMinusOne", DialogList::Pitch, -1, 0},
                                           IndexCase{"PitchThree", DialogList::Pitch, 3, 4},
                                           IndexCase{"PitchFour", DialogList::Pitch, 4, -1}),
                         [](const auto& param) { return std::string(param.param.name); });

struct DecimalCase {
  const char* name;
  const char* text;
  std::int32_t value;
};

void PrintTo(const DecimalCase& c, std::ostream* os) { *os << c.name; }
class DecimalValue : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(DecimalValue, ReadsSignAndDigits) { EXPECT_EQ(ui::decimalValue(GetParam().text), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(Table, DecimalValue,
                         ::testing::Values(DecimalCase{"Plain", "15000", 15000},
                                           DecimalCase{"Negative", "-1", -1},
                                           DecimalCase{"PlusAndBlanks", "  +7", 7},
                                           DecimalCase{"StopsAtOther", "12ab3", 12},
                                           DecimalCase{"NoDigits", "abc", 0},
                                           DecimalCase{"Empty", "", 0},
                                           DecimalCase{"LowestInt", "-2147483648", INT32_MIN},
                                           DecimalCase{"ClampedHigh", "99999999999", INT32_MAX},
                                           DecimalCase{"ClampedLow", "-99999999999", INT32_MIN}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(ReloadedValues, StoredValuesReplaceOnlyWhatWasRead) {
  const DialogValues inMemory{3000, 13000, 2, 1, 1};
  ui::StoredValues stored;
  stored.puncLong = 17000;
  stored.voiceStyle = -1;
  // No defaults here: ReadNumber and the others keep their in-memory values.
  EXPECT_EQ(ui::reloadedValues(inMemory, stored), (DialogValues{3000, 17000, -1, 1, 1}));
  EXPECT_EQ(ui::reloadedValues(inMemory, std::nullopt), inMemory);
}

struct ControlsCase {
  const char* name;
  DialogValues values;
  DialogControls controls;
};

void PrintTo(const ControlsCase& c, std::ostream* os) { *os << c.name; }
class ControlsFor : public ::testing::TestWithParam<ControlsCase> {};

TEST_P(ControlsFor, ShowTheValues) { EXPECT_EQ(ui::controlsFor(GetParam().values), GetParam().controls); }

// Values in field order: puncShort, puncLong, voiceStyle, readPunctuation, readNumber,
// fastSpeech, smoothCuts (1 when not given). Controls: list 213, 214, 223 indexes,
// check 215, radio 216, radio 217, check 224, check 230 (checked when not given).
INSTANTIATE_TEST_SUITE_P(
    Table, ControlsFor,
    ::testing::Values(
        ControlsCase{"Defaults", {5000, 15000, 0, 0, 0}, {2, 2, 1, false, true, false}},
        ControlsCase{"NumbersAndPunctuation", {3000, 17000, -1, 1, 1}, {0, 4, 0, true, false, true}},
        ControlsCase{"ReadNumber2ChecksNeither", {5000, 15000, 0, 0, 2}, {2, 2, 1, false, false, false}},
        // The engine speaks punctuation for 7, but the box shows only 0 and 1.
        ControlsCase{"ReadPunctuation7Unchecked", {5000, 15000, 0, 7, 0}, {2, 2, 1, false, true, false}},
        ControlsCase{"ValuesOffTheLists", {5500, 22000, 9, 0, 0}, {-1, -1, -1, false, true, false}},
        ControlsCase{"SmoothCuts0Unchecked", {5000, 15000, 0, 0, 0, 0, 0}, {2, 2, 1, false, true, false, false, false}},
        // Any value but 0 smooths the cuts, so the box shows it checked.
        ControlsCase{"SmoothCuts7Checked", {5000, 15000, 0, 0, 0, 0, 7}, {2, 2, 1, false, true, false, false, true}}),
    [](const auto& param) { return std::string(param.param.name); });

struct OkCase {
  const char* name;
  DialogControls controls;
  DialogValues before;
  DialogValues after;
};

void PrintTo(const OkCase& c, std::ostream* os) { *os << c.name; }
class ValuesOnOk : public ::testing::TestWithParam<OkCase> {};

TEST_P(ValuesOnOk, StoreTheChoices) {
  EXPECT_EQ(ui::valuesOnOk(GetParam().controls, GetParam().before), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValuesOnOk,
    ::testing::Values(
        OkCase{"Selections", {4, 0, 0, true, false, true}, {5000, 15000, 0, 0, 0}, {7000, 13000, -1, 1, 1}},
        OkCase{"NothingSelectedKeepsTheLists",
               {-1, -1, -1, false, true, false},
               {5500, 22000, 9, 0, 1},
               {5500, 22000, 9, 0, 0}},
        OkCase{"NeitherRadioKeepsReadNumber",
               {2, 2, 1, false, false, false},
               {5000, 15000, 0, 0, 2},
               {5000, 15000, 0, 0, 2}},
        OkCase{"UncheckedBoxStoresZero", {2, 2, 1, false, true, false}, {5000, 15000, 0, 7, 0}, {5000, 15000, 0, 0, 0}},
        OkCase{"SmoothCutsBoxStoresOneOrZero",
               {2, 2, 1, false, true, false, false, false},
               {5000, 15000, 0, 0, 0, 0, 7},
               {5000, 15000, 0, 0, 0, 0, 0}}),
    [](const auto& param) { return std::string(param.param.name); });

// The dialog's start, OK and Cancel against the registry store.
class PropertiesDialogTest : public testing::EngineTest {
 protected:
  static std::optional<DWORD> stored(const char16_t* name) {
    platform::RegKey key;
    if (platform::regOpenKey(platform::RegRoot::LocalMachine, settings::kEnginePropertiesKey, key) != ERROR_SUCCESS)
      return std::nullopt;
    DWORD value = 0;
    if (platform::regQueryDword(key, name, value) != ERROR_SUCCESS) return std::nullopt;
    return value;
  }

  std::string storeText() const {
    std::ifstream in(dir_.file("registry.reg"), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  void damageStore() const { std::ofstream(dir_.file("registry.reg"), std::ios::binary) << "not a registry file\n"; }
};

TEST_F(PropertiesDialogTest, DefaultsOpenOn5000And15000) {
  settings::loadSettings();  // an empty key: PuncShort 5000, PuncLong 15000
  const DialogControls controls = ui::startPropertiesDialog();
  EXPECT_EQ(ui::listChoices(DialogList::PauseShort)[static_cast<std::size_t>(controls.pauseShortIndex)],
            std::string("5000"));
  EXPECT_EQ(ui::listChoices(DialogList::PauseLong)[static_cast<std::size_t>(controls.pauseLongIndex)],
            std::string("15000"));
  EXPECT_EQ(controls.pitchIndex, 1);  // "0"
  EXPECT_TRUE(controls.digitRead);
}

TEST_F(PropertiesDialogTest, StartReloadsWithoutDefaults) {
  storeSettings({{u"PuncShort", 7000}, {u"VoiceStyle", 3}, {u"SmoothCuts", 0}});
  settings::engineSettings().readNumber.store(1);
  settings::engineSettings().puncLong.store(16000);
  const DialogControls controls = ui::startPropertiesDialog();
  // Read values replace the in-memory ones; missing values leave them alone.
  EXPECT_EQ(ui::currentDialogValues(), (DialogValues{7000, 16000, 3, 0, 1, 0, 0}));
  EXPECT_EQ(controls, (DialogControls{4, 3, 4, false, false, true, false, false}));
}

TEST_F(PropertiesDialogTest, ReadNumber2ChecksNeitherRadioAndSurvivesOk) {
  storeSettings({{u"ReadNumber", 2}});
  const DialogControls controls = ui::startPropertiesDialog();
  EXPECT_FALSE(controls.digitRead);
  EXPECT_FALSE(controls.numberRead);
  EXPECT_EQ(ui::okPropertiesDialog(controls), ERROR_SUCCESS);
  EXPECT_EQ(settings::engineSettings().readNumber.load(), 2);
  EXPECT_EQ(stored(u"ReadNumber"), 2u);
}

TEST_F(PropertiesDialogTest, VoiceStyleMinusOneIsStoredAs0xFFFFFFFF) {
  DialogControls controls = ui::startPropertiesDialog();
  controls.pitchIndex = ui::choiceIndex(DialogList::Pitch, -1);
  EXPECT_EQ(ui::okPropertiesDialog(controls), ERROR_SUCCESS);
  EXPECT_EQ(settings::engineSettings().voiceStyle.load(), -1);
  EXPECT_EQ(stored(u"VoiceStyle"), 0xFFFFFFFFu);
}

TEST_F(PropertiesDialogTest, OkWritesEveryDwordInOrder) {
  DialogControls controls = ui::startPropertiesDialog();
  controls.pauseShortIndex = 0;  // 3000
  controls.pauseLongIndex = 4;   // 17000
  controls.readPunctuation = true;
  controls.digitRead = false;
  controls.numberRead = true;
  controls.fastSpeech = true;
  ASSERT_EQ(ui::okPropertiesDialog(controls), ERROR_SUCCESS);
  EXPECT_EQ(ui::currentDialogValues(), (DialogValues{3000, 17000, 0, 1, 1, 1}));

  platform::RegKey key;
  ASSERT_EQ(platform::regOpenKey(platform::RegRoot::LocalMachine, settings::kEnginePropertiesKey, key), ERROR_SUCCESS);
  std::vector<std::u16string> names;
  ASSERT_EQ(platform::regEnumValues(key, names), ERROR_SUCCESS);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"PuncLong", u"PuncShort", u"VoiceStyle", u"ReadPunctuation",
                                                u"ReadNumber", u"FastSpeech", u"SmoothCuts"}));
  for (const auto& name : names) {
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(platform::regQueryValue(key, name, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, platform::kRegDword);
    EXPECT_EQ(size, 4u);
  }
  EXPECT_EQ(stored(u"PuncLong"), 17000u);
  EXPECT_EQ(stored(u"PuncShort"), 3000u);
  EXPECT_EQ(stored(u"ReadPunctuation"), 1u);
  EXPECT_EQ(stored(u"ReadNumber"), 1u);
  EXPECT_EQ(stored(u"FastSpeech"), 1u);
  EXPECT_EQ(stored(u"SmoothCuts"), 1u);
}

TEST_F(PropertiesDialogTest, CancelKeepsTheReloadedValues) {
  storeSettings({{u"PuncShort", 4000}, {u"PuncLong", 14000}, {u"ReadPunctuation", 1}});
  settings::engineSettings().puncShort.store(6000);
  const std::string before = storeText();
  ui::startPropertiesDialog();
  // Cancel: the dialog ends without storing anything.
  EXPECT_EQ(settings::engineSettings().puncShort.load(), 4000);
  EXPECT_EQ(settings::engineSettings().puncLong.load(), 14000);
  EXPECT_EQ(settings::engineSettings().readPunctuation.load(), 1);
  EXPECT_EQ(storeText(), before);
}

TEST_F(PropertiesDialogTest, UnreadableStoreAtStartShowsTheInMemoryValues) {
  damageStore();
  settings::engineSettings().puncShort.store(3000);
  settings::engineSettings().readNumber.store(1);
  const DialogControls controls = ui::startPropertiesDialog();
  EXPECT_EQ(controls.pauseShortIndex, 0);
  EXPECT_TRUE(controls.numberRead);
  EXPECT_EQ(settings::engineSettings().puncShort.load(), 3000);
}

TEST_F(PropertiesDialogTest, UnwritableStoreKeepsTheNewValuesInMemoryOnly) {
  DialogControls controls = ui::startPropertiesDialog();
  damageStore();
  const std::string damaged = storeText();
  controls.pauseShortIndex = 3;  // 6000
  controls.numberRead = true;
  controls.digitRead = false;
  EXPECT_EQ(ui::okPropertiesDialog(controls), ERROR_BADDB);
  EXPECT_EQ(settings::engineSettings().puncShort.load(), 6000);
  EXPECT_EQ(settings::engineSettings().readNumber.load(), 1);
  EXPECT_EQ(storeText(), damaged);  // the damaged store is never overwritten
}

}  // namespace
}  // namespace sonvale
