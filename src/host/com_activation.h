// Activation of in-process COM servers in the Linux host, as COM does it: a
// CLSID's HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32 names the module, the
// module is loaded and its DllGetClassObject gives the class object, whose
// CreateInstance makes the object.
#pragma once

#include <string>

#include "platform/com.h"

namespace sonvale::host {

// One loaded in-process server module. Objects made from it must be released
// before it is; releasing it asks the module's DllCanUnloadNow and closes the
// module's handle only when that says S_OK (otherwise the module stays
// loaded, as COM keeps a module that is still in use). The module's code is
// never unmapped once loaded, so its process-lifetime caches stay valid.
class InprocServer {
 public:
  InprocServer() = default;
  InprocServer(const InprocServer&) = delete;
  InprocServer& operator=(const InprocServer&) = delete;
  ~InprocServer() { release(); }

  // Loads the module registered for `clsid`. Returns S_OK; REGDB_E_CLASSNOTREG
  // when the CLSID has no InprocServer32 path; HRESULT_FROM_WIN32 of a
  // registry failure; CO_E_DLLNOTFOUND when the module cannot be loaded;
  // CO_E_ERRORINDLL when it lacks DllGetClassObject. `error` says what
  // happened in one line.
  HRESULT loadFor(REFCLSID clsid, std::string& error);

  // Loads the module file at `path` (UTF-8) directly; same results as loadFor
  // without the registry ones.
  HRESULT loadFile(const std::string& path, std::string& error);

  // DllGetClassObject(clsid, IClassFactory), CreateInstance(outer, riid, ppv)
  // and the class object's release, in that order. E_UNEXPECTED when nothing
  // is loaded.
  HRESULT createInstance(REFCLSID clsid, IUnknown* outer, REFIID riid, void** ppv);

  // The module's DllRegisterServer or DllUnregisterServer; CO_E_ERRORINDLL
  // when the module does not export it, E_UNEXPECTED when nothing is loaded.
  HRESULT registerServer();
  HRESULT unregisterServer();

  // The module's DllCanUnloadNow; S_FALSE when it has none.
  HRESULT canUnloadNow() const;

  // Closes the module's handle when DllCanUnloadNow says S_OK, and forgets
  // the module either way. Returns whether the handle was closed.
  bool release();

  bool loaded() const { return handle_ != nullptr; }
  const std::string& path() const { return path_; }

 private:
  using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
  using CanUnloadNowFn = HRESULT (*)();
  using RegisterFn = HRESULT (*)();

  void* handle_ = nullptr;
  std::string path_;
  GetClassObjectFn getClassObject_ = nullptr;
  CanUnloadNowFn canUnloadNow_ = nullptr;
  RegisterFn register_ = nullptr;
  RegisterFn unregister_ = nullptr;
};

// COM's results for activation.
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x800401F8u);
constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9u);

// The registry key of a CLSID's module path: CLSID\{...}\InprocServer32.
std::u16string inprocServerKey(REFCLSID clsid);

}  // namespace sonvale::host
