// The type library KELVANELib as the build compiles and embeds it, the reader
// that reads it back, and its registration under HKEY_CLASSES_ROOT\TypeLib.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/kelvane_obj.h"
#include "platform/le_bytes.h"
#include "platform/registry.h"
#include "platform/sapi.h"
#include "platform/utf.h"
#include "server/kelvane_ui.h"
#include "server/type_library.h"
#include "test_seed.h"
#include "test_support.h"

namespace sonvale {
namespace {

using platform::RegKey;
using platform::RegRoot;
using server::SysKind;
using server::TypeKind;
using server::TypeLibraryInfo;

constexpr GUID kLibId = {0x29A849BC, 0xAF2B, 0x4490, {0xBA, 0x41, 0x89, 0x8B, 0xDA, 0x7A, 0xD0, 0x3F}};
constexpr GUID kStdOleLibId = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr char16_t kVersionKey[] = u"TypeLib\\{29A849BC-AF2B-4490-BA41-898BDA7AD03F}\\1.1";

TypeLibraryInfo embedded() {
  TypeLibraryInfo info;
  std::string error;
  EXPECT_TRUE(server::readTypeLibrary(server::embeddedTypeLibrary(), info, error)) << error;
  return info;
}

const server::TypeDescription* findType(const TypeLibraryInfo& info, const std::string& name) {
  for (const auto& t : info.types)
    if (t.name == name) return &t;
  return nullptr;
}

std::u16string readString(const std::u16string& key, const std::u16string& name) {
  RegKey k;
  std::u16string value;
  if (platform::regOpenKey(RegRoot::ClassesRoot, key, k) != ERROR_SUCCESS) return u"<no key>";
  if (platform::regQueryString(k, name, value) != ERROR_SUCCESS) return u"<no value>";
  return value;
}

bool keyExists(const std::u16string& key) {
  RegKey k;
  return platform::regOpenKey(RegRoot::ClassesRoot, key, k) == ERROR_SUCCESS;
}

std::string narrow(const std::u16string& text) { return platform::utf16ToUtf8(text); }

TEST(EmbeddedTypeLibrary, DescribesKelvaneLib) {
  const TypeLibraryInfo info = embedded();
  EXPECT_EQ(info.name, "KELVANELib");
  EXPECT_TRUE(info.libid == kLibId);
  EXPECT_EQ(info.major, 1);
  EXPECT_EQ(info.minor, 1);
  EXPECT_EQ(info.lcid, 0x0409u);
  EXPECT_EQ(info.helpString, "Kelvane 1.3 Type Library");
  EXPECT_EQ(info.sysKind, sizeof(void*) == 8 ? SysKind::Win64 : SysKind::Win32);
  ASSERT_EQ(info.imports.size(), 1u);
  EXPECT_EQ(info.imports[0].fileName, "stdole2.tlb");
  EXPECT_TRUE(info.imports[0].libid == kStdOleLibId);
  EXPECT_EQ(info.imports[0].major, 2);
  EXPECT_EQ(info.imports[0].minor, 0);
}

TEST(EmbeddedTypeLibrary, CoClassesAndTheirInterfaces) {
  const TypeLibraryInfo info = embedded();
  const auto* obj = findType(info, "KelvaneObj");
  ASSERT_NE(obj, nullptr);
  EXPECT_EQ(obj->kind, TypeKind::CoClass);
  EXPECT_TRUE(obj->guid == CLSID_KelvaneObj);
  EXPECT_EQ(obj->helpString, "KelvaneObj Class");
  ASSERT_EQ(obj->implemented.size(), 2u);
  EXPECT_EQ(obj->implemented[0].name, "ISpTTSEngine");
  EXPECT_TRUE(obj->implemented[0].isDefault);
  EXPECT_EQ(obj->implemented[1].name, "ISpObjectWithToken");
  EXPECT_FALSE(obj->implemented[1].isDefault);

  const auto* ui = findType(info, "KelvaneUI");
  ASSERT_NE(ui, nullptr);
  EXPECT_EQ(ui->kind, TypeKind::CoClass);
  EXPECT_TRUE(ui->guid == server::CLSID_KelvaneUI);
  EXPECT_EQ(ui->helpString, "KelvaneUI Class");
  ASSERT_EQ(ui->implemented.size(), 1u);
  EXPECT_EQ(ui->implemented[0].name, "ISpTokenUI");
  EXPECT_TRUE(ui->implemented[0].isDefault);
}

// The interfaces the IDL declares carry the IIDs that the C++ declarations
// use, so the library and the objects describe the same interfaces.
struct InterfaceCase {
  const char* name;
  IID iid;
  const char* base;  // empty: IUnknown, imported from stdole2
  const char* help;
};

TEST(EmbeddedTypeLibrary, InterfacesMatchTheCppDeclarations) {
  const InterfaceCase cases[] = {
      {"ISpTTSEngine", IID_ISpTTSEngine, "", "ISpTTSEngine Interface"},
      {"ISpTokenUI", IID_ISpTokenUI, "", "ISpTokenUI Interface"},
      {"ISpObjectWithToken", IID_ISpObjectWithToken, "", "ISpObjectWithToken Interface"},
      {"ISpEventSink", IID_ISpEventSink, "", "ISpEventSink Interface"},
      {"ISpTTSEngineSite", IID_ISpTTSEngineSite, "ISpEventSink", "ISpTTSEngineSite Interface"},
      {"ISpDataKey", IID_ISpDataKey, "", "ISpDataKey Interface"},
      {"ISpObjectToken", IID_ISpObjectToken, "ISpDataKey", "ISpObjectToken Interface"},
  };
  const TypeLibraryInfo info = embedded();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto* t = findType(info, c.name);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->kind, TypeKind::Interface);
    EXPECT_TRUE(t->guid == c.iid);
    EXPECT_EQ(t->helpString, c.help);
    ASSERT_EQ(t->implemented.size(), 1u);
    if (*c.base == '\0') {
      EXPECT_TRUE(t->implemented[0].imported);
    } else {
      EXPECT_EQ(t->implemented[0].name, c.base);
    }
  }
}

