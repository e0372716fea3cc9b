// The language of everything the voice shows the user (the word panel's font,
// the warnings, the properties dialog) and every text it shows, in simplified
// Chinese, traditional Chinese and English. The language follows the user's
// locale identifier (LCID); on Linux the LCID is derived from the locale
// environment variables. All texts are UTF-8.
#pragma once

#include <cstdint>
#include <string_view>

namespace sonvale::ui {

enum class UiLanguage { SimplifiedChinese, TraditionalChinese, English };

// Locale identifiers the language table knows.
inline constexpr std::uint32_t kLcidChinesePrc = 0x0804;
inline constexpr std::uint32_t kLcidChineseTaiwan = 0x0404;
inline constexpr std::uint32_t kLcidChineseHongKong = 0x0C04;
inline constexpr std::uint32_t kLcidChineseSingapore = 0x1004;
inline constexpr std::uint32_t kLcidEnglishUs = 0x0409;

// The addresses behind the properties dialog's two link labels. A build may
// define SONVALE_HOME_URL and SONVALE_ISSUES_URL to point them elsewhere.
#ifndef SONVALE_HOME_URL
#define SONVALE_HOME_URL "https://sonvale.org/"
#endif
#ifndef SONVALE_ISSUES_URL
#define SONVALE_ISSUES_URL "https://sonvale.org/issues"
#endif
inline constexpr char kHomePageUrl[] = SONVALE_HOME_URL;
inline constexpr char kIssuesUrl[] = SONVALE_ISSUES_URL;

struct UiTexts {
  const char* uiFont;  // face of the panel's first and third lines, the dialog and the warning

  // The number-too-large message box.
  const char* numberTooLargeMessage;
  const char* numberTooLargeCaption;

  // The voice-loading warning.
  const char* reinstallCaption;
  const char* reinstallMessage;
  const char* reinstallButton;

  // The properties dialog.
  const char* dialogTemplate;  // name of the dialog resource of this language
  const char* dialogCaption;
  const char* punctuationGroup;  // group box 218
  const char* pausePunLabel;     // label 219, before list 213
  const char* stopPuncLabel;     // label 220, before list 214
  const char* pitchGroup;        // group box around list 223
  const char* pitchSelectLabel;  // label before list 223
  const char* numberGroup;       // group box 221
  const char* digitRead;         // radio button 216
  const char* numberRead;        // radio button 217
  const char* readPunctuation;   // check box 215
  const char* visitWebsite;      // label 210
  const char* ok;                // button 1
  const char* cancel;            // button 2
  const char* fastSpeech;        // check box 224
  const char* smoothCuts;        // check box 230
  // Shown when OK cannot store the settings (the key is the machine's).
  const char* settingsNotSaved;
};

// The language of a locale identifier: 0x0804 simplified Chinese; 0x0404,
// 0x0C04 and 0x1004 traditional Chinese; any other English.
UiLanguage uiLanguageFromLcid(std::uint32_t lcid);

// The LCID of a POSIX locale name such as "zh_HK.UTF-8" or "zh_CN@stroke":
// zh_CN 0x0804, zh_TW 0x0404, zh_HK 0x0C04, zh_SG 0x1004 (the territory's
// letter case is ignored), and 0x0409 for anything else, "C" and "" included.
std::uint32_t lcidFromLocaleName(std::string_view name);

// The LCID of the locale that governs messages: the first of LC_ALL,
// LC_MESSAGES and LANG that is set and not empty (null means unset).
std::uint32_t lcidFromLocaleVariables(const char* lcAll, const char* lcMessages, const char* lang);

// The user's default LCID: the system's on Windows, from this process's
// locale variables elsewhere.
std::uint32_t userDefaultLcid();

// Every text of one language.
const UiTexts& uiTexts(UiLanguage language);

// The process's UI language: the one the last engine object chose when it
// was created, or, before any did, the user's default. Safe from any thread.
UiLanguage currentUiLanguage();
void setCurrentUiLanguage(UiLanguage language);

}  // namespace sonvale::ui
