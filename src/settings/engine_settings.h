// The engine's tunable values, process-wide, loaded from the registry each
// time an engine object is created and updated by the properties dialog.
// Every value is a signed 32-bit number read in place by the speaking code;
// they are atomics so a save on one thread and a speaking call on another
// never race.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

namespace sonvale::settings {

// HKEY_LOCAL_MACHINE path of the key that holds the values.
inline constexpr char16_t kEnginePropertiesKey[] =
    u"Software\\Microsoft\\Speech\\Voices\\Tokens\\REZuroruRadarorud\\UI\\EngineProperties";

struct EngineSettings {
  std::atomic<std::int32_t> puncLong;         // bytes of the long punctuation pause; <= 0: none
  std::atomic<std::int32_t> puncShort;        // bytes of the short punctuation pause; <= 0: none
  std::atomic<std::int32_t> readPunctuation;  // 0: marks with a pause class are not spoken
  std::atomic<std::int32_t> readNumber;       // exactly 1: digit runs are read as numbers
  std::atomic<std::int32_t> waveOutStyle;     // > 0: WAV dump of synthesis stage 1..4
  std::atomic<std::int32_t> rtfOutStyle;      // > 0: text dump of synthesis traces
  std::atomic<std::int32_t> voiceStyle;       // announced sample rate, see outputRateHz()
  std::atomic<std::int32_t> fastSpeech;       // not 0: rates above 0 go up to 3.5 times rate 0
  std::atomic<std::int32_t> smoothCuts;       // 0: syllables are written exactly as trimmed, edges not faded
  // KB of decoded and time-scaled units kept for reuse by the process; <= 0: none.
  std::atomic<std::int32_t> unitCacheKB;
};

struct SettingDef {
  const char16_t* name;           // registry value name
  std::int32_t defaultValue;      // when the value is missing or not 4 bytes
  std::int32_t startValue;        // before any load, and kept when the key cannot be opened
  std::atomic<std::int32_t> EngineSettings::*member;
};

// The values in the order they are read, with their defaults and start values.
std::span<const SettingDef> settingDefs();

// The process-wide settings.
EngineSettings& engineSettings();

// Reads every value from the registry key into the process-wide settings.
// A key that cannot be opened leaves every setting as it is; a value that
// cannot be read as exactly 4 bytes takes its default.
void loadSettings();

// Puts every setting back to its start value (as at process start).
void resetSettings();

// The sample rate that a VoiceStyle value announces: -1 gives 8000, 1 and 2
// give 12000, 3 gives 16000, anything else 11025.
std::uint32_t outputRateHz(std::int32_t voiceStyle);

}  // namespace sonvale::settings