// The order of the type descriptions follows from what each type uses, read
// off the speech API's public declarations: the library's coclasses in turn,
// each followed by what it uses, depth first in the order of first use; an
// interface's base is laid out before the interface (its methods come first
// in the interface's table). GUID and IUnknown come from stdole2 and are not
// among them.
struct Uses {
  const char* base;                 // nullptr: none besides IUnknown
  std::vector<const char*> others;  // in the order the declaration first uses them
};

const std::map<std::string, Uses>& speechApiUses() {
  static const std::map<std::string, Uses> uses = {
      {"KelvaneObj", {nullptr, {"ISpTTSEngine", "ISpObjectWithToken"}}},
      {"KelvaneUI", {nullptr, {"ISpTokenUI"}}},
      {"ISpTTSEngine", {nullptr, {"WAVEFORMATEX", "SPVTEXTFRAG", "ISpTTSEngineSite"}}},
      {"WAVEFORMATEX", {nullptr, {}}},
      {"SPVTEXTFRAG", {nullptr, {"SPVTEXTFRAG", "SPVSTATE"}}},
      {"SPVSTATE", {nullptr, {"SPVACTIONS", "SPVPITCH", "SPPARTOFSPEECH", "SPVCONTEXT"}}},
      {"SPVACTIONS", {nullptr, {}}},
      {"SPVPITCH", {nullptr, {}}},
      {"SPPARTOFSPEECH", {nullptr, {}}},
      {"SPVCONTEXT", {nullptr, {}}},
      {"ISpTTSEngineSite", {"ISpEventSink", {"SPVSKIPTYPE"}}},
      {"ISpEventSink", {nullptr, {"SPEVENT"}}},
      {"SPEVENT", {nullptr, {}}},
      {"SPVSKIPTYPE", {nullptr, {}}},
      {"ISpObjectWithToken", {nullptr, {"ISpObjectToken"}}},
      // GetCategory, then DisplayUI's window handle.
      {"ISpObjectToken", {"ISpDataKey", {"ISpObjectTokenCategory", "wireHWND"}}},
      {"ISpDataKey", {nullptr, {}}},
      {"ISpObjectTokenCategory", {"ISpDataKey", {"SPDATAKEYLOCATION", "IEnumSpObjectTokens"}}},
      {"SPDATAKEYLOCATION", {nullptr, {}}},
      {"IEnumSpObjectTokens", {nullptr, {"ISpObjectToken"}}},
      // The window handle as it is marshalled: a pointer to a union.
      {"wireHWND", {nullptr, {"_RemotableHandle"}}},
      {"_RemotableHandle", {nullptr, {"__MIDL_IWinTypes_0009"}}},
      {"__MIDL_IWinTypes_0009", {nullptr, {}}},
      {"ISpTokenUI", {nullptr, {"wireHWND", "ISpObjectToken"}}},
  };
  return uses;
}

