#include "settings/engine_settings.h"

#include "platform/registry.h"

namespace sonvale::settings {

namespace {

constexpr SettingDef kDefs[] = {
    {u"PuncLong", 15000, 15000, &EngineSettings::puncLong},
    {u"PuncShort", 5000, 5000, &EngineSettings::puncShort},
    {u"ReadPunctuation", 0, 0, &EngineSettings::readPunctuation},
    {u"ReadNumber", 0, 0, &EngineSettings::readNumber},
    {u"WaveOutStyle", 1, 0, &EngineSettings::waveOutStyle},
    {u"RTFOutStyle", 1, 0, &EngineSettings::rtfOutStyle},
    {u"VoiceStyle", 0, 0, &EngineSettings::voiceStyle},
    {u"FastSpeech", 0, 0, &EngineSettings::fastSpeech},
    {u"SmoothCuts", 1, 1, &EngineSettings::smoothCuts},
    // Samples kept per process for repeated syllables; they never change the output.
    {u"UnitCacheKB", 4096, 4096, &EngineSettings::unitCacheKB},
};

EngineSettings& makeSettings() {
  static EngineSettings settings;
  for (const SettingDef& def : kDefs) (settings.*def.member).store(def.startValue);
  return settings;
}

}  // namespace

std::span<const SettingDef> settingDefs() { return kDefs; }

EngineSettings& engineSettings() {
  static EngineSettings& settings = makeSettings();
  return settings;
}

void loadSettings() {
  EngineSettings& settings = engineSettings();
  platform::RegKey key;
  if (platform::regCreateKey(platform::RegRoot::LocalMachine, kEnginePropertiesKey, key) != ERROR_SUCCESS) return;
  for (const SettingDef& def : kDefs) {
    DWORD raw = 0;
    const bool read = platform::regQueryDword(key, def.name, raw) == ERROR_SUCCESS;
    (settings.*def.member).store(read ? static_cast<std::int32_t>(raw) : def.defaultValue);
  }
}

void resetSettings() {
  EngineSettings& settings = engineSettings();
  for (const SettingDef& def : kDefs) (settings.*def.member).store(def.startValue);
}

std::uint32_t outputRateHz(std::int32_t voiceStyle) {
  switch (voiceStyle) {
    case -1:
      return 8000;
    case 1:
    case 2:
      return 12000;
    case 3:
      return 16000;
    default:
      return 11025;
  }
}

}  // namespace sonvale::settings
