#include "ui/properties_model.h"

#include <string>

#include "platform/registry.h"
#include "settings/engine_settings.h"

namespace sonvale::ui {

using settings::EngineSettings;
using settings::engineSettings;
using settings::kEnginePropertiesKey;

namespace {

// The pause lists are sorted lists; their choices are already in sorted order.
constexpr const char* kPauseShortChoices[] = {"3000", "4000", "5000", "6000", "7000"};
constexpr const char* kPauseLongChoices[] = {"13000", "14000", "15000", "16000", "17000"};
constexpr const char* kPitchChoices[] = {"-1", "0", "1", "2", "3"};

constexpr char16_t kPuncLongName[] = u"PuncLong";
constexpr char16_t kPuncShortName[] = u"PuncShort";
constexpr char16_t kVoiceStyleName[] = u"VoiceStyle";
constexpr char16_t kReadPunctuationName[] = u"ReadPunctuation";
constexpr char16_t kReadNumberName[] = u"ReadNumber";
constexpr char16_t kFastSpeechName[] = u"FastSpeech";
constexpr char16_t kSmoothCutsName[] = u"SmoothCuts";

int selectedValue(DialogList list, int index, std::int32_t before) {
  const std::span<const char* const> choices = listChoices(list);
  if (index < 0 || static_cast<std::size_t>(index) >= choices.size()) return before;
  return decimalValue(choices[static_cast<std::size_t>(index)]);
}

std::optional<std::int32_t> queryValue(const platform::RegKey& key, const char16_t* name) {
  DWORD raw = 0;
  if (platform::regQueryDword(key, name, raw) != ERROR_SUCCESS) return std::nullopt;
  return static_cast<std::int32_t>(raw);
}

}  // namespace

std::span<const char* const> listChoices(DialogList list) {
  switch (list) {
    case DialogList::PauseShort:
      return kPauseShortChoices;
    case DialogList::PauseLong:
      return kPauseLongChoices;
    case DialogList::Pitch:
      break;
  }
  return kPitchChoices;
}

int choiceIndex(DialogList list, std::int32_t value) {
  const std::string text = std::to_string(value);
  const std::span<const char* const> choices = listChoices(list);
  for (std::size_t i = 0; i < choices.size(); ++i)
    if (text == choices[i]) return static_cast<int>(i);
  return -1;
}

std::int32_t decimalValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t magnitude = 0;
  constexpr std::int64_t kLimit = std::int64_t{INT32_MAX} + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    if (magnitude < kLimit) magnitude = magnitude * 10 + (text[i] - '0');
  if (magnitude > kLimit) magnitude = kLimit;
  const std::int64_t value = negative ? -magnitude : (magnitude == kLimit ? INT32_MAX : magnitude);
  return static_cast<std::int32_t>(value);
}

DialogValues reloadedValues(const DialogValues& inMemory, const std::optional<StoredValues>& stored) {
  DialogValues values = inMemory;
  if (!stored) return values;
  values.puncLong = stored->puncLong.value_or(values.puncLong);
  values.puncShort = stored->puncShort.value_or(values.puncShort);
  values.voiceStyle = stored->voiceStyle.value_or(values.voiceStyle);
  values.readPunctuation = stored->readPunctuation.value_or(values.readPunctuation);
  values.readNumber = stored->readNumber.value_or(values.readNumber);
  values.fastSpeech = stored->fastSpeech.value_or(values.fastSpeech);
  values.smoothCuts = stored->smoothCuts.value_or(values.smoothCuts);
  return values;
}

DialogControls controlsFor(const DialogValues& values) {
  DialogControls controls;
  controls.pauseShortIndex = choiceIndex(DialogList::PauseShort, values.puncShort);
  controls.pauseLongIndex = choiceIndex(DialogList::PauseLong, values.puncLong);
  controls.pitchIndex = choiceIndex(DialogList::Pitch, values.voiceStyle);
  controls.readPunctuation = values.readPunctuation == 1;
  controls.digitRead = values.readNumber == 0;
  controls.numberRead = values.readNumber == 1;
  controls.fastSpeech = values.fastSpeech != 0;
  controls.smoothCuts = values.smoothCuts != 0;
  return controls;
}

