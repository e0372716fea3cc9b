#include "server/class_table.h"

#include <atomic>
#include <mutex>
#include <new>

#include "engine/kelvane_obj.h"
#include "server/class_factory.h"
#include "server/kelvane_ui.h"
#include "server/module_state.h"
#include "server/type_library.h"

namespace sonvale::server {

namespace {

HRESULT createEngine(IUnknown* outer, REFIID riid, void** ppv) {
  return KelvaneObj::create(outer, riid, ppv, countObject);
}

HRESULT createUi(IUnknown* outer, REFIID riid, void** ppv) { return KelvaneUI::create(outer, riid, ppv, countObject); }

struct ClassRow {
  ClassRegistration registration;
  CreateFunction create;
  std::atomic<ClassFactory*> classObject{nullptr};
};

ClassRow classTable[] = {
    {{CLSID_KelvaneObj, u"KelvaneObj", u"Both", false}, createEngine},
    {{CLSID_KelvaneUI, u"KelvaneUI", u"both", true}, createUi},
};

std::mutex classObjectLock;

}  // namespace

HRESULT getClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  for (ClassRow& row : classTable) {
    if (row.registration.clsid != rclsid) continue;
    ClassFactory* factory = row.classObject.load(std::memory_order_acquire);
    if (factory == nullptr) {
      const std::lock_guard<std::mutex> lock(classObjectLock);
      factory = row.classObject.load(std::memory_order_acquire);
      if (factory == nullptr) {
        factory = ClassFactory::make(row.create);
        if (factory == nullptr) return E_OUTOFMEMORY;
        row.classObject.store(factory, std::memory_order_release);
      }
    }
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    if (SUCCEEDED(hr) && *ppv == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

void releaseClassObjects() {
  for (ClassRow& row : classTable) {
    ClassFactory* factory = row.classObject.exchange(nullptr);
    if (factory != nullptr) factory->Release();
  }
}

HRESULT registerServer(std::u16string_view modulePath, const StepRunner& run) {
  // A path cut to fit would register a module that does not exist.
  if (modulePath.size() >= kMaxPath) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  try {
    for (const ClassRow& row : classTable) {
      const HRESULT hr = runScript(classRegistrationScript(row.registration, modulePath), run);
      if (FAILED(hr)) return hr;
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return registerTypeLibrary(embeddedTypeLibrary(), modulePath, run);
}

HRESULT unregisterServer(std::u16string_view modulePath, const StepRunner& run) {
  try {
    for (const ClassRow& row : classTable) {
      const HRESULT hr = runScript(classRemovalScript(row.registration), run);
      if (FAILED(hr)) return hr;
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return unregisterTypeLibrary(embeddedTypeLibrary(), modulePath, run);
}

}  // namespace sonvale::server
