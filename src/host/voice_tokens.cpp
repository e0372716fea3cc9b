#include "host/voice_tokens.h"

#include <filesystem>

#include "engine/kelvane_obj.h"
#include "host/registry_token.h"
#include "platform/registry.h"
#include "platform/utf.h"
#include "server/kelvane_ui.h"
#include "synth/voice_format.h"

namespace sonvale::host {

namespace {

using platform::RegKey;
using platform::RegRoot;

std::u16string tokenPath(const std::string& name) {
  return std::u16string(kVoiceTokensKey) + u"\\" + platform::utf8ToUtf16(name);
}

std::string clsidText(const CLSID& clsid = CLSID_KelvaneObj) {
  char text[39];
  platform::formatGuid(clsid, text);
  return text;
}

std::string registryError(LONG error) {
  if (error == ERROR_BADDB) return "the registry store " + platform::registryStorePath() + " is damaged";
  if (error == ERROR_ACCESS_DENIED) return "the registry store " + platform::registryStorePath() + " cannot be written";
  return "registry error " + std::to_string(error) + " in " + platform::registryStorePath();
}

std::string queryText(const RegKey& key, const char16_t* name) {
  std::u16string value;
  return platform::regQueryString(key, name, value) == ERROR_SUCCESS ? platform::utf16ToUtf8(value) : std::string();
}

}  // namespace

std::string listVoices(std::vector<VoiceInfo>& voices) {
  voices.clear();
  RegKey tokens;
  LONG error = platform::regOpenKey(RegRoot::LocalMachine, kVoiceTokensKey, tokens);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
  if (error != ERROR_SUCCESS) return registryError(error);
  std::vector<std::u16string> names;
  error = platform::regEnumKeys(tokens, names);
  if (error != ERROR_SUCCESS) return registryError(error);
  const std::string ours = clsidText();
  for (const std::u16string& name : names) {
    RegKey key;
    if (platform::regOpenKey(RegRoot::LocalMachine, tokenPath(platform::utf16ToUtf8(name)), key) != ERROR_SUCCESS)
      continue;
    std::string clsid = queryText(key, u"CLSID");
    if (!platform::equalsIgnoreAsciiCase(platform::utf8ToUtf16(clsid), platform::utf8ToUtf16(ours))) continue;
    VoiceInfo info{platform::utf16ToUtf8(name),
                   queryText(key, u""),
                   queryText(key, u"VoiceDef"),
                   queryText(key, u"VoiceData"),
                   queryText(key, u"VoiceWord"),
                   {},
                   {}};
    RegKey attributes;
    if (platform::regOpenKey(RegRoot::LocalMachine, tokenPath(info.name) + u"\\Attributes", attributes) ==
        ERROR_SUCCESS) {
      info.language = queryText(attributes, u"Language");
      info.gender = queryText(attributes, u"Gender");
    }
    voices.push_back(std::move(info));
  }
  return {};
}

HRESULT openVoiceToken(const std::string& name, ISpObjectToken** token, std::string& error) {
  *token = nullptr;
  std::vector<VoiceInfo> voices;
  error = listVoices(voices);
  if (!error.empty()) return E_FAIL;
  const std::string wanted = name.empty() ? kDefaultVoiceName : name;
  const std::u16string wanted16 = platform::utf8ToUtf16(wanted);
  const auto startsWith = [&wanted16](const std::string& text) {
    const std::u16string text16 = platform::utf8ToUtf16(text);
    return text16.size() >= wanted16.size() &&
           platform::equalsIgnoreAsciiCase(std::u16string_view(text16).substr(0, wanted16.size()), wanted16);
  };
  // A whole name wins over a start; a start must pick out one voice.
  const VoiceInfo* found = nullptr;
  std::vector<const VoiceInfo*> starts;
  for (const VoiceInfo& v : voices) {
    if (platform::equalsIgnoreAsciiCase(platform::utf8ToUtf16(v.name), wanted16) ||
        platform::equalsIgnoreAsciiCase(platform::utf8ToUtf16(v.displayName), wanted16)) {
      found = &v;
      break;
    }
    if (!name.empty() && (startsWith(v.name) || startsWith(v.displayName))) starts.push_back(&v);
  }
  if (found == nullptr && starts.size() == 1) found = starts.front();
  if (found != nullptr) {
    const HRESULT hr = RegistryToken::open(RegRoot::LocalMachine, tokenPath(found->name), false, token);
    if (FAILED(hr)) error = "cannot open the token of voice '" + found->name + "'";
    return hr;
  }
  if (starts.size() > 1) {
    error = "'" + name + "' could be any of";
    for (std::size_t i = 0; i < starts.size(); ++i) error += (i > 0 ? ", '" : " '") + starts[i]->displayName + "'";
    error += "; give more of the name";
  } else if (name.empty()) {
    error = "the default voice is not installed (run scripts/setup.sh, or sonvale voice install " +
            std::string(kDefaultVoiceName) + " DIR)";
  } else {
    error = "no voice called '" + name + "' is installed (sonvale voices lists them)";
  }
  return SPERR_NOT_FOUND;
}

std::string languageTag(const std::string& langIdHex) {
  // The languages a voice of this engine is made for.
  if (platform::equalsIgnoreAsciiCase(platform::utf8ToUtf16(langIdHex), u"C04")) return "zh-HK";
  return langIdHex;
}

std::string installVoice(const std::string& name, const std::string& displayName, const std::string& dir) {
  if (name.empty() || name.find('\\') != std::string::npos) return "a voice name may not be empty or hold '\\'";
  // Paths go through UTF-16, which std::filesystem reads as Unicode
  // everywhere (a narrow string is the ANSI code page on Windows).
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::absolute(platform::utf8ToUtf16(dir), ec);
  if (ec) return "cannot resolve " + dir;
  std::string files[3];
  const char* const names[3] = {voice::kVoiceDefFileName, voice::kVoiceDataFileName, voice::kVoiceWordFileName};
  for (int i = 0; i < 3; ++i) {
    const std::filesystem::path file = folder / names[i];
    files[i] = platform::utf16ToUtf8(file.u16string());
    if (!std::filesystem::is_regular_file(file, ec)) return files[i] + ": no such voice file";
  }

  // Values are overwritten in place: the voice's settings below its token stay.
  const std::u16string path = tokenPath(name);
  RegKey key, attributes;
  LONG error = platform::regCreateKey(RegRoot::LocalMachine, path, key);
  const std::pair<const char16_t*, std::string> values[] = {
      {u"", displayName.empty() ? name : displayName},
      {u"CLSID", clsidText()},
      {u"VoiceDef", files[0]},
      {u"VoiceData", files[1]},
      {u"VoiceWord", files[2]},
  };
  for (const auto& [valueName, value] : values)
    if (error == ERROR_SUCCESS) error = platform::regSetString(key, valueName, platform::utf8ToUtf16(value));
  if (error == ERROR_SUCCESS) error = platform::regCreateKey(RegRoot::LocalMachine, path + u"\\Attributes", attributes);
  const std::pair<const char16_t*, const char16_t*> attrs[] = {
      {u"Name", nullptr}, {u"Gender", u"Female"}, {u"Age", u"Adult"}, {u"Language", u"C04"}, {u"Vendor", u"Sonvale"}};
  for (const auto& [attr, value] : attrs) {
    if (error != ERROR_SUCCESS) break;
    error = platform::regSetString(
        attributes, attr,
        value != nullptr ? std::u16string(value) : platform::utf8ToUtf16(displayName.empty() ? name : displayName));
  }
  // The class that shows the voice's settings: SAPI offers "Settings..." for
  // a token whose UI\EngineProperties key names one. The settings themselves
  // are values of the same key and are left as they are.
  RegKey ui;
  if (error == ERROR_SUCCESS)
    error = platform::regCreateKey(RegRoot::LocalMachine, path + u"\\UI\\EngineProperties", ui);
  if (error == ERROR_SUCCESS)
    error = platform::regSetString(ui, u"CLSID", platform::utf8ToUtf16(clsidText(server::CLSID_KelvaneUI)));
  return error == ERROR_SUCCESS ? std::string() : registryError(error);
}

std::string removeVoice(const std::string& name) {
  const LONG error = platform::regDeleteTree(RegRoot::LocalMachine, tokenPath(name));
  if (error == ERROR_FILE_NOT_FOUND) return "no voice called '" + name + "' is installed";
  // Held by the machine-wide store alone, which a user's registry only reads.
  if (error == ERROR_ACCESS_DENIED && platform::registryStorePath() != platform::machineRegistryStorePath())
    return "voice '" + name + "' is installed for every user; only root can remove it, with --system";
  return error == ERROR_SUCCESS ? std::string() : registryError(error);
}

}  // namespace sonvale::host
