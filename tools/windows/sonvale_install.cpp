// Installs Sonvale on Windows from the folder it was unpacked to: registers
// Sonvale.dll (next to this program) as the speech engine and makes the voice
// in the voice folder beside it the token that every speech program lists.
//
//   sonvale-install            register the engine and install the voice
//   sonvale-install /u         remove the voice and unregister the engine
//   sonvale-install /voice DIR install the voice files in DIR instead
//
// Both write under HKEY_LOCAL_MACHINE, so they need an administrator's rights.
// Exits 0 when everything was done; says what failed otherwise. Arguments are
// taken as UTF-16 (wmain), so a folder named in any script is found whatever
// the system's ANSI code page.
#include <cstdio>
#include <string>

#include "host/voice_tokens.h"
#include "platform/com.h"
#include "platform/utf.h"
#include "platform/win32_api.h"

namespace {

using sonvale::platform::utf16ToUtf8;
namespace win32 = sonvale::platform::win32;

constexpr HRESULT kAccessDenied = HRESULT_FROM_WIN32(5);  // ERROR_ACCESS_DENIED

std::u16string programFolder() {
  const std::u16string path = win32::modulePath();
  const std::size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? std::u16string(u".") : path.substr(0, slash);
}

int usage() {
  std::fprintf(stderr,
               "usage: sonvale-install [/u] [/voice DIR]\n"
               "  registers Sonvale.dll next to this program and installs the voice in its voice folder\n"
               "  /u          removes the voice and unregisters Sonvale.dll\n"
               "  /voice DIR  installs the voice files (voice.def, voice.dat, voice.wrd) in DIR\n");
  return 2;
}

bool succeeded(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return true;
  std::fprintf(stderr, "sonvale-install: %s failed (HRESULT 0x%08X)%s\n", what, static_cast<unsigned>(hr),
               hr == kAccessDenied ? ": run it as an administrator" : "");
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16 code units");
  bool remove = false;
  std::u16string voiceDir = programFolder() + u"\\voice";
  for (int i = 1; i < argc; ++i) {
    const std::u16string arg(reinterpret_cast<const char16_t*>(argv[i]));
    if (arg == u"/u" || arg == u"-u") {
      remove = true;
    } else if ((arg == u"/voice" || arg == u"--voice") && i + 1 < argc) {
      voiceDir = reinterpret_cast<const char16_t*>(argv[++i]);
    } else {
      return usage();
    }
  }
  const std::u16string module = programFolder() + u"\\Sonvale.dll";
  const std::string name = sonvale::host::kDefaultVoiceName;

  if (remove) {
    const std::string problem = sonvale::host::removeVoice(name);
    if (!problem.empty()) std::fprintf(stderr, "sonvale-install: %s\n", problem.c_str());
    if (!succeeded(win32::callModuleEntry(module.c_str(), "DllUnregisterServer"), "unregistering Sonvale.dll"))
      return 1;
    std::printf("removed the voice %s and unregistered %s\n", name.c_str(), utf16ToUtf8(module).c_str());
    return 0;
  }

  if (!succeeded(win32::callModuleEntry(module.c_str(), "DllRegisterServer"), "registering Sonvale.dll")) return 1;
  const std::string problem =
      sonvale::host::installVoice(name, sonvale::host::kDefaultVoiceDisplayName, utf16ToUtf8(voiceDir));
  if (!problem.empty()) {
    std::fprintf(stderr, "sonvale-install: installing the voice: %s\n", problem.c_str());
    return 1;
  }
  std::printf("registered %s\ninstalled the voice \"%s\" from %s\n", utf16ToUtf8(module).c_str(),
              sonvale::host::kDefaultVoiceDisplayName, utf16ToUtf8(voiceDir).c_str());
  return 0;
}
