#include "config_command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/registry.h"
#include "platform/utf.h"
#include "settings/engine_settings.h"
#include "ui/properties_dialog.h"

namespace sonvale::tools {

namespace {

const char kUsage[] =
    "usage: sonvale config --list\n"
    "       sonvale config --get NAME\n"
    "       sonvale config --set NAME=VALUE\n"
    "       sonvale config --gui\n"
    "\n"
    "--gui opens the voice's properties dialog (needs a display).\n"
    "\n"
    "The engine settings, read by every engine created afterwards:\n"
    "  PuncLong, PuncShort   pause after punctuation, in bytes (22 a millisecond)\n"
    "  ReadPunctuation       0: punctuation is only paused on; else it is spoken too\n"
    "  ReadNumber            1: digit runs are read as numbers; else digit by digit\n"
    "  WaveOutStyle          > 0: diagnostic WAV dump of synthesis stage 1..4\n"
    "  RTFOutStyle           > 0: diagnostic text dump (both dumps go to SONVALE_DUMP_DIR)\n"
    "  VoiceStyle            announced rate: -1 8000 Hz, 1 or 2 12000 Hz, 3 16000 Hz, else 11025 Hz\n"
    "  FastSpeech            not 0: rates above 0 go up to 3.5 times rate 0 (pauses alike); 0: up to 1.7 times\n"
    "  SmoothCuts            0: syllables are joined exactly as cut, without the short fades that stop clicks\n"
    "  UnitCacheKB           KB of decoded syllables kept for reuse (4096); 0: none\n";

const settings::SettingDef* findSetting(const std::string& name) {
  for (const settings::SettingDef& def : settings::settingDefs())
    if (platform::equalsIgnoreAsciiCase(def.name, platform::utf8ToUtf16(name))) return &def;
  return nullptr;
}

std::string registryProblem(LONG error) {
  return "registry store " + platform::registryStorePath() + ": " +
         (error == ERROR_BADDB ? std::string("damaged") : "error " + std::to_string(error));
}

// The stored value, or the default (with `stored` false) when there is none.
LONG readSetting(const platform::RegKey& key, const settings::SettingDef& def, std::int32_t& value, bool& stored) {
  DWORD raw = 0;
  const LONG error = platform::regQueryDword(key, def.name, raw);
  stored = error == ERROR_SUCCESS;
  value = stored ? static_cast<std::int32_t>(raw) : def.defaultValue;
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_MORE_DATA || error == ERROR_INVALID_DATA ? ERROR_SUCCESS
                                                                                                   : error;
}

}  // namespace

int configCommand(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string option = argv[1];
  if (option == "--help" || option == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (option == "--gui" && argc == 2) {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0')) {
      std::fputs("sonvale: the properties dialog needs a display (DISPLAY is not set)\n", stderr);
      return 1;
    }
    // The dialog reports nothing: a store it cannot write keeps the choices
    // for this process only, as the dialog always has.
    ui::showPropertiesDialog(nullptr, nullptr);
    return 0;
  }
  platform::RegKey key;
  LONG error = platform::regCreateKey(platform::RegRoot::LocalMachine, settings::kEnginePropertiesKey, key);
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "sonvale: %s\n", registryProblem(error).c_str());
    return 1;
  }
  if (option == "--list" && argc == 2) {
    for (const settings::SettingDef& def : settings::settingDefs()) {
      std::int32_t value = 0;
      bool stored = false;
      error = readSetting(key, def, value, stored);
      if (error != ERROR_SUCCESS) break;
      std::printf("%s=%d%s\n", platform::utf16ToUtf8(def.name).c_str(), value, stored ? "" : " (default)");
    }
  } else if (option == "--get" && argc == 3) {
    const settings::SettingDef* def = findSetting(argv[2]);
    if (def == nullptr) {
      std::fprintf(stderr, "sonvale: no setting called '%s'\n%s", argv[2], kUsage);
      return 2;
    }
    std::int32_t value = 0;
    bool stored = false;
    error = readSetting(key, *def, value, stored);
    if (error == ERROR_SUCCESS) std::printf("%d\n", value);
  } else if (option == "--set" && argc == 3) {
    const std::string assignment = argv[2];
    const std::size_t eq = assignment.find('=');
    const settings::SettingDef* def = eq == std::string::npos ? nullptr : findSetting(assignment.substr(0, eq));
    if (def == nullptr) {
      std::fprintf(stderr, "sonvale: '%s' is not NAME=VALUE with a known NAME\n%s", argv[2], kUsage);
      return 2;
    }
    const std::string text = assignment.substr(eq + 1);
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > UINT32_MAX) {
      std::fprintf(stderr, "sonvale: %s takes a 32-bit number, not '%s'\n", assignment.substr(0, eq).c_str(),
                   text.c_str());
      return 2;
    }
    error = platform::regSetDword(key, def->name, static_cast<DWORD>(static_cast<std::uint32_t>(value)));
  } else {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "sonvale: %s\n", registryProblem(error).c_str());
    return 1;
  }
  return 0;
}

}  // namespace sonvale::tools
