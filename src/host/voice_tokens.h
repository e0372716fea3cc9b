// Voices installed on this machine, as SAPI keeps them: one token key a voice
// under HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Speech\Voices\Tokens, holding the
// engine's CLSID, a display name (the default value) and the paths of the
// voice's three files.
#pragma once

#include <string>
#include <vector>

#include "platform/sapi.h"

namespace sonvale::host {

// The default voice's token key; its engine settings live below it.
inline constexpr char kDefaultVoiceName[] = "REZuroruRadarorud";
inline constexpr char kDefaultVoiceDisplayName[] = "Sonvale Cantonese (Hong Kong) - female";

struct VoiceInfo {
  std::string name;         // the token key
  std::string displayName;  // the token's default value
  std::string voiceDef, voiceData, voiceWord;
  std::string language;  // Attributes\\Language: the LANGID in hex ("C04"), "" when not set
  std::string gender;    // Attributes\\Gender ("Female"), "" when not set
};

// A language for people: "zh-HK" for the LANGID text "C04", else the text itself.
std::string languageTag(const std::string& langIdHex);

// The voices whose token names this engine's CLSID, in installation order.
// Returns an empty string, or what went wrong reading the registry.
std::string listVoices(std::vector<VoiceInfo>& voices);

// Opens the token of the voice called `name` (its key or its display name,
// letter case ignored, or the start of exactly one of them); an empty name is
// the default voice. On failure
// returns SPERR_NOT_FOUND or the registry's error, with `error` saying which.
HRESULT openVoiceToken(const std::string& name, ISpObjectToken** token, std::string& error);

// Writes the token of voice `name` for the files voice.def, voice.dat and
// voice.wrd in `dir` (made absolute), with its attributes and the CLSID of
// the settings class under UI\EngineProperties. An earlier token of that name
// is updated in place, so the voice's settings below it stay.
std::string installVoice(const std::string& name, const std::string& displayName, const std::string& dir);

// Removes the token of voice `name`.
std::string removeVoice(const std::string& name);

}  // namespace sonvale::host
