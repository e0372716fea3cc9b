// Loading a voice: the token names three files, each mapped read-only for the
// engine's life. VoiceDef must carry its format and identity, and every unit
// entry must lie inside VoiceData and within the unit limits, so that
// speaking never meets a format error; VoiceWord must carry its identity.
#include <new>
#include <string>

#include "engine/engine.h"
#include "platform/le_bytes.h"
#include "platform/utf.h"
#include "ui/ui.h"

namespace sonvale {

namespace {

std::string win32Message(LONG error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return "file not found";
    case ERROR_PATH_NOT_FOUND:
      return "path not found";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_FILE_INVALID:
      return "the file is empty";
    case ERROR_NOT_ENOUGH_MEMORY:
      return "not enough memory";
    default:
      return "Win32 error " + std::to_string(error);
  }
}

// Reads the token's path value `name` and maps that file; `label` becomes the
// file's name in messages ("VoiceDef file '/path'").
HRESULT mapTokenFile(ISpDataKey& token, const char16_t* name, platform::MappedFile& file, std::string& label,
                     std::string& error) {
  label = platform::utf16ToUtf8(name);
  LPWSTR value = nullptr;
  const HRESULT hr = token.GetStringValue(name, &value);
  if (FAILED(hr)) {
    error = "the voice token has no " + label + " value";
    return hr;
  }
  const std::string path = value != nullptr ? platform::utf16ToUtf8(value) : std::string();
  CoTaskMemFree(value);
  label += " file '" + path + "'";
  const LONG result = file.open(path);
  if (result != ERROR_SUCCESS) {
    error = label + ": " + win32Message(result);
    return HRESULT_FROM_WIN32(result);
  }
  return S_OK;
}

}  // namespace

HRESULT Engine::refuseVoice(std::string error, bool warnUser) {
  voiceError_ = std::move(error);
  if (warnUser) ui::showWarning(ui::UserWarning::VoiceDamaged, voiceError_);
  return E_INVALIDARG;
}

HRESULT Engine::loadVoice(ISpDataKey& token, bool warnUser) {
  voiceError_.clear();
  std::string defLabel, dataLabel, wordLabel;
  HRESULT hr = mapTokenFile(token, u"VoiceDef", voiceDef_, defLabel, voiceError_);
  if (SUCCEEDED(hr)) hr = mapTokenFile(token, u"VoiceData", voiceData_, dataLabel, voiceError_);
  if (SUCCEEDED(hr)) hr = mapTokenFile(token, u"VoiceWord", voiceWord_, wordLabel, voiceError_);
  // An empty file is the commonest damage (a copy or a download cut short):
  // the user is told to install the voice again, whichever file it is.
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_INVALID) && warnUser)
    ui::showWarning(ui::UserWarning::VoiceDamaged, voiceError_);
  if (FAILED(hr)) return hr;

  // A file that is not this system's VoiceDef, whether its format or its
  // identity says so, is damage the user can mend by installing again.
  const ByteReader def(voiceDef_.bytes());
  std::uint32_t format = 0;
  if (!def.u32le(0, format)) {
    return refuseVoice(defLabel + ": " + std::to_string(voiceDef_.bytes().size()) +
                           " bytes, too short for the format field (expected 2)",
                       warnUser);
  }
  if (format != voice::kVoiceDefFormat)
    return refuseVoice(defLabel + ": format " + std::to_string(format) + ", expected 2", warnUser);
  if (!voice::hasVoiceDefIdentity(voiceDef_.bytes()))
    return refuseVoice(defLabel + ": the voice identity at byte 4 is not " + std::string(voice::kVoiceDefId), warnUser);
  hr = checkUnits(defLabel, warnUser);
  if (FAILED(hr)) return hr;

  if (!voice::hasDictIdentity(voiceWord_.bytes())) {
    return refuseVoice(wordLabel + ": the dictionary identity at byte 12 is not " + std::string(voice::kDictId),
                       warnUser);
  }
  dictionary_.attach(voiceWord_.bytes());
  synthesizer_.attach(&units_, voiceData_.bytes());
  return S_OK;
}

// Copies the unit table, refusing a table that is cut short or an entry
// whose coded audio does not lie inside VoiceData or exceeds a unit's limit.
HRESULT Engine::checkUnits(const std::string& defLabel, bool warnUser) {
  const std::size_t defBytes = voiceDef_.bytes().size();
  if (defBytes < voice::kVoiceDefBytes) {
    return refuseVoice(defLabel + ": " + std::to_string(defBytes) + " bytes, the unit table needs " +
                           std::to_string(voice::kVoiceDefBytes),
                       warnUser);
  }
  std::vector<voice::UnitEntry> units;
  try {
    units.resize(voice::kUnitCount);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  const std::uint64_t dataBytes = voiceData_.bytes().size();
  for (std::uint32_t u = 0; u < voice::kUnitCount; ++u) {
    voice::UnitEntry& e = units[u];
    voice::readUnitEntry(voiceDef_.bytes(), u, e);
    const std::uint64_t end = static_cast<std::uint64_t>(e.offset) + e.length;
    if (e.length > voice::kMaxCodedUnitBytes || end > dataBytes) {
      return refuseVoice(defLabel + ": unit " + std::to_string(u) + " takes bytes " + std::to_string(e.offset) + ".." +
                             std::to_string(end) + " of VoiceData, which holds " + std::to_string(dataBytes) +
                             " bytes (a unit may take at most " + std::to_string(voice::kMaxCodedUnitBytes) + ")",
                         warnUser);
    }
  }
  units_ = std::move(units);
  return S_OK;
}

}  // namespace sonvale
