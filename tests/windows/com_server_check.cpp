// Checks the registered Sonvale.dll as a client of the system's COM sees it:
// activation through CoCreateInstance and CoGetClassObject, the interfaces
// each class answers, aggregation, DllCanUnloadNow while objects, class
// objects and server locks are held, both apartment kinds, the registered
// module path and the registered type library.
//
// Run after `regsvr32 Sonvale.dll` (scripts/test_windows.sh does). Prints one
// line per check and exits with the number of failed checks (0: all passed).
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

// The speech interfaces the checks call, in the published method order. They
// live outside the anonymous namespace on purpose: for a class of internal
// linkage GCC knows every implementation, finds none in this file, and would
// take a call through these interfaces for unreachable code.
struct ISpObjectWithToken : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetObjectToken(IUnknown* pToken) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObjectToken(IUnknown** ppToken) = 0;
};

struct ISpTokenUI : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE IsUISupported(LPCWSTR pszTypeOfUI, void* pvExtraData, ULONG cbExtraData,
                                                  IUnknown* punkObject, BOOL* pfSupported) = 0;
};

namespace {

// ---- the classes and interfaces under test ---------------------------------

const CLSID kClsidEngine = {0x4197759E, 0x4B4C, 0x4DC9, {0xB9, 0xB7, 0x13, 0xB5, 0xE8, 0x91, 0x25, 0xA7}};
const CLSID kClsidUi = {0x82B88068, 0xDFB4, 0x4284, {0xA3, 0xF4, 0xC3, 0x88, 0xB2, 0xEA, 0xB6, 0x65}};
const CLSID kClsidUnknown = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const GUID kLibId = {0x29A849BC, 0xAF2B, 0x4490, {0xBA, 0x41, 0x89, 0x8B, 0xDA, 0x7A, 0xD0, 0x3F}};
const IID kIidTtsEngine = {0xA74D7C8E, 0x4CC5, 0x4F2F, {0xA6, 0xEB, 0x80, 0x4D, 0xEE, 0x18, 0x50, 0x0E}};
const IID kIidObjectWithToken = {0x5B559F40, 0xE952, 0x11D2, {0xBB, 0x91, 0x00, 0xC0, 0x4F, 0x8E, 0xE6, 0xC0}};
const IID kIidTokenUi = {0xF8E690F0, 0x39CB, 0x4843, {0xB8, 0xD7, 0xC8, 0x46, 0x96, 0xE1, 0x11, 0x9D}};

using DllCanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// ---- a tiny check harness --------------------------------------------------

struct Outcome {
  std::vector<std::string> failures;

  void expect(bool condition, const std::string& what) {
    if (!condition) failures.push_back(what);
  }
  void expectHr(HRESULT actual, HRESULT expected, const std::string& what) {
    if (actual != expected) {
      char text[160];
      std::snprintf(text, sizeof text, "%s: 0x%08lX, expected 0x%08lX", what.c_str(),
                    static_cast<unsigned long>(actual), static_cast<unsigned long>(expected));
      failures.emplace_back(text);
    }
  }
};

struct Check {
  const char* name;
  void (*run)(Outcome& out);
};

HMODULE module() { return GetModuleHandleW(L"Sonvale.dll"); }

// The module's own DllCanUnloadNow, of the copy COM loaded.
HRESULT canUnloadNow() {
  HMODULE dll = module();
  if (dll == nullptr) return E_UNEXPECTED;
  const auto fn = reinterpret_cast<DllCanUnloadNowFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllCanUnloadNow")));
  return fn != nullptr ? fn() : E_UNEXPECTED;
}

DllGetClassObjectFn getClassObjectExport() {
  HMODULE dll = module();
  if (dll == nullptr) return nullptr;
  return reinterpret_cast<DllGetClassObjectFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllGetClassObject")));
}

template <typename T>
void release(T*& p) {
  if (p != nullptr) p->Release();
  p = nullptr;
}

// An outer object for aggregation: answers IUnknown itself and hands every
// other interface to the inner object's own unknown.
class Outer : public IUnknown {
 public:
  IUnknown* inner = nullptr;
  LONG refs = 1;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    if (inner == nullptr) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    return inner->QueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
};

std::wstring inprocServerPath(REFCLSID clsid) {
  wchar_t guid[40];
  StringFromGUID2(clsid, guid, 40);
  const std::wstring key = std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
  wchar_t path[MAX_PATH + 1] = {};
  DWORD size = sizeof path;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &size) != ERROR_SUCCESS)
    return {};
  return path;
}

