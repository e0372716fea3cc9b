// The module's exported entry points and its load and unload, for a shared
// library on a POSIX system. Loading stands for Windows' process attach: the
// module keeps its own full path (from the dynamic linker, made absolute),
// which registration writes as the InprocServer32 path. Unloading stands for
// process detach: the cached class objects are released.
//
// Only the four entry points are exported (module_exports.map); everything
// else, the engine included, stays private to the module.
#include <dlfcn.h>

#include <filesystem>
#include <string>

#include "platform/com.h"
#include "platform/utf.h"
#include "server/class_table.h"
#include "server/module_state.h"

#define SONVALE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const char moduleAnchor = 0;  // an address inside the module, for dladdr

// Made on first use, which is the load: a namespace-scope string would be
// initialised after the load function has run, and lose what it wrote.
std::u16string& modulePath() {
  static std::u16string path;
  return path;
}

std::u16string findModulePath() {
  Dl_info info{};
  if (dladdr(&moduleAnchor, &info) == 0 || info.dli_fname == nullptr || *info.dli_fname == '\0') return {};
  // The dynamic linker reports the path the module was loaded by, which is
  // relative when the loader named it so; the working directory is the one
  // it was resolved against.
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(info.dli_fname, ec);
  if (ec) return {};
  return sonvale::platform::utf8ToUtf16(path.lexically_normal().string());
}

__attribute__((constructor)) void attachModule() {
  try {
    modulePath() = findModulePath();
  } catch (...) {
    modulePath().clear();
  }
}

__attribute__((destructor)) void detachModule() { sonvale::server::releaseClassObjects(); }

}  // namespace

// S_OK when nothing holds the module (no object alive, no server lock, no
// class object held by a client), else S_FALSE.
SONVALE_EXPORT HRESULT DllCanUnloadNow() { return sonvale::server::moduleLockCount() == 0 ? S_OK : S_FALSE; }

SONVALE_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  return sonvale::server::getClassObject(rclsid, riid, ppv);
}

// E_UNEXPECTED when the module could not learn its own path when loaded.
SONVALE_EXPORT HRESULT DllRegisterServer() {
  if (modulePath().empty()) return E_UNEXPECTED;
  return sonvale::server::registerServer(modulePath());
}

SONVALE_EXPORT HRESULT DllUnregisterServer() { return sonvale::server::unregisterServer(modulePath()); }
