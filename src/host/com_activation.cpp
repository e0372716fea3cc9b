#include "host/com_activation.h"

#include <dlfcn.h>

#include <new>

#include "platform/registry.h"
#include "platform/utf.h"

namespace sonvale::host {

namespace {

std::string guidText(REFCLSID clsid) {
  char text[39];
  platform::formatGuid(clsid, text);
  return text;
}

// dlsym's object pointer as the function pointer it is.
template <typename Fn>
Fn lookUp(void* handle, const char* name) {
  return reinterpret_cast<Fn>(dlsym(handle, name));
}

}  // namespace

std::u16string inprocServerKey(REFCLSID clsid) {
  return u"CLSID\\" + platform::utf8ToUtf16(guidText(clsid)) + u"\\InprocServer32";
}

HRESULT InprocServer::loadFor(REFCLSID clsid, std::string& error) {
  try {
    platform::RegKey key;
    std::u16string path;
    LONG result = platform::regOpenKey(platform::RegRoot::ClassesRoot, inprocServerKey(clsid), key);
    if (result == ERROR_SUCCESS) result = platform::regQueryString(key, u"", path);
    if (result == ERROR_FILE_NOT_FOUND || (result == ERROR_SUCCESS && path.empty())) {
      error = "class " + guidText(clsid) + " is not registered";
      return REGDB_E_CLASSNOTREG;
    }
    if (result != ERROR_SUCCESS) {
      error = "cannot read the registration of class " + guidText(clsid) + " (registry error " +
              std::to_string(result) + " in " + platform::registryStorePath() + ")";
      return HRESULT_FROM_WIN32(result);
    }
    return loadFile(platform::utf16ToUtf8(path), error);
  } catch (const std::bad_alloc&) {
    error = "out of memory";
    return E_OUTOFMEMORY;
  }
}

HRESULT InprocServer::loadFile(const std::string& path, std::string& error) {
  try {
    release();
    // The module's code stays mapped after its last handle is closed: the
    // engine keeps caches for the life of the process (the time-scale
    // step's transform plans), which unmapping would lose and leak.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
      const char* why = dlerror();
      // The loader's message starts with the path it tried.
      error = "cannot load the module " + (why != nullptr ? std::string(why) : path);
      return CO_E_DLLNOTFOUND;
    }
    const auto getClassObject = lookUp<GetClassObjectFn>(handle, "DllGetClassObject");
    if (getClassObject == nullptr) {
      dlclose(handle);
      error = "the module " + path + " is not an in-process server: it has no DllGetClassObject";
      return CO_E_ERRORINDLL;
    }
    handle_ = handle;
    path_ = path;
    getClassObject_ = getClassObject;
    canUnloadNow_ = lookUp<CanUnloadNowFn>(handle, "DllCanUnloadNow");
    register_ = lookUp<RegisterFn>(handle, "DllRegisterServer");
    unregister_ = lookUp<RegisterFn>(handle, "DllUnregisterServer");
    return S_OK;
  } catch (const std::bad_alloc&) {
    error = "out of memory";
    return E_OUTOFMEMORY;
  }
}

HRESULT InprocServer::createInstance(REFCLSID clsid, IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (getClassObject_ == nullptr) return E_UNEXPECTED;
  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject_(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  if (factory == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
  hr = factory->CreateInstance(outer, riid, ppv);
  factory->Release();
  return hr;
}

HRESULT InprocServer::registerServer() {
  if (handle_ == nullptr) return E_UNEXPECTED;
  return register_ != nullptr ? register_() : CO_E_ERRORINDLL;
}

HRESULT InprocServer::unregisterServer() {
  if (handle_ == nullptr) return E_UNEXPECTED;
  return unregister_ != nullptr ? unregister_() : CO_E_ERRORINDLL;
}

HRESULT InprocServer::canUnloadNow() const { return canUnloadNow_ != nullptr ? canUnloadNow_() : S_FALSE; }

bool InprocServer::release() {
  if (handle_ == nullptr) return false;
  // A module still in use stays loaded for the rest of the process: its
  // objects' code must not go away under them.
  const bool unload = canUnloadNow() == S_OK;
  if (unload) dlclose(handle_);
  handle_ = nullptr;
  path_.clear();
  getClassObject_ = nullptr;
  canUnloadNow_ = nullptr;
  register_ = unregister_ = nullptr;
  return unload;
}

}  // namespace sonvale::host
