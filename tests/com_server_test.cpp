// The COM server as a client meets it: the built module loaded with dlopen,
// its four exported entry points, class objects, the lock count, aggregation
// and self-registration into a private registry store; then activation by
// CLSID in the host, and registration steps run against a registry that
// fails part way.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/kelvane_obj.h"
#include "host/com_activation.h"
#include "platform/registry.h"
#include "platform/sapi.h"
#include "platform/utf.h"
#include "server/class_table.h"
#include "server/kelvane_ui.h"
#include "test_support.h"

namespace sonvale {
namespace {

using platform::RegKey;
using platform::RegRoot;

constexpr char16_t kEngineClsid[] = u"{4197759E-4B4C-4DC9-B9B7-13B5E89125A7}";
constexpr char16_t kUiClsid[] = u"{82B88068-DFB4-4284-A3F4-C388B2EAB665}";
constexpr char16_t kLibId[] = u"{29A849BC-AF2B-4490-BA41-898BDA7AD03F}";

std::string narrow(const std::u16string& text) { return platform::utf16ToUtf8(text); }

// The four entry points of one loaded copy of the module.
struct Module {
  void* handle = nullptr;
  HRESULT (*canUnloadNow)() = nullptr;
  HRESULT (*getClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT (*registerServer)() = nullptr;
  HRESULT (*unregisterServer)() = nullptr;

  template <typename Fn>
  void find(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(dlsym(handle, name));
  }

  bool load(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return false;
    find(canUnloadNow, "DllCanUnloadNow");
    find(getClassObject, "DllGetClassObject");
    find(registerServer, "DllRegisterServer");
    find(unregisterServer, "DllUnregisterServer");
    return canUnloadNow != nullptr && getClassObject != nullptr && registerServer != nullptr &&
           unregisterServer != nullptr;
  }

  void unload() {
    if (handle != nullptr) dlclose(handle);
    handle = nullptr;
  }
};

// An aggregating object: it answers IUnknown itself and hands every other
// interface to the inner object. It lives on the test's stack and counts
// the references the inner object's interfaces pass on to it.
class Outer final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
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
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  IUnknown* inner = nullptr;
  ULONG refs = 1;
};

class ComServer : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(module_.load(SONVALE_MODULE_PATH)) << dlerror();
  }
  void TearDown() override {
    // Every test releases what it made, so nothing holds the module.
    if (module_.handle != nullptr) {
      EXPECT_EQ(module_.canUnloadNow(), S_OK);
    }
    module_.unload();
    EngineTest::TearDown();
  }

  IClassFactory* factory(REFCLSID clsid) {
    void* out = nullptr;
    EXPECT_EQ(module_.getClassObject(clsid, IID_IClassFactory, &out), S_OK);
    return static_cast<IClassFactory*>(out);
  }

  Module module_;
};

TEST_F(ComServer, ExportsOnlyTheFourEntryPoints) {
  // The engine inside the module, the C interface included, stays private.
  EXPECT_EQ(dlsym(module_.handle, "sonvale_open"), nullptr);
  EXPECT_EQ(dlsym(module_.handle, "CoTaskMemAlloc"), nullptr);
  EXPECT_EQ(dlsym(module_.handle, "_ZN7sonvale6server14getClassObjectERK4GUIDS3_PPv"), nullptr);
}

TEST_F(ComServer, SameClassObjectTwice) {
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(module_.getClassObject(server::CLSID_KelvaneUI, IID_IClassFactory, &first), S_OK);
  ASSERT_EQ(module_.getClassObject(server::CLSID_KelvaneUI, IID_IClassFactory, &second), S_OK);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  // A client's reference to the class object keeps the module loaded...
  EXPECT_EQ(module_.canUnloadNow(), S_FALSE);
  static_cast<IClassFactory*>(first)->Release();
  EXPECT_EQ(module_.canUnloadNow(), S_FALSE);
  static_cast<IClassFactory*>(second)->Release();
  // ...and the module's own cached reference alone does not.
  EXPECT_EQ(module_.canUnloadNow(), S_OK);

  void* engineFactory = nullptr;
  ASSERT_EQ(module_.getClassObject(CLSID_KelvaneObj, IID_IUnknown, &engineFactory), S_OK);
  EXPECT_NE(engineFactory, first);
  static_cast<IUnknown*>(engineFactory)->Release();
}