void layOut(const std::string& name, std::vector<std::string>& order) {
  if (std::find(order.begin(), order.end(), name) != order.end()) return;
  const Uses& uses = speechApiUses().at(name);
  if (uses.base != nullptr) layOut(uses.base, order);
  order.push_back(name);
  for (const char* other : uses.others) layOut(other, order);
}

TEST(EmbeddedTypeLibrary, TypeDescriptionsInOrder) {
  std::vector<std::string> expected;
  for (const char* coclass : {"KelvaneObj", "KelvaneUI"}) layOut(coclass, expected);
  ASSERT_EQ(expected.size(), 24u);
  const TypeLibraryInfo info = embedded();
  std::vector<std::string> names;
  for (const auto& t : info.types) names.push_back(t.name);
  EXPECT_EQ(names, expected);
}

// RegisterTypeLib writes Interface keys only for dispatch, dual or
// automation interfaces; the library has none, so its TypeLib keys are
// everything the registration of the Windows call would write.
TEST(EmbeddedTypeLibrary, HasNoAutomationInterfaces) {
  for (const auto& t : embedded().types) {
    EXPECT_NE(t.kind, TypeKind::Dispatch) << t.name;
    EXPECT_EQ(t.typeFlags & (server::kTypeFlagDual | server::kTypeFlagOleAutomation), 0) << t.name;
  }
}

// ---- the reader on damaged bytes -------------------------------------------

std::vector<std::uint8_t> embeddedCopy() {
  const auto bytes = server::embeddedTypeLibrary();
  return {bytes.begin(), bytes.end()};
}

TEST(TypeLibraryReader, TruncationIsRefusedOrReadsTheSameLibrary) {
  const std::vector<std::uint8_t> whole = embeddedCopy();
  // A cut that leaves every segment whole (losing only method records, which
  // the reader does not look at) still reads the same library; any other
  // cut is refused with a reason.
  TypeLibraryInfo info;
  std::string error;
  for (std::size_t size = 0; size < whole.size(); ++size) {
    const std::span<const std::uint8_t> cut(whole.data(), size);
    if (server::readTypeLibrary(cut, info, error)) {
      EXPECT_EQ(info.name, "KELVANELib") << "size " << size;
      EXPECT_EQ(info.types.size(), 24u) << "size " << size;
    } else {
      EXPECT_FALSE(error.empty()) << "size " << size;
    }
  }
  EXPECT_FALSE(server::readTypeLibrary({}, info, error));
}

struct Damage {
  const char* name;
  std::size_t offset;
  std::uint32_t value;
  const char* message;  // part of the error
};