std::string narrow(const wchar_t* text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
  return out;
}

// ---- the checks --------------------------------------------------------------

void sameClassObjectTwice(Outcome& out) {
  IClassFactory* first = nullptr;
  IClassFactory* second = nullptr;
  out.expectHr(CoGetClassObject(kClsidUi, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&first)),
               S_OK, "first CoGetClassObject(KelvaneUI)");
  out.expectHr(CoGetClassObject(kClsidUi, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&second)),
               S_OK, "second CoGetClassObject(KelvaneUI)");
  out.expect(first != nullptr && first == second, "the two requests give the same class object");
  release(first);
  release(second);
}

void unknownClassLeavesNull(Outcome& out) {
  const DllGetClassObjectFn getClassObject = getClassObjectExport();
  out.expect(getClassObject != nullptr, "Sonvale.dll is loaded and exports DllGetClassObject");
  if (getClassObject == nullptr) return;
  void* object = reinterpret_cast<void*>(1);
  out.expectHr(getClassObject(kClsidUnknown, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE,
               "DllGetClassObject(unknown CLSID)");
  out.expect(object == nullptr, "*ppv is null after an unknown CLSID");
  out.expectHr(getClassObject(kClsidEngine, IID_IClassFactory, nullptr), E_POINTER, "DllGetClassObject(ppv null)");
  object = reinterpret_cast<void*>(1);
  out.expectHr(getClassObject(kClsidEngine, kIidTtsEngine, &object), E_NOINTERFACE,
               "DllGetClassObject(KelvaneObj, ISpTTSEngine)");
  out.expect(object == nullptr, "*ppv is null after an interface the class object lacks");
  out.expectHr(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
               REGDB_E_CLASSNOTREG, "CoCreateInstance(unregistered CLSID)");
}

void engineInterfaces(Outcome& out) {
  IUnknown* engine = nullptr;
  out.expectHr(CoCreateInstance(kClsidEngine, nullptr, CLSCTX_INPROC_SERVER, kIidTtsEngine,
                                reinterpret_cast<void**>(&engine)),
               S_OK, "CoCreateInstance(KelvaneObj, ISpTTSEngine)");
  if (engine == nullptr) return;
  ISpObjectWithToken* withToken = nullptr;
  out.expectHr(engine->QueryInterface(kIidObjectWithToken, reinterpret_cast<void**>(&withToken)), S_OK,
               "QueryInterface(ISpObjectWithToken)");
  void* ui = reinterpret_cast<void*>(1);
  out.expectHr(engine->QueryInterface(kIidTokenUi, &ui), E_NOINTERFACE, "engine QueryInterface(ISpTokenUI)");
  out.expect(ui == nullptr, "*ppv is null after E_NOINTERFACE");
  IUnknown* identity1 = nullptr;
  IUnknown* identity2 = nullptr;
  engine->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity1));
  if (withToken != nullptr) {
    withToken->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity2));
    // Before SetObjectToken there is no token: S_FALSE with NULL stored.
    IUnknown* token = reinterpret_cast<IUnknown*>(1);
    out.expectHr(withToken->GetObjectToken(&token), S_FALSE, "GetObjectToken before SetObjectToken");
    out.expect(token == nullptr, "GetObjectToken stores NULL");
    out.expectHr(withToken->GetObjectToken(nullptr), E_POINTER, "GetObjectToken(NULL)");
    out.expectHr(withToken->SetObjectToken(nullptr), E_INVALIDARG, "SetObjectToken(NULL)");
  }
  out.expect(identity1 != nullptr && identity1 == identity2, "both interfaces give the same IUnknown");
  release(identity1);
  release(identity2);
  release(withToken);
  release(engine);
  out.expectHr(CoCreateInstance(kClsidEngine, nullptr, CLSCTX_INPROC_SERVER, kIidTokenUi, &ui), E_NOINTERFACE,
               "CoCreateInstance(KelvaneObj, ISpTokenUI)");
}