struct ClassObjectCase {
  const char* name;
  CLSID clsid;
  IID iid;
  HRESULT expected;
};

TEST_F(ComServer, UnknownClassesAndInterfacesLeaveNull) {
  const ClassObjectCase cases[] = {
      {"unknown CLSID", IID_ISpTTSEngine, IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
      {"null CLSID", GUID_NULL, IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
      {"engine class, not a factory interface", CLSID_KelvaneObj, IID_ISpTTSEngine, E_NOINTERFACE},
      {"UI class, not a factory interface", server::CLSID_KelvaneUI, IID_ISpTokenUI, E_NOINTERFACE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    void* out = &module_;  // anything but null
    EXPECT_EQ(module_.getClassObject(c.clsid, c.iid, &out), c.expected);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(module_.getClassObject(CLSID_KelvaneObj, IID_IClassFactory, nullptr), E_POINTER);
}

TEST_F(ComServer, EngineObjectKeepsTheModuleLoaded) {
  IClassFactory* engineFactory = factory(CLSID_KelvaneObj);
  ASSERT_NE(engineFactory, nullptr);
  ISpTTSEngine* engine = nullptr;
  ASSERT_EQ(engineFactory->CreateInstance(nullptr, IID_ISpTTSEngine, reinterpret_cast<void**>(&engine)), S_OK);
  engineFactory->Release();
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(module_.canUnloadNow(), S_FALSE);

  // It is the engine: with VoiceStyle 0 it announces 16-bit mono at 11025 Hz.
  GUID format{};
  WAVEFORMATEX* wfx = nullptr;
  ASSERT_EQ(engine->GetOutputFormat(nullptr, nullptr, &format, &wfx), S_OK);
  ASSERT_NE(wfx, nullptr);
  EXPECT_TRUE(format == SPDFID_WaveFormatEx);
  EXPECT_EQ(wfx->nSamplesPerSec, 11025u);
  EXPECT_EQ(wfx->wBitsPerSample, 16);
  CoTaskMemFree(wfx);

  ISpObjectWithToken* withToken = nullptr;
  ASSERT_EQ(engine->QueryInterface(IID_ISpObjectWithToken, reinterpret_cast<void**>(&withToken)), S_OK);
  IUnknown* identity1 = nullptr;
  IUnknown* identity2 = nullptr;
  ASSERT_EQ(engine->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity1)), S_OK);
  ASSERT_EQ(withToken->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity2)), S_OK);
  EXPECT_EQ(identity1, identity2);
  identity1->Release();
  identity2->Release();
  withToken->Release();

  EXPECT_EQ(module_.canUnloadNow(), S_FALSE);
  engine->Release();
  EXPECT_EQ(module_.canUnloadNow(), S_OK);
}

