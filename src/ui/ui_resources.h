// What the resource script (ui_resources.rc) and the Windows window code
// share: the control identifiers of the properties dialog; and, for the code
// only, how the Windows UI files reach one another (the dialog's window and
// its settings logic, the panel's factory, the module handle).
//
// Resource names are strings, not numbers: the three dialog templates
// "IDD_ENGINEUI_CN", "IDD_ENGINEUI_TW" and "IDD_ENGINEUI_ENG", the bitmap
// "IDB_ENGINEUI" and the cursor "IDC_HAND". They are never defined as macros
// here, so the script keeps them as names.
#pragma once

// Properties dialog controls; labels and boxes that the code never
// addresses share IDC_STATIC.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#define IDC_LINK_HOME_PAGE 209
#define IDC_VISIT_WEBSITE 210
#define IDC_LINK_ISSUES 211
#define IDC_PAUSE_SHORT_LIST 213
#define IDC_PAUSE_LONG_LIST 214
#define IDC_READ_PUNCTUATION 215
#define IDC_DIGIT_READ 216
#define IDC_NUMBER_READ 217
#define IDC_PUNCTUATION_GROUP 218
#define IDC_PAUSE_SHORT_LABEL 219
#define IDC_PAUSE_LONG_LABEL 220
#define IDC_NUMBER_GROUP 221
#define IDC_PITCH_LIST 223
#define IDC_FAST_SPEECH 224
#define IDC_SMOOTH_CUTS 230

#ifndef RC_INVOKED

#include <cstddef>
#include <memory>
#include <span>

#include "ui/word_panel.h"

namespace sonvale::ui {

// The window code includes <windows.h> and the settings code includes com.h,
// whose Windows types carry the same names; the two never meet in one file.
// properties_dialog_win32.cpp (settings side) fills a DialogWindowRequest and
// ui_win32.cpp (window side) shows it.

inline constexpr std::size_t kDialogListCount = 3;  // lists 213, 214, 223, in this order

// The controls' state: each list's selected choice (-1 for none), the check
// box 215, the radio buttons 216 and 217, and the check box 230.
struct DialogWindowState {
  int listIndex[kDialogListCount] = {-1, -1, -1};
  bool readPunctuation = false;
  bool digitRead = false;
  bool numberRead = false;
  bool fastSpeech = false;  // check box 224
  bool smoothCuts = true;   // check box 230
};

struct DialogWindowRequest {
  void* parent = nullptr;                                      // owner window (HWND), may be null
  const char* templateName = nullptr;                          // dialog resource of the UI language
  std::span<const char* const> listChoices[kDialogListCount];  // in the order offered
  const char* homePageUrl = nullptr;                           // link 209
  const char* issuesUrl = nullptr;                             // link 211
  void* context = nullptr;
  // Called while the dialog initialises: reloads the settings and says what
  // the controls show.
  DialogWindowState (*start)(void* context) = nullptr;
  // Called on OK with the controls as the user left them, before the dialog
  // closes. Returns false when the settings could not be stored: the user is
  // then told (texts' settingsNotSaved) before the dialog closes.
  bool (*ok)(void* context, const DialogWindowState& state) = nullptr;
};

// The word display panel in GDI (word_panel_win32.cpp): in the host window
// of the foreground window, or null. ui_win32.cpp installs it as the
// process's panel factory when the module loads.
std::unique_ptr<WordPanel> createWin32WordPanel(UiLanguage language, PanelLinesSource source);

// How long making and removing a panel wait for the panel's thread before
// giving the panel up (5000 ms). Checks shorten it to reach those paths.
void setWin32PanelPatience(unsigned long ms);

// This module's instance handle (HINSTANCE): the module that holds this
// code and the resources, the COM server DLL or a test program.
void* uiModuleInstance() noexcept;

// Runs the dialog modally, owned by `request.parent`, and returns when the
// user closes it. Returns false when it could not be shown (then neither
// callback was called). Never throws.
bool runDialogWindow(const DialogWindowRequest& request) noexcept;

}  // namespace sonvale::ui

#endif  // RC_INVOKED
