// The module's exported entry points and DllMain, for Sonvale.dll on Windows.
// Process attach keeps the instance handle, from which the module learns its
// own full path (registration writes it as the InprocServer32 path) and
// finds its TYPELIB resource; thread notifications are switched off. Process
// detach releases the cached class objects.
//
// Sonvale.def exports the four entry points by name and nothing else.
#include "platform/com.h"
#include "platform/win32_api.h"
#include "server/class_table.h"
#include "server/module_state.h"

namespace {

constexpr DWORD kProcessDetach = 0;
constexpr DWORD kProcessAttach = 1;

}  // namespace

// The class objects hold nothing but their own memory, so releasing them is
// safe also when the whole process is ending.
extern "C" BOOL __stdcall DllMain(void* instance, DWORD reason, void*) {
  if (reason == kProcessAttach) {
    sonvale::platform::win32::attachModule(instance);
  } else if (reason == kProcessDetach) {
    sonvale::server::releaseClassObjects();
  }
  return 1;
}

// S_OK when nothing holds the module (no object alive, no server lock, no
// class object held by a client), else S_FALSE.
extern "C" HRESULT __stdcall DllCanUnloadNow() { return sonvale::server::moduleLockCount() == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  return sonvale::server::getClassObject(rclsid, riid, ppv);
}

// E_UNEXPECTED when the module's path cannot be found or does not fit
// MAX_PATH.
extern "C" HRESULT __stdcall DllRegisterServer() {
  try {
    const std::u16string path = sonvale::platform::win32::modulePath();
    if (path.empty()) return E_UNEXPECTED;
    return sonvale::server::registerServer(path);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

extern "C" HRESULT __stdcall DllUnregisterServer() {
  try {
    return sonvale::server::unregisterServer(sonvale::platform::win32::modulePath());
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