TEST_F(ComServer, AggregationOnlyThroughIUnknown) {
  for (const CLSID& clsid : {CLSID_KelvaneObj, server::CLSID_KelvaneUI}) {
    IClassFactory* f = factory(clsid);
    ASSERT_NE(f, nullptr);
    Outer outer;
    void* out = &outer;
    EXPECT_EQ(f->CreateInstance(&outer, IID_ISpTTSEngine, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(f->CreateInstance(&outer, IID_ISpTokenUI, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(outer.refs, 1u);
    f->Release();
  }
}

TEST_F(ComServer, AggregatedEngineDelegatesToTheOuterObject) {
  IClassFactory* f = factory(CLSID_KelvaneObj);
  ASSERT_NE(f, nullptr);
  Outer outer;
  ASSERT_EQ(f->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  f->Release();
  ASSERT_NE(outer.inner, nullptr);
  EXPECT_NE(outer.inner, static_cast<IUnknown*>(&outer));
  EXPECT_EQ(outer.refs, 1u);  // the inner object holds no reference on its outer object
  EXPECT_EQ(module_.canUnloadNow(), S_FALSE);

  // Interfaces of the inner object count their references on the outer one.
  ISpTTSEngine* engine = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_ISpTTSEngine, reinterpret_cast<void**>(&engine)), S_OK);
  EXPECT_EQ(outer.refs, 2u);
  engine->AddRef();
  EXPECT_EQ(outer.refs, 3u);
  engine->Release();
  // Their IUnknown is the outer object's.
  IUnknown* identity = nullptr;
  ASSERT_EQ(engine->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  ISpObjectWithToken* withToken = nullptr;
  ASSERT_EQ(engine->QueryInterface(IID_ISpObjectWithToken, reinterpret_cast<void**>(&withToken)), S_OK);
  withToken->Release();
  engine->Release();
  EXPECT_EQ(outer.refs, 1u);

  // The outer object releases the inner one through its own unknown.
  EXPECT_EQ(outer.inner->Release(), 0u);
  outer.inner = nullptr;
  EXPECT_EQ(module_.canUnloadNow(), S_OK);
}

TEST_F(ComServer, AggregatedUiObject) {
  IClassFactory* f = factory(server::CLSID_KelvaneUI);
  ASSERT_NE(f, nullptr);
  Outer outer;
  ASSERT_EQ(f->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  f->Release();
  ISpTokenUI* ui = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_ISpTokenUI, reinterpret_cast<void**>(&ui)), S_OK);
  EXPECT_EQ(outer.refs, 2u);
  ui->Release();
  EXPECT_EQ(module_.canUnloadNow(), S_FALSE);
  EXPECT_EQ(outer.inner->Release(), 0u);
  EXPECT_EQ(module_.canUnloadNow(), S_OK);
}

TEST_F(ComServer, LockServerHoldsTheModule) {
  IClassFactory* f = factory(CLSID_KelvaneObj);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->LockServer(1), S_OK);
  f->Release();
  EXPECT_EQ(module_.canUnloadNow(), S_FALSE);
  f = factory(CLSID_KelvaneObj);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->LockServer(0), S_OK);
  f->Release();
  EXPECT_EQ(module_.canUnloadNow(), S_OK);
}

TEST_F(ComServer, FailedQueryTearsTheObjectDown) {
  IClassFactory* f = factory(CLSID_KelvaneObj);
  ASSERT_NE(f, nullptr);
  void* out = &out;
  // The engine has no ISpTokenUI: the new object is destroyed again and the
  // lock count drops back.
  EXPECT_EQ(f->CreateInstance(nullptr, IID_ISpTokenUI, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  f->Release();
  EXPECT_EQ(module_.canUnloadNow(), S_OK);
}

TEST_F(ComServer, TokenUiAnswersEnginePropertiesOnly) {
  // The dialog must not find a screen to open on.
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  IClassFactory* f = factory(server::CLSID_KelvaneUI);
  ASSERT_NE(f, nullptr);
  ISpTokenUI* ui = nullptr;
  ASSERT_EQ(f->CreateInstance(nullptr, IID_ISpTokenUI, reinterpret_cast<void**>(&ui)), S_OK);
  f->Release();

  struct Case {
    const char16_t* type;
    BOOL supported;
  };
  const Case cases[] = {
      {u"EngineProperties", 1}, {u"engineproperties", 0}, {u"EnginePropertiesX", 0}, {u"", 0}, {nullptr, 0},
  };
  for (const auto& c : cases) {
    BOOL supported = 7;
    EXPECT_EQ(ui->IsUISupported(c.type, nullptr, 0, nullptr, &supported), S_OK);
    EXPECT_EQ(supported, c.supported) << (c.type != nullptr ? narrow(c.type) : "(null)");
    // S_OK whether or not anything is shown.
    EXPECT_EQ(ui->DisplayUI(nullptr, u"title", c.type, nullptr, 0, nullptr, nullptr), S_OK);
  }
  EXPECT_EQ(ui->IsUISupported(u"EngineProperties", nullptr, 0, nullptr, nullptr), E_POINTER);
  ui->Release();
}

// ---- registration ---------------------------------------------------------------

std::u16string value(const std::u16string& key, const std::u16string& name) {
  RegKey k;
  std::u16string text;
  if (platform::regOpenKey(RegRoot::ClassesRoot, key, k) != ERROR_SUCCESS) return u"<no key>";
  if (platform::regQueryString(k, name, text) != ERROR_SUCCESS) return u"<no value>";
  return text;
}

bool exists(const std::u16string& key) {
  RegKey k;
  return platform::regOpenKey(RegRoot::ClassesRoot, key, k) == ERROR_SUCCESS;
}

std::vector<std::string> subkeys(const std::u16string& key) {
  RegKey k;
  std::vector<std::u16string> names;
  std::vector<std::string> out;
  if (platform::regOpenKey(RegRoot::ClassesRoot, key, k) != ERROR_SUCCESS) return {"<no key>"};
  platform::regEnumKeys(k, names);
  for (const auto& n : names) out.push_back(narrow(n));
  return out;
}

std::vector<std::string> valueNames(const std::u16string& key) {
  RegKey k;
  std::vector<std::u16string> names;
  std::vector<std::string> out;
  if (platform::regOpenKey(RegRoot::ClassesRoot, key, k) != ERROR_SUCCESS) return {"<no key>"};
  platform::regEnumValues(k, names);
  for (const auto& n : names) out.push_back(narrow(n));
  return out;
}

struct Expected {
  std::u16string key, name, data;
};

// The keys and values registration writes, from the hand-written table
// that the Windows check reads too; `module` is the module's full path.
std::vector<Expected> expectedKeys(const std::u16string& module) {
  const std::u16string helpDir = module.substr(0, module.rfind(u'/') + 1);
  const std::u16string sysKind = sizeof(void*) == 8 ? u"win64" : u"win32";
  const auto fill = [&](std::u16string text) {
    for (const auto& [mark, by] : {std::pair<std::u16string, std::u16string>{u"{MODULE}", module},
                                   {u"{HELPDIR}", helpDir},
                                   {u"{SYSKIND}", sysKind}})
      for (std::size_t at; (at = text.find(mark)) != std::u16string::npos;) text.replace(at, mark.size(), by);
    return text;
  };
  std::ifstream table(SONVALE_REGISTRATION_KEYS);
  EXPECT_TRUE(table) << SONVALE_REGISTRATION_KEYS;
  std::vector<Expected> keys;
  for (std::string line; std::getline(table, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t tab1 = line.find('\t');
    const std::size_t tab2 = line.find('\t', tab1 + 1);
    EXPECT_NE(tab2, std::string::npos) << line;
    if (tab2 == std::string::npos) continue;
    keys.push_back({fill(platform::utf8ToUtf16(line.substr(0, tab1))),
                    platform::utf8ToUtf16(line.substr(tab1 + 1, tab2 - tab1 - 1)),
                    fill(platform::utf8ToUtf16(line.substr(tab2 + 1)))});
  }
  EXPECT_EQ(keys.size(), 26u);
  return keys;
}

std::u16string builtModulePath() {
  return platform::utf8ToUtf16(std::filesystem::absolute(SONVALE_MODULE_PATH).lexically_normal().string());
}

void expectOneSetOfKeys(const std::u16string& module) {
  for (const auto& e : expectedKeys(module))
    EXPECT_EQ(narrow(value(e.key, e.name)), narrow(e.data)) << narrow(e.key) << " [" << narrow(e.name) << "]";
  const std::u16string obj = std::u16string(u"CLSID\\") + kEngineClsid;
  const std::u16string ui = std::u16string(u"CLSID\\") + kUiClsid;
  // Key and value names in the letter case of the tables, nothing more.
  EXPECT_EQ(subkeys(obj),
            (std::vector<std::string>{"ProgID", "VersionIndependentProgID", "InprocServer32", "TypeLib"}));
  EXPECT_EQ(subkeys(ui), (std::vector<std::string>{"ProgID", "VersionIndependentProgID", "Programmable",
                                                   "InprocServer32", "TypeLib"}));
  EXPECT_EQ(valueNames(obj + u"\\InprocServer32"), (std::vector<std::string>{"", "ThreadingModel"}));
  EXPECT_EQ(valueNames(ui + u"\\InprocServer32"), (std::vector<std::string>{"", "ThreadingModel"}));
  EXPECT_EQ(subkeys(ui + u"\\Programmable"), std::vector<std::string>{});
  EXPECT_EQ(valueNames(ui + u"\\Programmable"), std::vector<std::string>{});
  EXPECT_EQ(subkeys(u"Kelvane.KelvaneObj"), (std::vector<std::string>{"CLSID", "CurVer"}));
}

TEST_F(ComServer, RegistrationWritesTheKeysWithTheModulePath) {
  ASSERT_EQ(module_.registerServer(), S_OK);
  expectOneSetOfKeys(builtModulePath());
}

TEST_F(ComServer, RegistrationTwiceLeavesOneSetOfKeys) {
  ASSERT_EQ(module_.registerServer(), S_OK);
  // Left over from some earlier registration: replaced with the class keys.
  const std::u16string obj = std::u16string(u"CLSID\\") + kEngineClsid;
  RegKey stale;
  ASSERT_EQ(platform::regCreateKey(RegRoot::ClassesRoot, obj + u"\\LocalServer32", stale), ERROR_SUCCESS);
  RegKey inproc;
  ASSERT_EQ(platform::regOpenKey(RegRoot::ClassesRoot, obj + u"\\InprocServer32", inproc), ERROR_SUCCESS);
  ASSERT_EQ(platform::regSetString(inproc, u"", u"/old/place/libsonvale.so"), ERROR_SUCCESS);
  ASSERT_EQ(platform::regSetString(inproc, u"Extra", u"x"), ERROR_SUCCESS);

  ASSERT_EQ(module_.registerServer(), S_OK);
  expectOneSetOfKeys(builtModulePath());
}

TEST_F(ComServer, UnregistrationKeepsTheClsidKey) {
  // Another server's class stays.
  RegKey other;
  ASSERT_EQ(platform::regCreateKey(RegRoot::ClassesRoot, u"CLSID\\{00000000-1111-2222-3333-444444444444}", other),
            ERROR_SUCCESS);
  ASSERT_EQ(module_.registerServer(), S_OK);
  ASSERT_EQ(module_.unregisterServer(), S_OK);
  for (const char16_t* gone : {u"Kelvane.KelvaneObj.1", u"Kelvane.KelvaneObj", u"Kelvane.KelvaneUI.1",
                               u"Kelvane.KelvaneUI", u"TypeLib\\{29A849BC-AF2B-4490-BA41-898BDA7AD03F}"})
    EXPECT_FALSE(exists(gone)) << narrow(gone);
  EXPECT_EQ(subkeys(u"CLSID"), std::vector<std::string>{"{00000000-1111-2222-3333-444444444444}"});
  // Unregistering what is not registered is no failure.
  EXPECT_EQ(module_.unregisterServer(), S_OK);
}

TEST_F(ComServer, UnwritableStoreGivesTheFailingResult) {
  // The store's directory is a plain file: nothing can be created there.
  std::ofstream(dir_.file("file")) << "x";
  setenv("SONVALE_REGISTRY", dir_.file("file/registry.reg").c_str(), 1);
  EXPECT_EQ(module_.registerServer(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
}

// A copy of the module at a path of exactly `length` characters, made of
// directory names of up to 200 characters.
std::string copyModuleTo(const std::string& base, std::size_t length) {
  const std::string name = "/libsonvale.so";
  std::string dir = base;
  std::size_t need = length - base.size() - name.size();
  while (need > 0) {
    std::size_t count = need - 1 < 200 ? need - 1 : 200;
    if (need - 1 - count == 1) --count;  // a last "/" needs one character after it
    dir += "/" + std::string(count, 'd');
    need -= count + 1;
  }
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(SONVALE_MODULE_PATH, dir + name);
  return dir + name;
}

struct LengthCase {
  std::size_t length;
  HRESULT expected;
};

TEST_F(ComServer, ModulePathOf260CharactersIsRefused) {
  const LengthCase cases[] = {
      {259, S_OK},
      // 260 characters and their terminating NUL do not fit MAX_PATH.
      {260, HRESULT_FROM_WIN32(server::ERROR_FILENAME_EXCED_RANGE)},
      {400, HRESULT_FROM_WIN32(server::ERROR_FILENAME_EXCED_RANGE)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    testing::TempDir place;
    const std::string path = copyModuleTo(place.path(), c.length);
    ASSERT_EQ(path.size(), c.length);
    Module copy;
    ASSERT_TRUE(copy.load(path)) << dlerror();
    setenv("SONVALE_REGISTRY", place.file("registry.reg").c_str(), 1);  // a fresh store for each case
    EXPECT_EQ(copy.registerServer(), c.expected);
    if (c.expected == S_OK) {
      EXPECT_EQ(narrow(value(std::u16string(u"CLSID\\") + kEngineClsid + u"\\InprocServer32", u"")), path);
    } else {
      EXPECT_FALSE(exists(u"Kelvane.KelvaneObj.1"));  // nothing written
      EXPECT_FALSE(exists(u"CLSID"));
    }
    copy.unload();
  }
}

// ---- activation by CLSID in the host ------------------------------------------------

TEST_F(ComServer, ActivationThroughTheRegistry) {
  host::InprocServer server;
  std::string error;
  EXPECT_EQ(server.loadFor(CLSID_KelvaneObj, error), host::REGDB_E_CLASSNOTREG);
  EXPECT_NE(error.find("not registered"), std::string::npos) << error;

  ASSERT_EQ(module_.registerServer(), S_OK);
  ASSERT_EQ(server.loadFor(CLSID_KelvaneObj, error), S_OK) << error;
  EXPECT_EQ(server.path(), narrow(builtModulePath()));
  ISpTTSEngine* engine = nullptr;
  ASSERT_EQ(server.createInstance(CLSID_KelvaneObj, nullptr, IID_ISpTTSEngine, reinterpret_cast<void**>(&engine)),
            S_OK);
  // Only the object holds the module now: the class object went back.
  EXPECT_EQ(server.canUnloadNow(), S_FALSE);
  engine->Release();
  EXPECT_EQ(server.canUnloadNow(), S_OK);
  EXPECT_TRUE(server.release());
  EXPECT_FALSE(server.loaded());
}

TEST_F(ComServer, ActivationKeepsAModuleInUse) {
  ASSERT_EQ(module_.registerServer(), S_OK);
  host::InprocServer server;
  std::string error;
  ASSERT_EQ(server.loadFor(server::CLSID_KelvaneUI, error), S_OK) << error;
  ISpTokenUI* ui = nullptr;
  ASSERT_EQ(server.createInstance(server::CLSID_KelvaneUI, nullptr, IID_ISpTokenUI, reinterpret_cast<void**>(&ui)),
            S_OK);
  // The object is alive, so the module is not unloaded under it.
  EXPECT_FALSE(server.release());
  ui->Release();
}

TEST_F(ComServer, ActivationOfAMissingModuleSaysWhich) {
  RegKey key;
  ASSERT_EQ(platform::regCreateKey(RegRoot::ClassesRoot, host::inprocServerKey(CLSID_KelvaneObj), key), ERROR_SUCCESS);
  ASSERT_EQ(platform::regSetString(key, u"", platform::utf8ToUtf16(dir_.file("gone/libsonvale.so"))), ERROR_SUCCESS);
  host::InprocServer server;
  std::string error;
  EXPECT_EQ(server.loadFor(CLSID_KelvaneObj, error), host::CO_E_DLLNOTFOUND);
  EXPECT_NE(error.find(dir_.file("gone/libsonvale.so")), std::string::npos) << error;
  EXPECT_FALSE(server.loaded());
}

// ---- registration against a registry that fails part way ----------------------------

TEST_F(ComServer, FailedWriteStopsRegistrationAndKeepsWhatWasWritten) {
  const std::u16string module = builtModulePath();
  // Counts the steps of a complete registration first.
  std::size_t total = 0;
  ASSERT_EQ(server::registerServer(module,
                                   [&](const server::RegStep& step) {
                                     ++total;
                                     return server::runStepInRegistry(step);
                                   }),
            S_OK);
  ASSERT_EQ(platform::regDeleteTree(RegRoot::ClassesRoot, u"CLSID"), ERROR_SUCCESS);
  for (const char16_t* key :
       {u"Kelvane.KelvaneObj.1", u"Kelvane.KelvaneObj", u"Kelvane.KelvaneUI.1", u"Kelvane.KelvaneUI", u"TypeLib"})
    ASSERT_EQ(platform::regDeleteTree(RegRoot::ClassesRoot, key), ERROR_SUCCESS);

  // The engine class's script: five ProgID values, the class key deleted,
  // then its values. Failing the fourth step (Kelvane.KelvaneObj\CLSID)
  // leaves the first three written and runs nothing after it.
  std::size_t calls = 0;
  const HRESULT hr = server::registerServer(module, [&](const server::RegStep& step) -> LONG {
    if (++calls == 4) return ERROR_ACCESS_DENIED;
    return server::runStepInRegistry(step);
  });
  EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(calls, 4u);
  EXPECT_EQ(narrow(value(u"Kelvane.KelvaneObj.1", u"")), "KelvaneObj Class");
  EXPECT_EQ(narrow(value(u"Kelvane.KelvaneObj.1\\CLSID", u"")), narrow(kEngineClsid));
  EXPECT_EQ(narrow(value(u"Kelvane.KelvaneObj", u"")), "KelvaneObj Class");
  EXPECT_FALSE(exists(u"Kelvane.KelvaneObj\\CLSID"));
  EXPECT_FALSE(exists(u"CLSID"));

  // The last step (the type library's HELPDIR) failing leaves everything
  // else in place.
  calls = 0;
  EXPECT_EQ(server::registerServer(module,
                                   [&](const server::RegStep& step) -> LONG {
                                     if (++calls == total) return ERROR_CANTWRITE;
                                     return server::runStepInRegistry(step);
                                   }),
            HRESULT_FROM_WIN32(ERROR_CANTWRITE));
  EXPECT_EQ(narrow(value(std::u16string(u"CLSID\\") + kUiClsid + u"\\InprocServer32", u"ThreadingModel")), "both");
  EXPECT_TRUE(exists(std::u16string(u"TypeLib\\") + kLibId + u"\\1.1\\FLAGS"));
  EXPECT_FALSE(exists(std::u16string(u"TypeLib\\") + kLibId + u"\\1.1\\HELPDIR"));
}

}  // namespace
}  // namespace sonvale