void uiInterfaces(Outcome& out) {
  ISpTokenUI* ui = nullptr;
  out.expectHr(CoCreateInstance(kClsidUi, nullptr, CLSCTX_INPROC_SERVER, kIidTokenUi, reinterpret_cast<void**>(&ui)),
               S_OK, "CoCreateInstance(KelvaneUI, ISpTokenUI)");
  if (ui == nullptr) return;
  BOOL supported = FALSE;
  out.expectHr(ui->IsUISupported(L"EngineProperties", nullptr, 0, nullptr, &supported), S_OK,
               "IsUISupported(EngineProperties)");
  out.expect(supported != FALSE, "EngineProperties is supported");
  supported = TRUE;
  ui->IsUISupported(L"AddRemoveWord", nullptr, 0, nullptr, &supported);
  out.expect(supported == FALSE, "AddRemoveWord is not supported");
  void* engine = reinterpret_cast<void*>(1);
  out.expectHr(ui->QueryInterface(kIidTtsEngine, &engine), E_NOINTERFACE, "UI QueryInterface(ISpTTSEngine)");
  out.expect(engine == nullptr, "*ppv is null after E_NOINTERFACE");
  release(ui);
}

void aggregationOnlyThroughIUnknown(Outcome& out) {
  for (const CLSID* clsid : {&kClsidEngine, &kClsidUi}) {
    const bool isEngine = clsid == &kClsidEngine;
    const std::string name = isEngine ? "KelvaneObj" : "KelvaneUI";
    Outer outer;
    void* refused = reinterpret_cast<void*>(1);
    out.expectHr(CoCreateInstance(*clsid, &outer, CLSCTX_INPROC_SERVER, isEngine ? kIidTtsEngine : kIidTokenUi,
                                  &refused),
                 CLASS_E_NOAGGREGATION, name + " aggregated for a non-IUnknown interface");
    out.expect(refused == nullptr, name + ": *ppv is null after CLASS_E_NOAGGREGATION");
    out.expectHr(CoCreateInstance(*clsid, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&outer.inner)),
                 S_OK, name + " aggregated for IUnknown");
    if (outer.inner == nullptr) continue;
    IUnknown* inner = outer.inner;
    IUnknown* iface = nullptr;
    out.expectHr(inner->QueryInterface(isEngine ? kIidTtsEngine : kIidTokenUi, reinterpret_cast<void**>(&iface)),
                 S_OK, name + " inner QueryInterface");
    if (iface != nullptr) {
      // The interface's IUnknown methods are the outer object's.
      const LONG before = outer.refs;
      IUnknown* identity = nullptr;
      iface->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
      out.expect(identity == &outer, name + ": QueryInterface(IUnknown) through the interface gives the outer");
      out.expect(outer.refs > before, name + ": AddRef through the interface reaches the outer");
      release(identity);
      // The reference the inner query took on the outer's behalf.
      iface->Release();
    }
    outer.inner = nullptr;
    out.expect(inner->Release() == 0, name + ": releasing the inner unknown destroys the object");
  }
  out.expectHr(canUnloadNow(), S_OK, "DllCanUnloadNow after the aggregated objects are gone");
}