TEST(TypeLibraryReader, DamagedFieldsAreNamed) {
  const Damage cases[] = {
      {"signature", 0x00, 0x12345678, "MSFT"},
      {"format version", 0x04, 7, "format version"},
      {"type count", 0x20, 0x7FFFFFFF, "more type descriptions"},
      {"library name offset", 0x38, 0x7FFFFFF0, "library name"},
      {"LIBID offset", 0x08, 0x7FFFFFF0, "LIBID"},
      {"system kind", 0x14, 0x4F, "system kind"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> bytes = embeddedCopy();
    putU32le(bytes.data() + c.offset, c.value);
    TypeLibraryInfo info;
    std::string error;
    EXPECT_FALSE(server::readTypeLibrary(bytes, info, error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST(TypeLibraryReader, RandomDamageNeverReadsOutOfBounds) {
  const std::uint32_t seed = testing::testSeed();
  std::mt19937 rng(seed);
  const std::vector<std::uint8_t> whole = embeddedCopy();
  int refused = 0;
  for (int round = 0; round < 300; ++round) {
    std::vector<std::uint8_t> bytes = whole;
    // A few words of the header, the segment directory or the first type
    // descriptions, where the offsets live, set to random values.
    for (int k = 0; k < 4; ++k) {
      const std::size_t at = rng() % 0x400 & ~std::size_t{3};
      putU32le(bytes.data() + at, static_cast<std::uint32_t>(rng()));
    }
    TypeLibraryInfo info;
    std::string error;
    if (!server::readTypeLibrary(bytes, info, error)) ++refused;
  }
  // The sanitizers are what this test is for; the count shows it got past
  // the checks at all.
  EXPECT_GT(refused, 0) << "seed " << seed;
}

// ---- paths -------------------------------------------------------------------

struct PathCase {
  const char16_t* module;
  const char16_t* tlb;
  const char16_t* helpDir;
};

TEST(TypeLibraryPaths, FileBesideTheModuleAndHelpDirectory) {
  const PathCase cases[] = {
      {u"/opt/sonvale/libsonvale.so", u"/opt/sonvale/libsonvale.tlb", u"/opt/sonvale/"},
      {u"C:\\Program Files\\Sonvale\\Sonvale.dll", u"C:\\Program Files\\Sonvale\\Sonvale.tlb",
       u"C:\\Program Files\\Sonvale\\"},
      {u"C:Sonvale.dll", u"C:Sonvale.tlb", u"C:"},
      {u"/usr/lib/libsonvale.so.1", u"/usr/lib/libsonvale.so.tlb", u"/usr/lib/"},
      // A '.' in a directory is not an extension.
      {u"/opt/sonvale.d/libsonvale", u"/opt/sonvale.d/libsonvale.tlb", u"/opt/sonvale.d/"},
      {u"libsonvale.so", u"libsonvale.tlb", u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(narrow(c.module));
    EXPECT_EQ(narrow(server::typeLibraryFilePath(c.module)), narrow(c.tlb));
    EXPECT_EQ(narrow(server::helpDirectory(c.module)), narrow(c.helpDir));
  }
}

// ---- loading and registration ---------------------------------------------------

class TypeLibraryRegistration : public testing::EngineTest {
 protected:
  std::u16string modulePath() const { return platform::utf8ToUtf16(dir_.file("libsonvale.so")); }
};

TEST_F(TypeLibraryRegistration, FallsBackToTheTlbFileBesideTheModule) {
  const std::vector<std::uint8_t> broken(16, 0);
  TypeLibraryInfo info;
  std::u16string used;
  // No .tlb file either: the file's failure is the result.
  EXPECT_EQ(server::loadTypeLibrary(broken, modulePath(), info, used), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

  const auto bytes = server::embeddedTypeLibrary();
  {
    std::ofstream tlb(dir_.file("libsonvale.tlb"), std::ios::binary);
    tlb.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  ASSERT_EQ(server::loadTypeLibrary(broken, modulePath(), info, used), S_OK);
  EXPECT_EQ(info.name, "KELVANELib");
  EXPECT_EQ(narrow(used), dir_.file("libsonvale.tlb"));

  std::ofstream(dir_.file("libsonvale.tlb"), std::ios::binary) << "not a type library";
  EXPECT_EQ(server::loadTypeLibrary(broken, modulePath(), info, used), server::TYPE_E_CANTLOADLIBRARY);
}

TEST_F(TypeLibraryRegistration, WritesTheKeysRegisterTypeLibWrites) {
  ASSERT_EQ(server::registerTypeLibrary(server::embeddedTypeLibrary(), modulePath()), S_OK);
  const std::u16string version = kVersionKey;
  const std::u16string sysKind = sizeof(void*) == 8 ? u"win64" : u"win32";
  EXPECT_EQ(narrow(readString(version, u"")), "Kelvane 1.3 Type Library");
  // Locale 0x0409 is written in hexadecimal without leading zeros.
  EXPECT_EQ(narrow(readString(version + u"\\409\\" + sysKind, u"")), narrow(modulePath()));
  EXPECT_EQ(narrow(readString(version + u"\\FLAGS", u"")), "0");
  EXPECT_EQ(narrow(readString(version + u"\\HELPDIR", u"")), dir_.path() + "/");
}

TEST_F(TypeLibraryRegistration, UnregistrationRemovesWhatRegistrationWrote) {
  const auto bytes = server::embeddedTypeLibrary();
  ASSERT_EQ(server::registerTypeLibrary(bytes, modulePath()), S_OK);
  ASSERT_EQ(server::unregisterTypeLibrary(bytes, modulePath()), S_OK);
  EXPECT_FALSE(keyExists(kVersionKey));
  EXPECT_FALSE(keyExists(u"TypeLib\\{29A849BC-AF2B-4490-BA41-898BDA7AD03F}"));
  EXPECT_TRUE(keyExists(u"TypeLib"));
  // Nothing left to remove is no failure.
  EXPECT_EQ(server::unregisterTypeLibrary(bytes, modulePath()), S_OK);
}

TEST_F(TypeLibraryRegistration, UnregistrationKeepsOtherLocalesAndVersions) {
  const auto bytes = server::embeddedTypeLibrary();
  ASSERT_EQ(server::registerTypeLibrary(bytes, modulePath()), S_OK);
  const std::u16string version = kVersionKey;
  const std::u16string otherLocale = version + u"\\804\\win32";
  const std::u16string otherVersion = u"TypeLib\\{29A849BC-AF2B-4490-BA41-898BDA7AD03F}\\1.0\\0\\win32";
  RegKey key;
  ASSERT_EQ(platform::regCreateKey(RegRoot::ClassesRoot, otherLocale, key), ERROR_SUCCESS);
  ASSERT_EQ(platform::regCreateKey(RegRoot::ClassesRoot, otherVersion, key), ERROR_SUCCESS);

  ASSERT_EQ(server::unregisterTypeLibrary(bytes, modulePath()), S_OK);
  EXPECT_FALSE(keyExists(version + u"\\409"));
  // Another locale of 1.1 keeps the version key with its FLAGS and HELPDIR.
  EXPECT_TRUE(keyExists(otherLocale));
  EXPECT_TRUE(keyExists(version + u"\\FLAGS"));
  EXPECT_TRUE(keyExists(version + u"\\HELPDIR"));

  ASSERT_EQ(platform::regDeleteTree(RegRoot::ClassesRoot, version + u"\\804"), ERROR_SUCCESS);
  ASSERT_EQ(server::registerTypeLibrary(bytes, modulePath()), S_OK);
  ASSERT_EQ(server::unregisterTypeLibrary(bytes, modulePath()), S_OK);
  EXPECT_FALSE(keyExists(version));
  // Version 1.0 keeps the LIBID key.
  EXPECT_TRUE(keyExists(otherVersion));
}

}  // namespace
}  // namespace sonvale
