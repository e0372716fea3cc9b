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

// Reads the token's path value `name` and maps that file.
HRESULT mapTokenFile(ISpDataKey& token, const char16_t* name, platform::MappedFile& file, std::string& error) {
  const std::string label = platform::utf16ToUtf8(name);
  LPWSTR value = nullptr;
  const HRESULT hr = token.GetStringValue(name, &value);
  if (FAILED(hr)) {
    error = "the voice token has no " + label + " value";
    return hr;
  }
  const std::string path = value != nullptr ? platform::utf16ToUtf8(value) : std::string();
  CoTaskMemFree(value);
  const LONG result = file.open(path);
  if (result != ERROR_SUCCESS) {
    error = label + " file '" + path + "': " + win32Message(result);
    return HRESULT_FROM_WIN32(result);
  }
  return S_OK;
}

}  // namespace

HRESULT Engine::loadVoice(ISpDataKey& token) {
  voiceError_.clear();
  HRESULT hr = mapTokenFile(token, u"VoiceDef", voiceDef_, voiceError_);
  if (SUCCEEDED(hr)) hr = mapTokenFile(token, u"VoiceData", voiceData_, voiceError_);
  if (SUCCEEDED(hr)) hr = mapTokenFile(token, u"VoiceWord", voiceWord_, voiceError_);
  if (FAILED(hr)) return hr;

  const ByteReader def(voiceDef_.bytes());
  std::uint32_t format = 0;
  if (!def.u32le(0, format) || format != voice::kVoiceDefFormat) {
    voiceError_ = "VoiceDef: format " + std::to_string(format) + ", expected 2";
    return E_INVALIDARG;
  }
  if (!voice::hasVoiceDefIdentity(voiceDef_.bytes())) {
    voiceError_ = "VoiceDef: the voice identity at byte 4 is not " + std::string(voice::kVoiceDefId);
    ui::showWarning(ui::UserWarning::VoiceDamaged, voiceError_);
    return E_INVALIDARG;
  }
  hr = checkUnits();
  if (FAILED(hr)) return hr;

  if (!voice::hasDictIdentity(voiceWord_.bytes())) {
    voiceError_ = "VoiceWord: the dictionary identity at byte 12 is not " + std::string(voice::kDictId);
    ui::showWarning(ui::UserWarning::VoiceDamaged, voiceError_);
    return E_INVALIDARG;
  }
  dictionary_.attach(voiceWord_.bytes());
  synthesizer_.attach(&units_, voiceData_.bytes());
  return S_OK;
}

// Copies the unit table, refusing a table that is cut short or an entry
// whose coded audio does not lie inside VoiceData or exceeds a unit's limit.
HRESULT Engine::checkUnits() {
  const std::size_t defBytes = voiceDef_.bytes().size();
  if (defBytes < voice::kVoiceDefBytes) {
    voiceError_ = "VoiceDef: " + std::to_string(defBytes) + " bytes, the unit table needs " +
                  std::to_string(voice::kVoiceDefBytes);
    ui::showWarning(ui::UserWarning::VoiceDamaged, voiceError_);
    return E_INVALIDARG;
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
      voiceError_ = "VoiceDef: unit " + std::to_string(u) + " takes bytes " + std::to_string(e.offset) + ".." +
                    std::to_string(end) + " of VoiceData, which holds " + std::to_string(dataBytes) +
                    " bytes (a unit may take at most " + std::to_string(voice::kMaxCodedUnitBytes) + ")";
      ui::showWarning(ui::UserWarning::VoiceDamaged, voiceError_);
      return E_INVALIDARG;
    }
  }
  units_ = std::move(units);
  return S_OK;
}

}  // namespace sonvale