void unloadWhileHeld(Outcome& out) {
  out.expectHr(canUnloadNow(), S_OK, "DllCanUnloadNow with nothing held");

  IUnknown* engine = nullptr;
  CoCreateInstance(kClsidEngine, nullptr, CLSCTX_INPROC_SERVER, kIidTtsEngine, reinterpret_cast<void**>(&engine));
  out.expect(engine != nullptr, "an engine object is made");
  out.expectHr(canUnloadNow(), S_FALSE, "DllCanUnloadNow while an engine object lives");
  release(engine);
  out.expectHr(canUnloadNow(), S_OK, "DllCanUnloadNow after the engine object is released");

  IClassFactory* factory = nullptr;
  CoGetClassObject(kClsidEngine, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                   reinterpret_cast<void**>(&factory));
  out.expect(factory != nullptr, "the engine's class object is given");
  if (factory == nullptr) return;
  out.expectHr(canUnloadNow(), S_FALSE, "DllCanUnloadNow while a client holds the class object");
  out.expectHr(factory->LockServer(TRUE), S_OK, "LockServer(TRUE)");
  release(factory);
  // The module's own cached reference does not count; the lock does.
  out.expectHr(canUnloadNow(), S_FALSE, "DllCanUnloadNow with a server lock and the class object released");
  CoGetClassObject(kClsidEngine, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                   reinterpret_cast<void**>(&factory));
  if (factory == nullptr) return;
  out.expectHr(factory->LockServer(FALSE), S_OK, "LockServer(FALSE)");
  release(factory);
  out.expectHr(canUnloadNow(), S_OK, "DllCanUnloadNow after LockServer(FALSE) and the release");
}

void createdInAMultithreadedApartment(Outcome& out) {
  // ThreadingModel "Both": the object is made in the caller's apartment, so
  // a multithreaded caller gets the object itself (there is no proxy for
  // these interfaces that COM could use instead).
  HRESULT created = E_FAIL;
  bool direct = false;
  std::thread worker([&] {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
    IUnknown* engine = nullptr;
    created = CoCreateInstance(kClsidEngine, nullptr, CLSCTX_INPROC_SERVER, kIidTtsEngine,
                               reinterpret_cast<void**>(&engine));
    if (engine != nullptr) {
      HMODULE owner = nullptr;
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(*reinterpret_cast<void**>(engine)), &owner);
      direct = owner != nullptr && owner == GetModuleHandleW(L"Sonvale.dll");
      engine->Release();
    }
    CoUninitialize();
  });
  worker.join();
  out.expectHr(created, S_OK, "CoCreateInstance(KelvaneObj) on a multithreaded thread");
  out.expect(direct, "the object's vtable lies in Sonvale.dll (no proxy)");
}

void registeredModulePath(Outcome& out) {
  wchar_t loaded[MAX_PATH] = {};
  HMODULE dll = module();
  if (dll != nullptr) GetModuleFileNameW(dll, loaded, MAX_PATH);
  for (const CLSID* clsid : {&kClsidEngine, &kClsidUi}) {
    const std::wstring registered = inprocServerPath(*clsid);
    out.expect(!registered.empty() && lstrcmpiW(registered.c_str(), loaded) == 0,
               "InprocServer32 \"" + narrow(registered.c_str()) + "\" is the loaded module \"" + narrow(loaded) +
                   "\"");
  }
}

