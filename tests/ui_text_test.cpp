// The UI language: from LCIDs, from locale names and variables, the language
// an engine object picks, and every text of the three languages.
#include "ui/ui_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "test_support.h"
#include "ui/ui.h"

namespace sonvale {
namespace {

using ui::UiLanguage;

struct LcidCase {
  const char* name;
  std::uint32_t lcid;
  UiLanguage language;
};

void PrintTo(const LcidCase& c, std::ostream* os) { *os << c.name; }
class LcidLanguage : public ::testing::TestWithParam<LcidCase> {};

TEST_P(LcidLanguage, FollowsTheTable) { EXPECT_EQ(ui::uiLanguageFromLcid(GetParam().lcid), GetParam().language); }

INSTANTIATE_TEST_SUITE_P(Table, LcidLanguage,
                         ::testing::Values(LcidCase{"Prc", 0x0804, UiLanguage::SimplifiedChinese},
                                           LcidCase{"Taiwan", 0x0404, UiLanguage::TraditionalChinese},
                                           LcidCase{"HongKong", 0x0C04, UiLanguage::TraditionalChinese},
                                           LcidCase{"Singapore", 0x1004, UiLanguage::TraditionalChinese},
                                           LcidCase{"Macau", 0x1404, UiLanguage::English},
                                           LcidCase{"EnglishUs", 0x0409, UiLanguage::English},
                                           LcidCase{"Japanese", 0x0411, UiLanguage::English},
                                           LcidCase{"Zero", 0, UiLanguage::English}),
                         [](const auto& param) { return std::string(param.param.name); });

struct LocaleCase {
  const char* name;
  const char* locale;
  std::uint32_t lcid;
};

void PrintTo(const LocaleCase& c, std::ostream* os) { *os << c.name; }
class LocaleLcid : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(LocaleLcid, FollowsTheTerritory) { EXPECT_EQ(ui::lcidFromLocaleName(GetParam().locale), GetParam().lcid); }

INSTANTIATE_TEST_SUITE_P(Table, LocaleLcid,
                         ::testing::Values(LocaleCase{"ChinaUtf8", "zh_CN.UTF-8", 0x0804},
                                           LocaleCase{"China", "zh_CN", 0x0804},
                                           LocaleCase{"ChinaWithModifier", "zh_CN@stroke", 0x0804},
                                           LocaleCase{"ChinaLowerCaseTerritory", "zh_cn.utf8", 0x0804},
                                           LocaleCase{"Taiwan", "zh_TW.UTF-8", 0x0404},
                                           LocaleCase{"HongKong", "zh_HK.Big5-HKSCS", 0x0C04},
                                           LocaleCase{"Singapore", "zh_SG.GBK", 0x1004},
                                           LocaleCase{"Macau", "zh_MO.UTF-8", 0x0409},
                                           LocaleCase{"LanguageOnly", "zh", 0x0409},
                                           LocaleCase{"Cantonese", "yue_HK", 0x0409},
                                           LocaleCase{"English", "en_US.UTF-8", 0x0409},
                                           LocaleCase{"C", "C", 0x0409},
                                           LocaleCase{"CUtf8", "C.UTF-8", 0x0409},
                                           LocaleCase{"Posix", "POSIX", 0x0409},
                                           LocaleCase{"Empty", "", 0x0409}),
                         [](const auto& param) { return std::string(param.param.name); });

struct VariablesCase {
  const char* name;
  const char* lcAll;
  const char* lcMessages;
  const char* lang;
  std::uint32_t lcid;
};

void PrintTo(const VariablesCase& c, std::ostream* os) { *os << c.name; }
class LocaleVariables : public ::testing::TestWithParam<VariablesCase> {};

TEST_P(LocaleVariables, FirstSetOneWins) {
  const VariablesCase& c = GetParam();
  EXPECT_EQ(ui::lcidFromLocaleVariables(c.lcAll, c.lcMessages, c.lang), c.lcid);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LocaleVariables,
    ::testing::Values(VariablesCase{"LcAllFirst", "zh_HK.UTF-8", "zh_CN.UTF-8", "zh_TW.UTF-8", 0x0C04},
                      VariablesCase{"LcAllCOverridesTheRest", "C", "zh_CN.UTF-8", "zh_TW.UTF-8", 0x0409},
                      VariablesCase{"EmptyLcAllIsUnset", "", "zh_CN.UTF-8", "zh_TW.UTF-8", 0x0804},
                      VariablesCase{"MessagesBeforeLang", nullptr, "zh_CN.UTF-8", "zh_TW.UTF-8", 0x0804},
                      VariablesCase{"LangLast", nullptr, nullptr, "zh_TW.UTF-8", 0x0404},
                      VariablesCase{"NothingSet", nullptr, nullptr, nullptr, 0x0409},
                      VariablesCase{"AllEmpty", "", "", "", 0x0409}),
    [](const auto& param) { return std::string(param.param.name); });

// Sets or clears the three locale variables for one test, and puts them back.
class LocaleEnvironment : public testing::EngineTest {
 protected:
  void SetUp() override {
    testing::EngineTest::SetUp();
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
  }
  void TearDown() override {
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
      if (saved_[i]) {
        setenv(kNames[i], saved_[i]->c_str(), 1);
      } else {
        unsetenv(kNames[i]);
      }
    }
    ui::setCurrentUiLanguage(ui::uiLanguageFromLcid(ui::userDefaultLcid()));
    testing::EngineTest::TearDown();
  }
  static constexpr const char* kNames[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::vector<std::optional<std::string>> saved_;
};

TEST_F(LocaleEnvironment, UserDefaultReadsTheEnvironment) {
  setenv("LANG", "zh_SG.UTF-8", 1);
  EXPECT_EQ(ui::userDefaultLcid(), 0x1004u);
  setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
  EXPECT_EQ(ui::userDefaultLcid(), 0x0804u);
}

TEST_F(LocaleEnvironment, EngineCreationFixesTheProcessLanguage) {
  setenv("LANG", "zh_HK.UTF-8", 1);
  ui::setCurrentUiLanguage(UiLanguage::English);
  {
    Engine engine;
    EXPECT_EQ(engine.uiLanguage(), UiLanguage::TraditionalChinese);
  }
  EXPECT_EQ(ui::currentUiLanguage(), UiLanguage::TraditionalChinese);
  // A later change of the environment matters only to the next engine.
  setenv("LANG", "zh_CN.UTF-8", 1);
  EXPECT_EQ(ui::currentUiLanguage(), UiLanguage::TraditionalChinese);
  Engine next;
  EXPECT_EQ(ui::currentUiLanguage(), UiLanguage::SimplifiedChinese);
}

TEST_F(LocaleEnvironment, DefaultWarningIsOneLineInTheUiLanguage) {
  ui::setCurrentUiLanguage(UiLanguage::SimplifiedChinese);
  ::testing::internal::CaptureStderr();
  ui::showWarning(ui::UserWarning::NumberTooLarge, "12345678901234");
  ui::showWarning(ui::UserWarning::VoiceDamaged, "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "sonvale: 警告: 数值大于万亿,不能进行朗读! (12345678901234)\n"
            "sonvale: 语音数据已损坏,请重新安装语音。\n");

  ui::setCurrentUiLanguage(UiLanguage::English);
  EXPECT_STREQ(ui::warningHeadline(ui::UserWarning::NumberTooLarge), "Warning: number is too large to read!");
  ui::setCurrentUiLanguage(UiLanguage::TraditionalChinese);
  EXPECT_STREQ(ui::warningHeadline(ui::UserWarning::NumberTooLarge), "警告: 數值大於萬億,不能進行朗讀!");
}

// Every text, as each language's window shows it.
struct TextCase {
  const char* name;
  const char* ui::UiTexts::*field;
  const char* simplified;
  const char* traditional;
  const char* english;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }
class Texts : public ::testing::TestWithParam<TextCase> {};

TEST_P(Texts, AreExactlyTheWindowsTexts) {
  const TextCase& c = GetParam();
  EXPECT_STREQ(ui::uiTexts(UiLanguage::SimplifiedChinese).*c.field, c.simplified);
  EXPECT_STREQ(ui::uiTexts(UiLanguage::TraditionalChinese).*c.field, c.traditional);
  EXPECT_STREQ(ui::uiTexts(UiLanguage::English).*c.field, c.english);
}

using T = ui::UiTexts;
INSTANTIATE_TEST_SUITE_P(
    Table, Texts,
    ::testing::Values(
        TextCase{"UiFont", &T::uiFont, "宋体", "PMingLiU", "MS Sans Serif"},
        TextCase{"NumberTooLargeMessage", &T::numberTooLargeMessage, "警告: 数值大于万亿,不能进行朗读!",
                 "警告: 數值大於萬億,不能進行朗讀!", "Warning: number is too large to read!"},
        TextCase{"NumberTooLargeCaption", &T::numberTooLargeCaption, "提示", "提示", "Tip"},
        TextCase{"ReinstallCaption", &T::reinstallCaption, "重新安装", "重新安裝", "Reinstall"},
        TextCase{"ReinstallButton", &T::reinstallButton, "确定", "確定", "OK"},
        TextCase{"DialogTemplate", &T::dialogTemplate, "IDD_ENGINEUI_CN", "IDD_ENGINEUI_TW", "IDD_ENGINEUI_ENG"},
        TextCase{"DialogCaption", &T::dialogCaption, "语音参数设置", "語音參數設置", "Speech Parameter Setting"},
        TextCase{"PunctuationGroup", &T::punctuationGroup, "标点停顿时间(ms)", "標點停頓時間(ms)",
                 "Punctuation Stop Time(ms)"},
        TextCase{"PausePunLabel", &T::pausePunLabel, "暂停标点:", "暫停標點:", "Pause Pun:"},
        TextCase{"StopPuncLabel", &T::stopPuncLabel, "停止标点:", "停止標點:", "Stop Punc:"},
        TextCase{"PitchGroup", &T::pitchGroup, "朗读变声效果", "朗讀變聲效果", "Pitch Shift"},
        TextCase{"PitchSelectLabel", &T::pitchSelectLabel, "变声选择:", "變聲選擇:", "Pitch Select:"},
        TextCase{"NumberGroup", &T::numberGroup, "数字读法", "數字讀法", "Number"},
        TextCase{"DigitRead", &T::digitRead, "数码读法", "數碼讀法", "Digit Read"},
        TextCase{"NumberRead", &T::numberRead, "数值读法", "數值讀法", "Number Read"},
        TextCase{"ReadPunctuation", &T::readPunctuation, "朗读标点符号", "朗讀標點符號", "Read Punctuation"},
        TextCase{"VisitWebsite", &T::visitWebsite, "请访问网站获得最新的软件支持及相关语音技术信息。",
                 "請訪問网站獲得最新的軟件支持及相關語音技術信息。",
                 "Visit website acquire latest related speech voice information."},
        // The traditional template's buttons read as the simplified ones do.
        TextCase{"Ok", &T::ok, "确定", "确定", "OK"},
        TextCase{"Cancel", &T::cancel, "取消", "取消", "Cancel"},
        TextCase{"FastSpeech", &T::fastSpeech, "快速朗读：语速最高3.5倍", "快速朗讀：語速最高3.5倍",
                 "Fast speech: faster rates up to 3.5x"},
        TextCase{"SmoothCuts", &T::smoothCuts, "平滑音节衔接", "平滑音節銜接", "Smooth syllable joins"},
        TextCase{"SettingsNotSaved", &T::settingsNotSaved,
                 "无法保存设置：更改设置需要管理员权限。新的设置只在本程序中有效，直到它关闭。",
                 "無法儲存設定：更改設定需要系統管理員權限。新的設定只在本程式中有效，直到它關閉。",
                 "The settings could not be saved: changing them needs administrator rights. The new values "
                 "apply only in this program, until it closes."}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ReinstallMessage, TellsOfDamageAndAsksToReinstallInEachLanguage) {
  // The wording is ours; each says the voice data is damaged and to install again.
  EXPECT_NE(std::string(ui::uiTexts(UiLanguage::SimplifiedChinese).reinstallMessage).find("重新安装"),
            std::string::npos);
  EXPECT_NE(std::string(ui::uiTexts(UiLanguage::TraditionalChinese).reinstallMessage).find("重新安裝"),
            std::string::npos);
  EXPECT_NE(std::string(ui::uiTexts(UiLanguage::English).reinstallMessage).find("install the voice again"),
            std::string::npos);
}

}  // namespace
}  // namespace sonvale
