#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace sonvale::platform {
namespace {

using Bytes = std::vector<BYTE>;

constexpr RegRoot kLM = RegRoot::LocalMachine;
constexpr RegRoot kCU = RegRoot::CurrentUser;

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

ino_t inodeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

Bytes queryBytes(const RegKey& key, std::u16string_view name, DWORD& type, LONG& result) {
  Bytes data(256);
  DWORD size = static_cast<DWORD>(data.size());
  result = regQueryValue(key, name, &type, data.data(), &size);
  data.resize(result == ERROR_SUCCESS ? size : 0);
  return data;
}

std::vector<std::u16string> enumKeys(const RegKey& key) {
  std::vector<std::u16string> names;
  EXPECT_EQ(regEnumKeys(key, names), ERROR_SUCCESS);
  return names;
}

std::vector<std::u16string> enumValues(const RegKey& key) {
  std::vector<std::u16string> names;
  EXPECT_EQ(regEnumValues(key, names), ERROR_SUCCESS);
  return names;
}

std::u16string ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// Each test gets its own store in a fresh directory; the store's parent
// directory does not exist yet, so the first write must make it.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/sonvale-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/config/registry.reg";
    machinePath_ = dir_ + "/machine/registry.reg";
    ::setenv("SONVALE_REGISTRY", path_.c_str(), 1);
    ::setenv("SONVALE_SYSTEM_REGISTRY", machinePath_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("SONVALE_REGISTRY");
    ::unsetenv("SONVALE_SYSTEM_REGISTRY");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  RegKey create(RegRoot root, std::u16string_view path) {
    RegKey key;
    EXPECT_EQ(regCreateKey(root, path, key), ERROR_SUCCESS);
    return key;
  }

  std::string dir_;
  std::string path_;
  std::string machinePath_;  // the machine-wide store beneath path_
};

TEST_F(RegistryTest, MissingStoreIsAnEmptyRegistryAndReadsDoNotCreateIt) {
  RegKey key;
  EXPECT_EQ(regOpenKey(kLM, u"SOFTWARE", key), ERROR_FILE_NOT_FOUND);
  std::vector<std::u16string> names{u"stale"};
  EXPECT_EQ(regEnumKeys(RegKey{kLM, u""}, names), ERROR_SUCCESS);
  EXPECT_TRUE(names.empty());
  DWORD value = 0;
  EXPECT_EQ(regQueryDword(RegKey{kLM, u"SOFTWARE"}, u"x", value), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(exists(path_));
}

TEST_F(RegistryTest, EmptyFileIsAnEmptyRegistry) {
  writeText(path_, "");
  RegKey key;
  EXPECT_EQ(regOpenKey(kLM, u"SOFTWARE", key), ERROR_FILE_NOT_FOUND);
  create(kLM, u"SOFTWARE");
  EXPECT_EQ(readText(path_), "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n");
}

TEST_F(RegistryTest, CreateKeyMakesParentsAndIsIdempotent) {
  const RegKey voices = create(kLM, u"SOFTWARE\\Sonvale\\Voices");
  EXPECT_EQ(voices.root, kLM);
  EXPECT_EQ(voices.path, u"SOFTWARE\\Sonvale\\Voices");

  RegKey parent;
  ASSERT_EQ(regOpenKey(kLM, u"SOFTWARE", parent), ERROR_SUCCESS);
  EXPECT_EQ(enumKeys(parent), std::vector<std::u16string>{u"Sonvale"});
  ASSERT_EQ(regOpenKey(kLM, u"SOFTWARE\\Sonvale", parent), ERROR_SUCCESS);
  EXPECT_EQ(enumKeys(parent), std::vector<std::u16string>{u"Voices"});

  // Opening an existing key writes nothing: every write replaces the file,
  // so an unchanged inode means no write happened.
  const std::string before = readText(path_);
  const ino_t inode = inodeOf(path_);
  const RegKey again = create(kLM, u"SOFTWARE\\Sonvale\\Voices");
  EXPECT_EQ(again.path, voices.path);
  EXPECT_EQ(inodeOf(path_), inode);
  EXPECT_EQ(readText(path_), before);
}

TEST_F(RegistryTest, OpenKeyOnMissingKeyIsFileNotFound) {
  create(kLM, u"SOFTWARE\\Sonvale");
  RegKey key{kCU, u"untouched"};
  EXPECT_EQ(regOpenKey(kLM, u"SOFTWARE\\Sonvale\\Nope", key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regOpenKey(kCU, u"SOFTWARE\\Sonvale", key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.path, u"untouched");
}

TEST_F(RegistryTest, KeyPathsAreNormalisedOrRefused) {
  struct Case {
    const char* label;
    std::u16string input;
    LONG result;
    std::u16string path;
  };
  const std::vector<Case> cases = {
      {"plain", u"A\\B", ERROR_SUCCESS, u"A\\B"},
      {"leading separator", u"\\A\\B", ERROR_SUCCESS, u"A\\B"},
      {"trailing separator", u"A\\B\\", ERROR_SUCCESS, u"A\\B"},
      {"doubled separator", u"A\\\\B", ERROR_SUCCESS, u"A\\B"},
      {"empty is the root", u"", ERROR_SUCCESS, u""},
      {"name of 255", std::u16string(255, u'x'), ERROR_SUCCESS, std::u16string(255, u'x')},
      {"name of 256", std::u16string(256, u'x'), ERROR_INVALID_PARAMETER, u""},
      {"NUL in a name", std::u16string(u"A\0B", 3), ERROR_INVALID_PARAMETER, u""},
      {"line feed in a name", u"A\nB", ERROR_INVALID_PARAMETER, u""},
      {"unpaired surrogate", u"A\xD800", ERROR_INVALID_PARAMETER, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    RegKey key;
    EXPECT_EQ(regCreateKey(kLM, c.input, key), c.result);
    if (c.result == ERROR_SUCCESS) {
      EXPECT_EQ(key.path, c.path);
    }
  }
  EXPECT_EQ(enumKeys(RegKey{kLM, u""}), (std::vector<std::u16string>{u"A", std::u16string(255, u'x')}));
}

TEST_F(RegistryTest, RootsAreSeparate) {
  create(kLM, u"Software\\Sonvale");
  RegKey key;
  EXPECT_EQ(regOpenKey(kCU, u"Software\\Sonvale", key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regOpenKey(RegRoot::ClassesRoot, u"Software", key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regCreateKey(static_cast<RegRoot>(7), u"Software", key), ERROR_INVALID_HANDLE);
  DWORD value = 0;
  EXPECT_EQ(regQueryDword(RegKey{static_cast<RegRoot>(7), u""}, u"x", value), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, DwordRoundTrips) {
  const RegKey key = create(kLM, u"SOFTWARE\\Sonvale");
  ASSERT_EQ(regSetDword(key, u"Rate", 0xDEADBEEF), ERROR_SUCCESS);
  DWORD value = 0;
  EXPECT_EQ(regQueryDword(key, u"Rate", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0xDEADBEEFu);
  DWORD type = 0;
  LONG result = 0;
  EXPECT_EQ(queryBytes(key, u"Rate", type, result), (Bytes{0xEF, 0xBE, 0xAD, 0xDE}));
  EXPECT_EQ(result, ERROR_SUCCESS);
  EXPECT_EQ(type, kRegDword);
  EXPECT_NE(readText(path_).find("\"Rate\"=dword:deadbeef\n"), std::string::npos);
}

TEST_F(RegistryTest, ChineseStringRoundTripsThroughUtf8) {
  const RegKey key = create(kLM, u"SOFTWARE\\Sonvale");
  ASSERT_EQ(regSetString(key, u"VoiceName", u"粵語女聲"), ERROR_SUCCESS);
  // U+20BB7 needs a surrogate pair in UTF-16 and four bytes in UTF-8.
  ASSERT_EQ(regSetString(key, u"Rare", u"\U00020BB7"), ERROR_SUCCESS);

  std::u16string text;
  EXPECT_EQ(regQueryString(key, u"VoiceName", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"粵語女聲");
  EXPECT_EQ(regQueryString(key, u"Rare", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"\U00020BB7");

  // Four characters and the NUL, two bytes each.
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(regQueryValue(key, u"VoiceName", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 10u);
  LONG result = 0;
  EXPECT_EQ(queryBytes(key, u"Rare", type, result), (Bytes{0x42, 0xD8, 0xB7, 0xDF, 0x00, 0x00}));

  const std::string file = readText(path_);
  EXPECT_NE(file.find("\"VoiceName\"=\"粵語女聲\"\n"), std::string::npos);
  EXPECT_NE(file.find("\"Rare\"=\"\xF0\xA0\xAE\xB7\"\n"), std::string::npos);
}

TEST_F(RegistryTest, QwordAndBinaryRoundTrip) {
  const RegKey key = create(kLM, u"SOFTWARE\\Sonvale");
  const Bytes qword = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
  const Bytes blob = {0x00, 0xFF, 0x10};
  ASSERT_EQ(regSetValue(key, u"Big", kRegQword, qword.data(), 8), ERROR_SUCCESS);
  ASSERT_EQ(regSetValue(key, u"Blob", kRegBinary, blob.data(), 3), ERROR_SUCCESS);

  DWORD type = 0;
  LONG result = 0;
  EXPECT_EQ(queryBytes(key, u"Big", type, result), qword);
  EXPECT_EQ(type, kRegQword);
  EXPECT_EQ(queryBytes(key, u"Blob", type, result), blob);
  EXPECT_EQ(type, kRegBinary);

  const std::string file = readText(path_);
  EXPECT_NE(file.find("\"Big\"=hex(b):08,07,06,05,04,03,02,01\n"), std::string::npos);
  EXPECT_NE(file.find("\"Blob\"=hex:00,ff,10\n"), std::string::npos);
}

TEST_F(RegistryTest, QueryDwordTakesExactlyFourBytesOfAnyType) {
  const RegKey key = create(kLM, u"SOFTWARE\\Sonvale");
  struct Case {
    const char* name;
    DWORD type;
    Bytes data;
    LONG result;
    DWORD value;
  };
  const std::vector<Case> cases = {
      {"dword", kRegDword, {0x78, 0x56, 0x34, 0x12}, ERROR_SUCCESS, 0x12345678},
      {"binary of four", kRegBinary, {0x01, 0x00, 0x00, 0x80}, ERROR_SUCCESS, 0x80000001},
      // u"a" with its NUL is 61 00 00 00.
      {"string of one character", kRegSz, {0x61, 0x00, 0x00, 0x00}, ERROR_SUCCESS, 0x61},
      {"qword", kRegQword, {1, 2, 3, 4, 5, 6, 7, 8}, ERROR_MORE_DATA, 0xCAFEF00D},
      {"binary of five", kRegBinary, {1, 2, 3, 4, 5}, ERROR_MORE_DATA, 0xCAFEF00D},
      {"binary of three", kRegBinary, {1, 2, 3}, ERROR_INVALID_DATA, 0xCAFEF00D},
      {"empty", kRegNone, {}, ERROR_INVALID_DATA, 0xCAFEF00D},
  };
  for (const Case& c : cases)
    ASSERT_EQ(regSetValue(key, ascii(c.name), c.type, c.data.data(), static_cast<DWORD>(c.data.size())), ERROR_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DWORD value = 0xCAFEF00D;
    EXPECT_EQ(regQueryDword(key, ascii(c.name), value), c.result);
    EXPECT_EQ(value, c.value);
  }
  DWORD value = 0;
  EXPECT_EQ(regQueryDword(key, u"missing", value), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, QueryValueReportsTheSizeItNeeds) {
  const RegKey key = create(kLM, u"SOFTWARE\\Sonvale");
  ASSERT_EQ(regSetString(key, u"Word", u"abc"), ERROR_SUCCESS);
  const Bytes abc = {0x61, 0x00, 0x62, 0x00, 0x63, 0x00, 0x00, 0x00};

  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(regQueryValue(key, u"Word", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(type, kRegSz);

  Bytes small(4);
  size = 4;
  type = 0;
  EXPECT_EQ(regQueryValue(key, u"Word", &type, small.data(), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(type, kRegSz);

  Bytes exact(8);
  size = 8;
  EXPECT_EQ(regQueryValue(key, u"Word", nullptr, exact.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(exact, abc);

  Bytes large(16, 0xEE);
  size = 16;
  EXPECT_EQ(regQueryValue(key, u"Word", nullptr, large.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(Bytes(large.begin(), large.begin() + 8), abc);
  EXPECT_EQ(large[8], 0xEE);

  EXPECT_EQ(regQueryValue(key, u"Word", nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(regQueryValue(key, u"Word", nullptr, exact.data(), nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(regQueryValue(key, u"Nope", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, QueryStringRefusesOtherTypes) {
  const RegKey key = create(kLM, u"SOFTWARE\\Sonvale");
  ASSERT_EQ(regSetDword(key, u"Number", 1), ERROR_SUCCESS);
  const Bytes expand = {0x25, 0x00, 0x41, 0x00, 0x25, 0x00, 0x00, 0x00};
  ASSERT_EQ(regSetValue(key, u"Expand", kRegExpandSz, expand.data(), 8), ERROR_SUCCESS);
  std::u16string text = u"untouched";
  EXPECT_EQ(regQueryString(key, u"Number", text), ERROR_INVALID_DATA);
  EXPECT_EQ(text, u"untouched");
  EXPECT_EQ(regQueryString(key, u"Missing", text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regQueryString(key, u"Expand", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"%A%");
}

TEST_F(RegistryTest, NamesIgnoreAsciiCaseAndKeepTheirFirstSpelling) {
  create(kLM, u"Software\\Sonvale");
  RegKey key;
  ASSERT_EQ(regOpenKey(kLM, u"SOFTWARE\\sonvale", key), ERROR_SUCCESS);
  EXPECT_EQ(key.path, u"Software\\Sonvale");
  EXPECT_EQ(create(kLM, u"software\\SONVALE\\Extra").path, u"Software\\Sonvale\\Extra");
  EXPECT_EQ(enumKeys(RegKey{kLM, u""}), std::vector<std::u16string>{u"Software"});

  ASSERT_EQ(regSetDword(key, u"VoiceDef", 1), ERROR_SUCCESS);
  ASSERT_EQ(regSetDword(key, u"VOICEDEF", 2), ERROR_SUCCESS);
  EXPECT_EQ(enumValues(key), std::vector<std::u16string>{u"VoiceDef"});
  DWORD value = 0;
  EXPECT_EQ(regQueryDword(key, u"voicedef", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 2u);

  // Only ASCII letters fold: É and é are two names.
  ASSERT_EQ(regSetDword(key, u"\u00C9", 3), ERROR_SUCCESS);
  ASSERT_EQ(regSetDword(key, u"\u00E9", 4), ERROR_SUCCESS);
  EXPECT_EQ(enumValues(key), (std::vector<std::u16string>{u"VoiceDef", u"\u00C9", u"\u00E9"}));
}

TEST_F(RegistryTest, DeleteValue) {
  const RegKey key = create(kLM, u"SOFTWARE\\Sonvale");
  ASSERT_EQ(regSetDword(key, u"Keep", 1), ERROR_SUCCESS);
  ASSERT_EQ(regSetDword(key, u"Drop", 2), ERROR_SUCCESS);
  EXPECT_EQ(regDeleteValue(key, u"DROP"), ERROR_SUCCESS);
  DWORD value = 0;
  EXPECT_EQ(regQueryDword(key, u"Drop", value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regDeleteValue(key, u"Drop"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regDeleteValue(RegKey{kLM, u"Nope"}, u"Keep"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(enumValues(key), std::vector<std::u16string>{u"Keep"});
}

TEST_F(RegistryTest, DeleteTreeRemovesTheSubtreeOnly) {
  create(kLM, u"A\\B\\C");
  create(kLM, u"A\\B\\D");
  const RegKey prefixSibling = create(kLM, u"A\\BC");
  const RegKey sibling = create(kLM, u"A\\E");
  const RegKey a = create(kLM, u"A");
  ASSERT_EQ(regSetDword(a, u"v", 1), ERROR_SUCCESS);
  ASSERT_EQ(regSetDword(prefixSibling, u"v", 2), ERROR_SUCCESS);
  ASSERT_EQ(regSetDword(sibling, u"v", 3), ERROR_SUCCESS);

  EXPECT_EQ(regDeleteTree(kLM, u"a\\b"), ERROR_SUCCESS);

  RegKey key;
  EXPECT_EQ(regOpenKey(kLM, u"A\\B", key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regOpenKey(kLM, u"A\\B\\C", key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regOpenKey(kLM, u"A\\B\\D", key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(enumKeys(a), (std::vector<std::u16string>{u"BC", u"E"}));
  DWORD value = 0;
  EXPECT_EQ(regQueryDword(a, u"v", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(regQueryDword(prefixSibling, u"v", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(regQueryDword(sibling, u"v", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 3u);

  EXPECT_EQ(regDeleteTree(kLM, u"A\\B"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regDeleteTree(kLM, u"Missing\\B"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, DeleteTreeNeverEmptiesARoot) {
  create(kLM, u"A");
  const std::string before = readText(path_);
  EXPECT_EQ(regDeleteTree(kLM, u""), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(regDeleteTree(kLM, u"\\"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(regDeleteTree(kLM, u"\\\\"), ERROR_INVALID_PARAMETER);
  RegKey key;
  EXPECT_EQ(regOpenKey(kLM, u"A", key), ERROR_SUCCESS);
  EXPECT_EQ(readText(path_), before);
}

TEST_F(RegistryTest, EnumerationFollowsCreationOrder) {
  const RegKey voices = create(kLM, u"Voices");
  create(kLM, u"Voices\\Zeta");
  create(kLM, u"Voices\\alpha");
  create(kLM, u"Voices\\Mid\\Inner");
  EXPECT_EQ(enumKeys(voices), (std::vector<std::u16string>{u"Zeta", u"alpha", u"Mid"}));

  ASSERT_EQ(regSetDword(voices, u"z", 1), ERROR_SUCCESS);
  ASSERT_EQ(regSetDword(voices, u"a", 2), ERROR_SUCCESS);
  ASSERT_EQ(regSetDword(voices, u"m", 3), ERROR_SUCCESS);
  ASSERT_EQ(regDeleteValue(voices, u"a"), ERROR_SUCCESS);
  ASSERT_EQ(regSetDword(voices, u"a", 4), ERROR_SUCCESS);
  // Replacing a value keeps its place; a value made again goes last.
  ASSERT_EQ(regSetDword(voices, u"z", 5), ERROR_SUCCESS);
  EXPECT_EQ(enumValues(voices), (std::vector<std::u16string>{u"z", u"m", u"a"}));

  std::vector<std::u16string> names{u"untouched"};
  EXPECT_EQ(regEnumKeys(RegKey{kLM, u"Nope"}, names), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regEnumValues(RegKey{kLM, u"Nope"}, names), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(names, std::vector<std::u16string>{u"untouched"});
}

TEST_F(RegistryTest, AnOpenKeyDeletedMeanwhileIsNotFound) {
  const RegKey key = create(kLM, u"SOFTWARE\\Sonvale");
  ASSERT_EQ(regSetDword(key, u"x", 1), ERROR_SUCCESS);
  ASSERT_EQ(regDeleteTree(kLM, u"SOFTWARE"), ERROR_SUCCESS);
  DWORD value = 0;
  EXPECT_EQ(regQueryDword(key, u"x", value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regSetDword(key, u"x", 2), ERROR_FILE_NOT_FOUND);
  std::vector<std::u16string> names;
  EXPECT_EQ(regEnumValues(key, names), ERROR_FILE_NOT_FOUND);

  create(kLM, u"SOFTWARE\\Sonvale");
  EXPECT_EQ(regSetDword(key, u"x", 2), ERROR_SUCCESS);
  EXPECT_EQ(regQueryDword(key, u"x", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 2u);
}

TEST_F(RegistryTest, SetValueChecksItsArguments) {
  const RegKey key = create(kLM, u"SOFTWARE");
  EXPECT_EQ(regSetValue(key, u"x", kRegBinary, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(regSetDword(key, u"two\nlines", 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(regSetDword(key, std::u16string(u"a\0b", 3), 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(regSetDword(RegKey{kLM, u"Missing"}, u"x", 1), ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(regSetValue(key, u"empty", kRegBinary, nullptr, 0), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 99;
  EXPECT_EQ(regQueryValue(key, u"empty", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(size, 0u);
  EXPECT_NE(readText(path_).find("\"empty\"=hex:\n"), std::string::npos);
}

TEST_F(RegistryTest, SettingTheSameValueAgainWritesNothing) {
  const RegKey key = create(kLM, u"SOFTWARE");
  ASSERT_EQ(regSetString(key, u"Name", u"Kim"), ERROR_SUCCESS);
  const ino_t inode = inodeOf(path_);
  EXPECT_EQ(regSetString(key, u"NAME", u"Kim"), ERROR_SUCCESS);
  EXPECT_EQ(inodeOf(path_), inode);
  EXPECT_EQ(regSetString(key, u"Name", u"Kam"), ERROR_SUCCESS);
  EXPECT_NE(inodeOf(path_), inode);
}

// Values that a quoted line cannot carry unchanged are written as hex of
// their type, so they come back byte for byte.
TEST_F(RegistryTest, ValuesAQuotedLineCannotCarryRoundTripAsHex) {
  struct Case {
    const char* name;
    DWORD type;
    Bytes data;
    const char* line;
    std::u16string text;  // what regQueryString reads, for string types
  };
  const std::vector<Case> cases = {
      {"newline", kRegSz, {0x61, 0, 0x0A, 0, 0x62, 0, 0, 0}, "\"newline\"=hex(1):61,00,0a,00,62,00,00,00", u"a\nb"},
      {"unterminated", kRegSz, {0x61, 0, 0x62}, "\"unterminated\"=hex(1):61,00,62", u"a"},
      {"two NULs", kRegSz, {0x61, 0, 0, 0, 0, 0}, "\"two NULs\"=hex(1):61,00,00,00,00,00", u"a"},
      {"inner NUL", kRegSz, {0x61, 0, 0, 0, 0x62, 0, 0, 0}, "\"inner NUL\"=hex(1):61,00,00,00,62,00,00,00", u"a"},
      {"lone surrogate", kRegSz, {0x00, 0xD8, 0, 0}, "\"lone surrogate\"=hex(1):00,d8,00,00", u"\xD800"},
      {"empty string", kRegSz, {}, "\"empty string\"=hex(1):", u""},
      {"expand", kRegExpandSz, {0x25, 0, 0x41, 0, 0x25, 0, 0, 0}, "\"expand\"=hex(2):25,00,41,00,25,00,00,00", u"%A%"},
      {"short dword", kRegDword, {0x01, 0x02}, "\"short dword\"=hex(4):01,02", u""},
      {"none", kRegNone, {0x07}, "\"none\"=hex(0):07", u""},
      {"odd type", 0x20000, {0xFF}, "\"odd type\"=hex(20000):ff", u""},
  };
  const RegKey key = create(kLM, u"SOFTWARE");
  for (const Case& c : cases)
    ASSERT_EQ(regSetValue(key, ascii(c.name), c.type, c.data.data(), static_cast<DWORD>(c.data.size())), ERROR_SUCCESS);
  const std::string file = readText(path_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(file.find(std::string(c.line) + "\n"), std::string::npos);
    DWORD type = 0;
    LONG result = 0;
    EXPECT_EQ(queryBytes(key, ascii(c.name), type, result), c.data);
    EXPECT_EQ(result, ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    if (c.type == kRegSz || c.type == kRegExpandSz) {
      std::u16string text;
      EXPECT_EQ(regQueryString(key, ascii(c.name), text), ERROR_SUCCESS);
      EXPECT_EQ(text, c.text);
    }
  }
}

TEST_F(RegistryTest, HandWrittenFileParses) {
  writeText(path_,
            "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
            "\r\n"
            "; written by hand\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sonvale\\Engine]\r\n"
            "@=\"default\"\r\n"
            "\"Max\"=dword:FFFFFFFF\r\n"
            "\"Path\"=\"C:\\\\Voices\\\\\\\"Kim\\\"\"\r\n"
            "\"Long\"=hex:00,01,02,\\\r\n"
            "  03,04\r\n"
            "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
            "\r\n"
            "[hkey_local_machine\\software\\SONVALE\\Engine\\Sub]\r\n"
            "\"Say \\\"hi\\\"\" = \"粵\"\r\n");

  // The parents have no section of their own and exist all the same.
  RegKey key;
  ASSERT_EQ(regOpenKey(kLM, u"SOFTWARE\\Sonvale", key), ERROR_SUCCESS);
  EXPECT_EQ(enumKeys(key), std::vector<std::u16string>{u"Engine"});

  ASSERT_EQ(regOpenKey(kLM, u"SOFTWARE\\Sonvale\\Engine", key), ERROR_SUCCESS);
  EXPECT_EQ(enumKeys(key), std::vector<std::u16string>{u"Sub"});
  EXPECT_EQ(enumValues(key), (std::vector<std::u16string>{u"", u"Max", u"Path", u"Long", u"Expand"}));
  std::u16string text;
  EXPECT_EQ(regQueryString(key, u"", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"default");
  DWORD value = 0;
  EXPECT_EQ(regQueryDword(key, u"Max", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_EQ(regQueryString(key, u"Path", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"C:\\Voices\\\"Kim\"");
  DWORD type = 0;
  LONG result = 0;
  EXPECT_EQ(queryBytes(key, u"Long", type, result), (Bytes{0, 1, 2, 3, 4}));
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(regQueryString(key, u"Expand", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"%A%");

  ASSERT_EQ(regOpenKey(kLM, u"SOFTWARE\\Sonvale\\Engine\\Sub", key), ERROR_SUCCESS);
  EXPECT_EQ(regQueryString(key, u"say \"HI\"", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"粵");
}

TEST_F(RegistryTest, WrittenFileIsTheExpectedTextAndReadsBackTheSame) {
  const RegKey sonvale = create(kLM, u"SOFTWARE\\Sonvale");
  const RegKey voices = create(kLM, u"SOFTWARE\\Sonvale\\Voices");
  create(kCU, u"Software\\Test");
  const RegKey top{kCU, u""};
  ASSERT_EQ(regSetDword(sonvale, u"Volume", 100), ERROR_SUCCESS);
  ASSERT_EQ(regSetString(sonvale, u"", u"C:\\Voices\\\"Kim\""), ERROR_SUCCESS);
  ASSERT_EQ(regSetString(voices, u"Name", u"粵語"), ERROR_SUCCESS);
  const Bytes qword = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(regSetValue(voices, u"Big", kRegQword, qword.data(), 8), ERROR_SUCCESS);
  const Bytes blob = {0xDE, 0xAD};
  ASSERT_EQ(regSetValue(voices, u"Blob", kRegBinary, blob.data(), 2), ERROR_SUCCESS);
  ASSERT_EQ(regSetDword(top, u"Top", 1), ERROR_SUCCESS);

  const std::string expected =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_CURRENT_USER]\n"
      "\"Top\"=dword:00000001\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software]\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\Test]\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sonvale]\n"
      "\"Volume\"=dword:00000064\n"
      "@=\"C:\\\\Voices\\\\\\\"Kim\\\"\"\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sonvale\\Voices]\n"
      "\"Name\"=\"粵語\"\n"
      "\"Big\"=hex(b):01,02,03,04,05,06,07,08\n"
      "\"Blob\"=hex:de,ad\n"
      "\n";
  EXPECT_EQ(readText(path_), expected);

  // A change and its undoing: the store parses the text it wrote and writes
  // it out again unchanged.
  ASSERT_EQ(regSetDword(RegKey{kCU, u"Software"}, u"Tmp", 7), ERROR_SUCCESS);
  EXPECT_NE(readText(path_), expected);
  ASSERT_EQ(regDeleteValue(RegKey{kCU, u"Software"}, u"Tmp"), ERROR_SUCCESS);
  EXPECT_EQ(readText(path_), expected);
}

// The machine-wide store lies beneath the user's: reads see both, the
// user's values first; writes and deletions touch the user's store only.
TEST_F(RegistryTest, UsersStoreLiesOverTheMachineStoreWhichItNeverWrites) {
  const std::string machineText =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:00000001\n\"y\"=dword:00000002\n\n"
      "[HKEY_LOCAL_MACHINE\\A\\Shared]\n\n"
      "[HKEY_CLASSES_ROOT\\CLSID]\n@=\"machine\"\n\n";
  writeText(machinePath_, machineText);
  writeText(path_,
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\a]\n\"X\"=dword:00000005\n\n"
            "[HKEY_LOCAL_MACHINE\\A\\Own]\n\n");
  const ino_t machineInode = inodeOf(machinePath_);
  const RegKey a{kLM, u"A"};

  DWORD value = 0;
  EXPECT_EQ(regQueryDword(a, u"x", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 5u) << "the user's value shadows the machine's";
  EXPECT_EQ(regQueryDword(a, u"y", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 2u) << "a value only the machine has shows through";
  EXPECT_EQ(enumKeys(a), (std::vector<std::u16string>{u"Shared", u"Own"}));
  EXPECT_EQ(enumValues(a), (std::vector<std::u16string>{u"x", u"y"}));
  std::u16string text;
  EXPECT_EQ(regQueryString(RegKey{RegRoot::ClassesRoot, u"CLSID"}, u"", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"machine");

  // Opening a key the machine has writes nothing; setting a value in it
  // gives the user a copy of the key.
  RegKey shared;
  EXPECT_EQ(regCreateKey(kLM, u"A\\Shared", shared), ERROR_SUCCESS);
  EXPECT_EQ(regSetDword(a, u"y", 7), ERROR_SUCCESS);
  EXPECT_EQ(regSetString(shared, u"Mine", u"yes"), ERROR_SUCCESS);
  EXPECT_EQ(regQueryDword(a, u"y", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(regQueryString(shared, u"Mine", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"yes");
  EXPECT_EQ(regSetDword(RegKey{kLM, u"Nowhere"}, u"z", 1), ERROR_FILE_NOT_FOUND);

  // Deleting takes the user's copy away and the machine's shows again; what
  // only the machine holds cannot be deleted.
  struct Case {
    const char* label;
    std::function<LONG()> remove;
    LONG result;
  };
  const std::vector<Case> cases = {
      {"user's shadowing value", [&] { return regDeleteValue(a, u"y"); }, ERROR_SUCCESS},
      {"machine's value", [&] { return regDeleteValue(a, u"y"); }, ERROR_ACCESS_DENIED},
      {"value nobody has", [&] { return regDeleteValue(a, u"none"); }, ERROR_FILE_NOT_FOUND},
      {"user's copy of a key", [&] { return regDeleteTree(kLM, u"A\\Shared"); }, ERROR_SUCCESS},
      {"machine's key", [&] { return regDeleteTree(kLM, u"A\\Shared"); }, ERROR_ACCESS_DENIED},
      {"user's own key", [&] { return regDeleteTree(kLM, u"A\\Own"); }, ERROR_SUCCESS},
      {"key nobody has", [&] { return regDeleteTree(kLM, u"A\\Own"); }, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) EXPECT_EQ(c.remove(), c.result) << c.label;
  EXPECT_EQ(regQueryDword(a, u"y", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(regQueryString(shared, u"Mine", text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(enumKeys(a), (std::vector<std::u16string>{u"Shared"}));

  EXPECT_EQ(readText(machinePath_), machineText);
  EXPECT_EQ(inodeOf(machinePath_), machineInode);
}

// What `--system` does: the user's store pointed at the machine store makes
// one store, read and written alone.
TEST_F(RegistryTest, MachineStoreAsTheUsersStoreIsWrittenItself) {
  ::setenv("SONVALE_REGISTRY", machinePath_.c_str(), 1);
  const RegKey key = create(kLM, u"SOFTWARE\\Voices");
  ASSERT_EQ(regSetDword(key, u"n", 3), ERROR_SUCCESS);
  EXPECT_EQ(readText(machinePath_),
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Voices]\n\"n\"=dword:00000003\n\n");
  EXPECT_EQ(regDeleteTree(kLM, u"SOFTWARE\\Voices"), ERROR_SUCCESS);
  EXPECT_FALSE(exists(path_));

  // Back in the user's view the value is read from beneath and never copied.
  ASSERT_EQ(regSetDword(create(kLM, u"SOFTWARE\\Voices"), u"n", 3), ERROR_SUCCESS);
  ::setenv("SONVALE_REGISTRY", path_.c_str(), 1);
  DWORD value = 0;
  EXPECT_EQ(regQueryDword(key, u"n", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 3u);
  EXPECT_FALSE(exists(path_));
}

TEST_F(RegistryTest, DamagedFileIsReportedAndNeverOverwritten) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  const std::string section = "[HKEY_LOCAL_MACHINE\\A]\n";
  struct Case {
    const char* label;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"wrong header", "Windows Registry Editor Version 4.00\n\n" + section},
      {"no header", section},
      {"garbage line", header + section + "Name=1\n"},
      {"value before any key", header + "\"x\"=dword:00000001\n" + section},
      {"bad hex digit", header + section + "\"x\"=hex:01,zz\n"},
      {"three hex digits", header + section + "\"x\"=hex:001\n"},
      {"empty hex byte", header + section + "\"x\"=hex:01,,02\n"},
      {"continuation at the end", header + section + "\"x\"=hex:01,\\\n"},
      {"dword of nine digits", header + section + "\"x\"=dword:123456789\n"},
      {"dword without digits", header + section + "\"x\"=dword:\n"},
      {"unterminated string", header + section + "\"x\"=\"abc\n"},
      {"text after a string", header + section + "\"x\"=\"abc\" junk\n"},
      {"unknown escape", header + section + "\"x\"=\"a\\nb\"\n"},
      {"deletion line", header + section + "\"x\"=-\n"},
      {"unknown root", header + "[HKEY_ELSEWHERE\\A]\n"},
      {"unclosed section", header + "[HKEY_LOCAL_MACHINE\\A\n"},
      {"invalid UTF-8", header + section + "\"x\"=\"\xE7\xB2\"\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    writeText(path_, c.text);
    RegKey key;
    EXPECT_EQ(regOpenKey(kLM, u"A", key), ERROR_BADDB);
    EXPECT_EQ(regCreateKey(kLM, u"New", key), ERROR_BADDB);
    EXPECT_EQ(regSetDword(RegKey{kLM, u"A"}, u"x", 1), ERROR_BADDB);
    EXPECT_EQ(regDeleteValue(RegKey{kLM, u"A"}, u"x"), ERROR_BADDB);
    EXPECT_EQ(regDeleteTree(kLM, u"A"), ERROR_BADDB);
    std::vector<std::u16string> names;
    EXPECT_EQ(regEnumKeys(RegKey{kLM, u""}, names), ERROR_BADDB);
    DWORD value = 0;
    EXPECT_EQ(regQueryDword(RegKey{kLM, u"A"}, u"x", value), ERROR_BADDB);
    EXPECT_EQ(readText(path_), c.text);
  }
  // The same damage in the machine-wide store is passed over: the user's own
  // store is still read and written, and the machine's file left alone.
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("machine store: ") + c.label);
    writeText(machinePath_, c.text);
    writeText(path_, header + section + "\"x\"=dword:00000009\n");
    DWORD value = 0;
    EXPECT_EQ(regQueryDword(RegKey{kLM, u"A"}, u"x", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 9u);
    EXPECT_EQ(regSetDword(RegKey{kLM, u"A"}, u"x", 10), ERROR_SUCCESS);
    EXPECT_EQ(enumKeys(RegKey{kLM, u""}), std::vector<std::u16string>{u"A"});
    EXPECT_EQ(readText(machinePath_), c.text);
  }
}

TEST_F(RegistryTest, WritesKeepTheStorePermissions) {
  create(kLM, u"A");
  ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
  create(kLM, u"B");
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(RegistryTest, StoreBelowAFileCannotBeWritten) {
  writeText(dir_ + "/plain", "not a directory");
  const std::string path = dir_ + "/plain/registry.reg";
  ::setenv("SONVALE_REGISTRY", path.c_str(), 1);
  RegKey key;
  EXPECT_EQ(regOpenKey(kLM, u"A", key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regCreateKey(kLM, u"A", key), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(readText(dir_ + "/plain"), "not a directory");
}

TEST(RegistryStorePath, FollowsTheEnvironment) {
  struct Case {
    const char* label;
    std::optional<std::string> registry;
    std::optional<std::string> config;
    std::optional<std::string> home;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"explicit store", "/srv/r.reg", "/cfg", "/home/u", "/srv/r.reg"},
      {"empty store variable", "", "/cfg", "/home/u", "/cfg/sonvale/registry.reg"},
      {"config directory", std::nullopt, "/cfg", "/home/u", "/cfg/sonvale/registry.reg"},
      {"relative config directory", std::nullopt, "cfg", "/home/u", "/home/u/.config/sonvale/registry.reg"},
      {"home only", std::nullopt, std::nullopt, "/home/u", "/home/u/.config/sonvale/registry.reg"},
  };
  const char* names[] = {"SONVALE_REGISTRY", "XDG_CONFIG_HOME", "HOME"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i)
    if (const char* value = std::getenv(names[i])) saved[i] = value;
  auto put = [](const char* name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    put(names[0], c.registry);
    put(names[1], c.config);
    put(names[2], c.home);
    EXPECT_EQ(registryStorePath(), c.path);
  }
  for (int i = 0; i < 3; ++i) put(names[i], saved[i]);
}

// Two processes write 200 values each into one key while this one reads.
// Every read must see a whole file, each name's value may only grow (a
// writer's sequence is never undone by a lost update), and at the end every
// writer's last values are there.
TEST_F(RegistryTest, ProcessesWritingAtOnceLoseNothing) {
  const RegKey key = create(kLM, u"SOFTWARE\\Sonvale\\Shared");
  constexpr int kWriters = 2;
  constexpr int kWrites = 200;
  constexpr int kNamesPerWriter = 4;
  auto nameOf = [](int writer, int slot) { return ascii("w" + std::to_string(writer) + "_" + std::to_string(slot)); };

  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kWrites; ++i)
        if (regSetDword(key, nameOf(writer, i % kNamesPerWriter), static_cast<DWORD>(writer * 1000 + i)) !=
            ERROR_SUCCESS)
          ++failures;
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }

  int reads = 0;
  int failedReads = 0;
  int regressions = 0;
  int partialFiles = 0;
  std::map<std::u16string, DWORD> latest;
  std::vector<int> statuses(kWriters, -1);
  int running = kWriters;
  while (running > 0) {
    // The store is replaced whole, so even a reader that takes no lock sees
    // a complete file: the header first and the blank line that ends the
    // last key at the end.
    const std::string raw = readText(path_);
    if (!raw.starts_with("Windows Registry Editor Version 5.00\n\n") ||
        raw.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sonvale\\Shared]\n") == std::string::npos || !raw.ends_with("\n\n"))
      ++partialFiles;
    std::vector<std::u16string> names;
    const LONG listed = regEnumValues(key, names);
    ++reads;
    if (listed != ERROR_SUCCESS) ++failedReads;
    for (const std::u16string& name : names) {
      DWORD value = 0;
      if (regQueryDword(key, name, value) != ERROR_SUCCESS) {
        ++failedReads;
        continue;
      }
      auto [it, fresh] = latest.emplace(name, value);
      if (!fresh && value < it->second) ++regressions;
      it->second = value;
    }
    for (int writer = 0; writer < kWriters; ++writer) {
      if (statuses[writer] != -1) continue;
      int status = 0;
      if (::waitpid(children[writer], &status, WNOHANG) == children[writer]) {
        statuses[writer] = status;
        --running;
      }
    }
  }
  for (int writer = 0; writer < kWriters; ++writer) {
    EXPECT_TRUE(WIFEXITED(statuses[writer]) && WEXITSTATUS(statuses[writer]) == 0) << "writer " << writer;
  }
  EXPECT_GT(reads, 0);
  EXPECT_EQ(failedReads, 0);
  EXPECT_EQ(regressions, 0);
  EXPECT_EQ(partialFiles, 0);

  // The last write to slot s is i = 196 + s.
  EXPECT_EQ(enumValues(key).size(), static_cast<std::size_t>(kWriters * kNamesPerWriter));
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int slot = 0; slot < kNamesPerWriter; ++slot) {
      DWORD value = 0;
      EXPECT_EQ(regQueryDword(key, nameOf(writer, slot), value), ERROR_SUCCESS);
      EXPECT_EQ(value, static_cast<DWORD>(writer * 1000 + 196 + slot));
    }
  }
}

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothing) {
  const RegKey key = create(kLM, u"SOFTWARE\\Sonvale\\Threads");
  constexpr int kThreads = 4;
  constexpr int kWrites = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i)
        if (regSetDword(key, ascii("t" + std::to_string(t)), static_cast<DWORD>(i)) != ERROR_SUCCESS) ++failures;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  // The threads race, so the values' order is whatever order they came in.
  std::vector<std::u16string> names = enumValues(key);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"t0", u"t1", u"t2", u"t3"}));
  for (int t = 0; t < kThreads; ++t) {
    DWORD value = 0;
    EXPECT_EQ(regQueryDword(key, ascii("t" + std::to_string(t)), value), ERROR_SUCCESS);
    EXPECT_EQ(value, static_cast<DWORD>(kWrites - 1));
  }
}

}  // namespace
}  // namespace sonvale::platform
