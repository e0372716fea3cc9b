#include "ui/ui_text.h"

#include <atomic>

namespace sonvale::ui {

namespace {

constexpr UiTexts kSimplified = {
    "宋体",
    "警告: 数值大于万亿,不能进行朗读!",
    "提示",
    "重新安装",
    "语音数据已损坏,请重新安装语音。",
    "确定",
    "IDD_ENGINEUI_CN",
    "语音参数设置",
    "标点停顿时间(ms)",
    "暂停标点:",
    "停止标点:",
    "朗读变声效果",
    "变声选择:",
    "数字读法",
    "数码读法",
    "数值读法",
    "朗读标点符号",
    "请访问网站获得最新的软件支持及相关语音技术信息。",
    "确定",
    "取消",
    "快速朗读：语速最高3.5倍",
    "平滑音节衔接",
    "无法保存设置：更改设置需要管理员权限。新的设置只在本程序中有效，直到它关闭。",
};

// The dialog's OK button reads "确定" in the traditional template too, and
// its website line keeps the character "网", as the dialog has always shown
// them; the warning's button is "確定".
constexpr UiTexts kTraditional = {
    "PMingLiU",
    "警告: 數值大於萬億,不能進行朗讀!",
    "提示",
    "重新安裝",
    "語音數據已損壞,請重新安裝語音。",
    "確定",
    "IDD_ENGINEUI_TW",
    "語音參數設置",
    "標點停頓時間(ms)",
    "暫停標點:",
    "停止標點:",
    "朗讀變聲效果",
    "變聲選擇:",
    "數字讀法",
    "數碼讀法",
    "數值讀法",
    "朗讀標點符號",
    "請訪問网站獲得最新的軟件支持及相關語音技術信息。",
    "确定",
    "取消",
    "快速朗讀：語速最高3.5倍",
    "平滑音節銜接",
    "無法儲存設定：更改設定需要系統管理員權限。新的設定只在本程式中有效，直到它關閉。",
};

constexpr UiTexts kEnglish = {
    "MS Sans Serif",
    "Warning: number is too large to read!",
    "Tip",
    "Reinstall",
    "The voice data is damaged. Please install the voice again.",
    "OK",
    "IDD_ENGINEUI_ENG",
    "Speech Parameter Setting",
    "Punctuation Stop Time(ms)",
    "Pause Pun:",
    "Stop Punc:",
    "Pitch Shift",
    "Pitch Select:",
    "Number",
    "Digit Read",
    "Number Read",
    "Read Punctuation",
    "Visit website acquire latest related speech voice information.",
    "OK",
    "Cancel",
    "Fast speech: faster rates up to 3.5x",
    "Smooth syllable joins",
    "The settings could not be saved: changing them needs administrator rights. The new values apply only in "
    "this program, until it closes.",
};

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool isSet(const char* value) { return value != nullptr && *value != '\0'; }

// -1 until a language is set or first asked for.
std::atomic<int> currentLanguage{-1};

}  // namespace

UiLanguage uiLanguageFromLcid(std::uint32_t lcid) {
  switch (lcid) {
    case kLcidChinesePrc:
      return UiLanguage::SimplifiedChinese;
    case kLcidChineseTaiwan:
    case kLcidChineseHongKong:
    case kLcidChineseSingapore:
      return UiLanguage::TraditionalChinese;
    default:
      return UiLanguage::English;
  }
}

std::uint32_t lcidFromLocaleName(std::string_view name) {
  // language[_territory][.codeset][@modifier]
  const std::size_t end = name.find_first_of(".@");
  if (end != std::string_view::npos) name = name.substr(0, end);
  if (name.size() != 5 || name.substr(0, 2) != "zh" || (name[2] != '_' && name[2] != '-')) return kLcidEnglishUs;
  const char territory[2] = {upperAscii(name[3]), upperAscii(name[4])};
  const std::string_view t(territory, 2);
  if (t == "CN") return kLcidChinesePrc;
  if (t == "TW") return kLcidChineseTaiwan;
  if (t == "HK") return kLcidChineseHongKong;
  if (t == "SG") return kLcidChineseSingapore;
  return kLcidEnglishUs;
}

std::uint32_t lcidFromLocaleVariables(const char* lcAll, const char* lcMessages, const char* lang) {
  for (const char* value : {lcAll, lcMessages, lang})
    if (isSet(value)) return lcidFromLocaleName(value);
  return kLcidEnglishUs;
}

const UiTexts& uiTexts(UiLanguage language) {
  switch (language) {
    case UiLanguage::SimplifiedChinese:
      return kSimplified;
    case UiLanguage::TraditionalChinese:
      return kTraditional;
    case UiLanguage::English:
      break;
  }
  return kEnglish;
}

UiLanguage currentUiLanguage() {
  int language = currentLanguage.load();
  if (language < 0) {
    const int fromLocale = static_cast<int>(uiLanguageFromLcid(userDefaultLcid()));
    // A language set meanwhile by an engine wins over the locale's.
    language = currentLanguage.compare_exchange_strong(language, fromLocale) ? fromLocale : language;
  }
  return static_cast<UiLanguage>(language);
}

void setCurrentUiLanguage(UiLanguage language) { currentLanguage.store(static_cast<int>(language)); }

}  // namespace sonvale::ui
