// Binding the engine object to a voice token: the three files, their
// identities, the unit table and its bounds, and the errors of each.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "engine/kelvane_obj.h"
#include "host/output_site.h"
#include "host/registry_token.h"
#include "platform/le_bytes.h"
#include "platform/utf.h"
#include "synth/voice_format.h"
#include "test_support.h"
#include "ui/ui.h"

namespace sonvale {
namespace {

using platform::RegRoot;

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

// The files under `dir` that this process has mapped, by name, in order.
std::vector<std::string> mappedFiles(const std::string& dir) {
  std::ifstream maps("/proc/self/maps");
  std::vector<std::string> names;
  const std::string prefix = dir + "/";
  for (std::string line; std::getline(maps, line);) {
    const std::size_t at = line.find(prefix);
    if (at != std::string::npos) names.push_back(line.substr(at + prefix.size()));
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

// A VoiceDef whose entries all point at `length` bytes from offset 0, but for
// the entries given in `special`.
std::vector<std::uint8_t> voiceDef(std::uint32_t length, std::vector<std::pair<std::uint32_t, voice::UnitEntry>> special = {}) {
  auto bytes = voice::voiceDefHeader();
  for (std::uint32_t u = 0; u < voice::kUnitCount; ++u) {
    voice::UnitEntry e;
    e.length = length;
    e.energy = 1000;
    for (const auto& [unit, entry] : special)
      if (unit == u) e = entry;
    voice::appendUnitEntry(bytes, e);
  }
  return bytes;
}

std::vector<std::uint8_t> voiceWord(const char* id = voice::kDictId) {
  std::vector<std::uint8_t> bytes(voice::kRecordsOffset, 0);
  for (std::size_t i = 0; i < voice::kDictIdBytes; ++i) bytes[voice::kDictIdOffset + i] = static_cast<std::uint8_t>(id[i]);
  putU32le(bytes.data() + voice::kSharedFirstOffset, voice::kNoSharedList);
  return bytes;
}

struct Warning {
  ui::UserWarning kind;
  std::string detail;
};

void collectWarning(ui::UserWarning kind, const std::string& detail, void* context) {
  static_cast<std::vector<Warning>*>(context)->push_back({kind, detail});
}

class VoiceLoadingTest : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ui::setWarningSink(collectWarning, &warnings_);
    writeFile(dir_.file("voice.def"), voiceDef(100));
    writeFile(dir_.file("voice.dat"), std::vector<std::uint8_t>(1000, 0xAA));
    writeFile(dir_.file("voice.wrd"), voiceWord());
  }
  void TearDown() override {
    ui::setWarningSink(nullptr, nullptr);
    if (token_ != nullptr) token_->Release();
    EngineTest::TearDown();
  }

  // A token naming the three files; a value set to nullptr is left out.
  ISpObjectToken* makeToken(const char* def = "voice.def", const char* data = "voice.dat", const char* word = "voice.wrd") {
    EXPECT_EQ(host::RegistryToken::open(RegRoot::LocalMachine, u"SOFTWARE\\Test\\Voice", true, &token_), S_OK);
    const std::pair<const char16_t*, const char*> values[] = {{u"VoiceDef", def}, {u"VoiceData", data}, {u"VoiceWord", word}};
    for (const auto& [name, file] : values) {
      if (file != nullptr) {
        EXPECT_EQ(token_->SetStringValue(name, platform::utf8ToUtf16(dir_.file(file)).c_str()), S_OK);
      }
    }
    return token_;
  }

  HRESULT load(ISpObjectToken* token) {
    EXPECT_EQ(KelvaneObj::create(IID_ISpObjectWithToken, reinterpret_cast<void**>(&object_)), S_OK);
    const HRESULT hr = object_->SetObjectToken(token);
    return hr;
  }

  void releaseObject() {
    if (object_ != nullptr) object_->Release();
    object_ = nullptr;
  }

  ISpObjectToken* token_ = nullptr;
  ISpObjectWithToken* object_ = nullptr;
  std::vector<Warning> warnings_;

 public:
  ~VoiceLoadingTest() override { releaseObject(); }
};

TEST_F(VoiceLoadingTest, LoadsAndKeepsTheToken) {
  EXPECT_EQ(load(makeToken()), S_OK);
  EXPECT_EQ(mappedFiles(dir_.path()), (std::vector<std::string>{"voice.dat", "voice.def", "voice.wrd"}));
  ISpObjectToken* got = nullptr;
  EXPECT_EQ(object_->GetObjectToken(&got), S_OK);
  EXPECT_EQ(got, token_);
  got->Release();
  EXPECT_EQ(object_->SetObjectToken(token_), SPERR_ALREADY_INITIALIZED);
  EXPECT_TRUE(warnings_.empty());
  // Teardown unmaps all three.
  releaseObject();
  EXPECT_EQ(mappedFiles(dir_.path()), std::vector<std::string>());
}

TEST_F(VoiceLoadingTest, LowerCaseIdentitiesAreAccepted) {
  auto def = voiceDef(100);
  for (std::size_t i = 0; i < voice::kVoiceIdUnits; ++i) {
    std::uint8_t& c = def[voice::kVoiceIdOffset + 2 * i];
    if (c >= 'A' && c <= 'Z') c = static_cast<std::uint8_t>(c + 32);
  }
  writeFile(dir_.file("voice.def"), def);
  writeFile(dir_.file("voice.wrd"), voiceWord("{f90a50f6-a092-482a-9f0b-e0f0cbd13e0b}"));
  EXPECT_EQ(load(makeToken()), S_OK);
}

// Which damage a voice is refused for, with which error and whether the
// user is warned, is the damaged-voice matrix of the robustness suite; here,
// what a refusal does to the object: SetObjectToken returns the engine's
// error, the user is warned once, and the token stays stored.
TEST_F(VoiceLoadingTest, RefusedVoiceKeepsTheToken) {
  auto def = voiceDef(100);
  def[voice::kVoiceIdOffset + 2 * 5] = static_cast<std::uint8_t>('X');
  writeFile(dir_.file("voice.def"), def);
  EXPECT_EQ(load(makeToken()), E_INVALIDARG);
  ISpTTSEngine* engine = nullptr;
  ASSERT_EQ(object_->QueryInterface(IID_ISpTTSEngine, reinterpret_cast<void**>(&engine)), S_OK);
  const std::string error = static_cast<KelvaneObj*>(engine)->engine().voiceError();
  EXPECT_EQ(error.rfind("VoiceDef", 0), 0u) << error;
  EXPECT_NE(error.find("identity"), std::string::npos) << error;
  engine->Release();
  EXPECT_EQ(warnings_.size(), 1u);
  EXPECT_EQ(object_->SetObjectToken(token_), SPERR_ALREADY_INITIALIZED);
}

TEST_F(VoiceLoadingTest, MissingFileIsWin32FileNotFound) {
  EXPECT_EQ(load(makeToken("voice.def", "no-such-file.dat")), static_cast<HRESULT>(0x80070002u));
  EXPECT_EQ(object_->SetObjectToken(token_), SPERR_ALREADY_INITIALIZED);
}

TEST_F(VoiceLoadingTest, MissingTokenValueGivesTheTokensError) {
  EXPECT_EQ(load(makeToken("voice.def", "voice.dat", nullptr)), SPERR_NOT_FOUND);
  const std::vector<std::string> mapped = mappedFiles(dir_.path());
  // Teardown unmaps whatever was mapped before the missing value was found.
  releaseObject();
  EXPECT_EQ(mappedFiles(dir_.path()), std::vector<std::string>())
      << "mapped before: " << ::testing::PrintToString(mapped);
}

TEST_F(VoiceLoadingTest, TeardownWithoutTokenTouchesNoMapping) {
  ASSERT_EQ(KelvaneObj::create(IID_ISpObjectWithToken, reinterpret_cast<void**>(&object_)), S_OK);
  EXPECT_EQ(object_->Release(), 0u);
  object_ = nullptr;
}

TEST_F(VoiceLoadingTest, UnitsWithoutAudioSpeakNothing) {
  // Every entry is empty: the voice loads, and speaking writes only silences.
  writeFile(dir_.file("voice.def"), voiceDef(0));
  EXPECT_EQ(load(makeToken()), S_OK);
  ISpTTSEngine* engine = nullptr;
  ASSERT_EQ(object_->QueryInterface(IID_ISpTTSEngine, reinterpret_cast<void**>(&engine)), S_OK);
  host::OutputSite site;
  const testing::FragmentList list(u"中a");
  EXPECT_EQ(engine->Speak(0, SPDFID_WaveFormatEx, nullptr, list.head(), &site), S_OK);
  EXPECT_EQ(site.bytesWritten(), 10000u);
  engine->Release();
}

}  // namespace
}  // namespace sonvale
