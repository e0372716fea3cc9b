// The properties dialog without its window: which values it reloads when it
// opens, what its lists, check box and radio buttons then show, and what OK
// stores. The window code (one file per toolkit) only shows the controls and
// reports what the user chose; everything it decides is here.
//
// The dialog edits seven engine settings: PuncShort (list 213), PuncLong
// (list 214), VoiceStyle (list 223), ReadPunctuation (check box 215) and
// ReadNumber (radio buttons 216 "digits" and 217 "numbers"); and FastSpeech
// (check box 224) and SmoothCuts (check box 230), reloaded and stored after them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/com.h"

namespace sonvale::ui {

// The six settings the dialog edits.
struct DialogValues {
  std::int32_t puncShort = 0;
  std::int32_t puncLong = 0;
  std::int32_t voiceStyle = 0;
  std::int32_t readPunctuation = 0;
  std::int32_t readNumber = 0;
  std::int32_t fastSpeech = 0;
  std::int32_t smoothCuts = 1;

  friend bool operator==(const DialogValues&, const DialogValues&) = default;
};

// What the settings key held when the dialog read it: each value that could
// be read as exactly 4 bytes, or nothing.
struct StoredValues {
  std::optional<std::int32_t> puncLong;
  std::optional<std::int32_t> puncShort;
  std::optional<std::int32_t> voiceStyle;
  std::optional<std::int32_t> readPunctuation;
  std::optional<std::int32_t> readNumber;
  std::optional<std::int32_t> fastSpeech;
  std::optional<std::int32_t> smoothCuts;
};

// The dialog's three drop-down lists.
enum class DialogList { PauseShort, PauseLong, Pitch };

// Control identifiers.
inline constexpr int kPauseShortListId = 213;
inline constexpr int kPauseLongListId = 214;
inline constexpr int kReadPunctuationCheckId = 215;
inline constexpr int kDigitReadRadioId = 216;
inline constexpr int kNumberReadRadioId = 217;
inline constexpr int kPitchListId = 223;
inline constexpr int kFastSpeechCheckId = 224;
inline constexpr int kSmoothCutsCheckId = 230;

// The controls' state: the selected item of each list (-1 when none is
// selected), the check box and the two radio buttons.
struct DialogControls {
  int pauseShortIndex = -1;
  int pauseLongIndex = -1;
  int pitchIndex = -1;
  bool readPunctuation = false;
  bool digitRead = false;
  bool numberRead = false;
  bool fastSpeech = false;  // check box 224: FastSpeech not 0
  bool smoothCuts = true;

  friend bool operator==(const DialogControls&, const DialogControls&) = default;
};

// The texts a list offers, in the order shown.
std::span<const char* const> listChoices(DialogList list);

// The index of the choice whose text is `value` written as a signed
// decimal, or -1 when no choice reads so.
int choiceIndex(DialogList list, std::int32_t value);

// A text read as a decimal number: white space, an optional sign, then digits
// up to the first other character; 0 when there are none. Values beyond the
// 32-bit range are clamped to it.
std::int32_t decimalValue(std::string_view text);

// The values the dialog shows after reloading: `stored` overrides the
// in-memory values one by one where a value was read; with no key at all
// (nullopt) the in-memory values stay.
DialogValues reloadedValues(const DialogValues& inMemory, const std::optional<StoredValues>& stored);

// The controls for `values`: each list on the choice that matches its value,
// if any; the check box checked for ReadPunctuation 1 and unchecked for any
// other value; radio 216 for ReadNumber 0, 217 for 1, neither otherwise;
// the SmoothCuts box checked for any value but 0.
DialogControls controlsFor(const DialogValues& values);

// The values OK stores: each list's selected choice read as a number (the
// value in `before` when nothing is selected); ReadPunctuation 1 or 0 from
// the check box; ReadNumber 0 for 216, 1 for 217, as before for neither;
// SmoothCuts 1 or 0 from its box.
DialogValues valuesOnOk(const DialogControls& controls, const DialogValues& before);

// The dialog's values in the process-wide engine settings.
DialogValues currentDialogValues();
void applyDialogValues(const DialogValues& values);

// Opens the settings key (create-or-open) and reads the dialog's values;
// nullopt when the key cannot be opened.
std::optional<StoredValues> readStoredValues();

// Opens the settings key (create-or-open) and writes the dialog's values as
// REG_DWORD, in the order PuncLong, PuncShort, VoiceStyle, ReadPunctuation,
// ReadNumber, FastSpeech, SmoothCuts. Returns ERROR_SUCCESS, or the first registry error
// (when the key cannot be opened nothing is written).
LONG writeStoredValues(const DialogValues& values);

// The dialog opening: reloads the dialog's settings from the registry into the
// process-wide settings and returns the controls that show them.
DialogControls startPropertiesDialog();

// OK: puts the controls' values into the process-wide settings, then saves
// them. The new values stay in memory even when the save fails; returns the
// save's result.
LONG okPropertiesDialog(const DialogControls& controls);

}  // namespace sonvale::ui
