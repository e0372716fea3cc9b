// The properties dialog on Windows, settings side: picks the dialog template
// of the UI language, reloads the settings when the dialog opens and stores
// them on OK, all through ui/properties_model. The window itself is
// ui_win32.cpp's (runDialogWindow): this file includes com.h, that one
// <windows.h>, and the two cannot meet in one file.
#include "ui/properties_dialog.h"
#include "ui/properties_model.h"
#include "ui/ui_resources.h"
#include "ui/ui_text.h"

namespace sonvale::ui {

static_assert(IDC_PAUSE_SHORT_LIST == ui::kPauseShortListId && IDC_PAUSE_LONG_LIST == ui::kPauseLongListId &&
                  IDC_PITCH_LIST == ui::kPitchListId && IDC_READ_PUNCTUATION == ui::kReadPunctuationCheckId &&
                  IDC_DIGIT_READ == ui::kDigitReadRadioId && IDC_NUMBER_READ == ui::kNumberReadRadioId &&
                  IDC_SMOOTH_CUTS == ui::kSmoothCutsCheckId,
              "the resource script and the settings logic must name the same controls");
static_assert(IDC_FAST_SPEECH == ui::kFastSpeechCheckId, "the fast speech check box has one identifier");

namespace {

constexpr ui::DialogList kLists[kDialogListCount] = {ui::DialogList::PauseShort, ui::DialogList::PauseLong,
                                                     ui::DialogList::Pitch};

DialogWindowState windowState(const ui::DialogControls& controls) {
  DialogWindowState state;
  state.listIndex[0] = controls.pauseShortIndex;
  state.listIndex[1] = controls.pauseLongIndex;
  state.listIndex[2] = controls.pitchIndex;
  state.readPunctuation = controls.readPunctuation;
  state.digitRead = controls.digitRead;
  state.numberRead = controls.numberRead;
  state.fastSpeech = controls.fastSpeech;
  state.smoothCuts = controls.smoothCuts;
  return state;
}

ui::DialogControls dialogControls(const DialogWindowState& state) {
  ui::DialogControls controls;
  controls.pauseShortIndex = state.listIndex[0];
  controls.pauseLongIndex = state.listIndex[1];
  controls.pitchIndex = state.listIndex[2];
  controls.readPunctuation = state.readPunctuation;
  controls.digitRead = state.digitRead;
  controls.numberRead = state.numberRead;
  controls.fastSpeech = state.fastSpeech;
  controls.smoothCuts = state.smoothCuts;
  return controls;
}

DialogWindowState onStart(void*) { return windowState(ui::startPropertiesDialog()); }

bool onOk(void*, const DialogWindowState& state) {
  // A key that cannot be written (the Speech control panel runs without an
  // administrator's rights) keeps the new values in this process only.
  return ui::okPropertiesDialog(dialogControls(state)) == ERROR_SUCCESS;
}

}  // namespace

void showPropertiesDialog(HWND parent, ISpObjectToken* token) {
  (void)token;  // the settings key is fixed; the token is not needed
  DialogWindowRequest request;
  request.parent = parent;
  request.templateName = uiTexts(currentUiLanguage()).dialogTemplate;
  for (std::size_t i = 0; i < kDialogListCount; ++i) request.listChoices[i] = ui::listChoices(kLists[i]);
  request.homePageUrl = kHomePageUrl;
  request.issuesUrl = kIssuesUrl;
  request.start = onStart;
  request.ok = onOk;
  // A dialog that cannot be shown changes nothing; the caller is not told.
  runDialogWindow(request);
}

}  // namespace sonvale::ui