void registeredTypeLibrary(Outcome& out) {
  ITypeLib* library = nullptr;
  out.expectHr(LoadRegTypeLib(kLibId, 1, 1, 0x0409, &library), S_OK, "LoadRegTypeLib(KELVANELib 1.1, 0x0409)");
  if (library == nullptr) return;
  TLIBATTR* attributes = nullptr;
  if (SUCCEEDED(library->GetLibAttr(&attributes))) {
    out.expect(attributes->wMajorVerNum == 1 && attributes->wMinorVerNum == 1, "version 1.1");
    out.expect(attributes->lcid == 0x0409, "locale 0x0409");
    out.expect(attributes->syskind == SYS_WIN64, "system kind win64");
    library->ReleaseTLibAttr(attributes);
  }
  BSTR name = nullptr;
  BSTR help = nullptr;
  library->GetDocumentation(-1, &name, &help, nullptr, nullptr);
  out.expect(name != nullptr && lstrcmpW(name, L"KELVANELib") == 0, "library name KELVANELib");
  out.expect(help != nullptr && lstrcmpW(help, L"Kelvane 1.3 Type Library") == 0,
             "help string \"Kelvane 1.3 Type Library\"");
  SysFreeString(name);
  SysFreeString(help);
  out.expect(library->GetTypeInfoCount() == 24, "24 type descriptions, found " +
                                                    std::to_string(library->GetTypeInfoCount()));

  struct CoClassCase {
    const char* name;
    const CLSID* clsid;
    const IID* defaultInterface;
    const wchar_t* helpString;
  };
  const CoClassCase cases[] = {
      {"KelvaneObj", &kClsidEngine, &kIidTtsEngine, L"KelvaneObj Class"},
      {"KelvaneUI", &kClsidUi, &kIidTokenUi, L"KelvaneUI Class"},
  };
  for (const CoClassCase& c : cases) {
    const std::string label = std::string("coclass ") + c.name;
    ITypeInfo* info = nullptr;
    out.expectHr(library->GetTypeInfoOfGuid(*c.clsid, &info), S_OK, label + " is described");
    if (info == nullptr) continue;
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attr))) {
      out.expect(attr->typekind == TKIND_COCLASS, label + " is a coclass");
      info->ReleaseTypeAttr(attr);
    }
    BSTR doc = nullptr;
    info->GetDocumentation(MEMBERID_NIL, nullptr, &doc, nullptr, nullptr);
    out.expect(doc != nullptr && lstrcmpW(doc, c.helpString) == 0, label + " help string");
    SysFreeString(doc);
    INT flags = 0;
    HREFTYPE ref = 0;
    ITypeInfo* implemented = nullptr;
    info->GetImplTypeFlags(0, &flags);
    out.expect((flags & IMPLTYPEFLAG_FDEFAULT) != 0, label + ": the first interface is the default");
    if (SUCCEEDED(info->GetRefTypeOfImplType(0, &ref)) && SUCCEEDED(info->GetRefTypeInfo(ref, &implemented))) {
      TYPEATTR* implAttr = nullptr;
      if (SUCCEEDED(implemented->GetTypeAttr(&implAttr))) {
        out.expect(IsEqualIID(implAttr->guid, *c.defaultInterface), label + ": the default interface's IID");
        implemented->ReleaseTypeAttr(implAttr);
      }
      implemented->Release();
    } else {
      out.expect(false, label + ": the default interface resolves");
    }
    info->Release();
  }
  library->Release();

  BSTR path = nullptr;
  out.expectHr(QueryPathOfRegTypeLib(kLibId, 1, 1, 0x0409, &path), S_OK, "QueryPathOfRegTypeLib");
  const std::wstring module = inprocServerPath(kClsidEngine);
  out.expect(path != nullptr && lstrcmpiW(path, module.c_str()) == 0,
             "the library is registered at the module path, found \"" + narrow(path) + "\"");
  SysFreeString(path);
}

const Check kChecks[] = {
    {"SameClassObjectTwice", sameClassObjectTwice},
    {"UnknownClassesAndInterfacesLeaveNull", unknownClassLeavesNull},
    {"EngineInterfaces", engineInterfaces},
    {"UiInterfaces", uiInterfaces},
    {"AggregationOnlyThroughIUnknown", aggregationOnlyThroughIUnknown},
    {"UnloadWhileHeld", unloadWhileHeld},
    {"CreatedInAMultithreadedApartment", createdInAMultithreadedApartment},
    {"RegisteredModulePath", registeredModulePath},
    {"RegisteredTypeLibrary", registeredTypeLibrary},
};

}  // namespace

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    std::puts("FAIL CoInitializeEx");
    return 1;
  }
  // Loads the module through COM first, so that the checks that call its
  // exports find it loaded.
  IClassFactory* keepLoaded = nullptr;
  CoGetClassObject(kClsidEngine, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                   reinterpret_cast<void**>(&keepLoaded));
  release(keepLoaded);

  int failed = 0;
  for (const Check& check : kChecks) {
    Outcome outcome;
    check.run(outcome);
    std::printf("%s %s\n", outcome.failures.empty() ? "ok  " : "FAIL", check.name);
    for (const std::string& failure : outcome.failures) std::printf("       %s\n", failure.c_str());
    if (!outcome.failures.empty()) ++failed;
  }
  CoUninitialize();
  std::printf("%d of %zu checks failed\n", failed, sizeof kChecks / sizeof kChecks[0]);
  return failed;
}