DialogValues valuesOnOk(const DialogControls& controls, const DialogValues& before) {
  DialogValues values = before;
  values.puncShort = selectedValue(DialogList::PauseShort, controls.pauseShortIndex, before.puncShort);
  values.puncLong = selectedValue(DialogList::PauseLong, controls.pauseLongIndex, before.puncLong);
  values.voiceStyle = selectedValue(DialogList::Pitch, controls.pitchIndex, before.voiceStyle);
  values.readPunctuation = controls.readPunctuation ? 1 : 0;
  if (controls.digitRead) {
    values.readNumber = 0;
  } else if (controls.numberRead) {
    values.readNumber = 1;
  }
  values.fastSpeech = controls.fastSpeech ? 1 : 0;
  values.smoothCuts = controls.smoothCuts ? 1 : 0;
  return values;
}

DialogValues currentDialogValues() {
  const EngineSettings& s = engineSettings();
  DialogValues values{s.puncShort.load(), s.puncLong.load(), s.voiceStyle.load(), s.readPunctuation.load(),
                      s.readNumber.load()};
  values.fastSpeech = s.fastSpeech.load();
  values.smoothCuts = s.smoothCuts.load();
  return values;
}

void applyDialogValues(const DialogValues& values) {
  EngineSettings& s = engineSettings();
  s.puncShort.store(values.puncShort);
  s.puncLong.store(values.puncLong);
  s.voiceStyle.store(values.voiceStyle);
  s.readPunctuation.store(values.readPunctuation);
  s.readNumber.store(values.readNumber);
  s.fastSpeech.store(values.fastSpeech);
  s.smoothCuts.store(values.smoothCuts);
}

std::optional<StoredValues> readStoredValues() try {
  platform::RegKey key;
  if (platform::regCreateKey(platform::RegRoot::LocalMachine, kEnginePropertiesKey, key) != ERROR_SUCCESS)
    return std::nullopt;
  StoredValues stored;
  stored.puncLong = queryValue(key, kPuncLongName);
  stored.puncShort = queryValue(key, kPuncShortName);
  stored.voiceStyle = queryValue(key, kVoiceStyleName);
  stored.readPunctuation = queryValue(key, kReadPunctuationName);
  stored.readNumber = queryValue(key, kReadNumberName);
  stored.fastSpeech = queryValue(key, kFastSpeechName);
  stored.smoothCuts = queryValue(key, kSmoothCutsName);
  return stored;
} catch (...) {
  // Out of memory for a key path: as if the key could not be opened.
  return std::nullopt;
}

LONG writeStoredValues(const DialogValues& values) try {
  platform::RegKey key;
  LONG error = platform::regCreateKey(platform::RegRoot::LocalMachine, kEnginePropertiesKey, key);
  if (error != ERROR_SUCCESS) return error;
  const std::pair<const char16_t*, std::int32_t> writes[] = {{kPuncLongName, values.puncLong},
                                                             {kPuncShortName, values.puncShort},
                                                             {kVoiceStyleName, values.voiceStyle},
                                                             {kReadPunctuationName, values.readPunctuation},
                                                             {kReadNumberName, values.readNumber},
                                                             {kFastSpeechName, values.fastSpeech}};
  for (const auto& [name, value] : writes) {
    const LONG written = platform::regSetDword(key, name, static_cast<DWORD>(value));
    if (error == ERROR_SUCCESS) error = written;
  }
  // SmoothCuts, the one setting the dialog edits beyond its first five.
  const LONG written = platform::regSetDword(key, kSmoothCutsName, static_cast<DWORD>(values.smoothCuts));
  if (error == ERROR_SUCCESS) error = written;
  return error;
} catch (...) {
  return ERROR_NOT_ENOUGH_MEMORY;
}

DialogControls startPropertiesDialog() {
  const DialogValues values = reloadedValues(currentDialogValues(), readStoredValues());
  applyDialogValues(values);
  return controlsFor(values);
}

LONG okPropertiesDialog(const DialogControls& controls) {
  const DialogValues values = valuesOnOk(controls, currentDialogValues());
  applyDialogValues(values);
  return writeStoredValues(values);
}

}  // namespace sonvale::ui
