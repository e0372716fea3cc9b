// Helpers shared by the engine's test suites: a private registry store per
// test, fragment lists, and a syllable synthesiser that records its calls.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "platform/registry.h"
#include "settings/engine_settings.h"

namespace sonvale::testing {

// A fresh directory under the system's temporary directory, removed at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sonvale-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Gives each test its own registry store and the settings' start values, and
// no diagnostic dumps unless a test asks for them.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    setenv("SONVALE_REGISTRY", dir_.file("registry.reg").c_str(), 1);
    // Never the machine's own store beneath it.
    setenv("SONVALE_SYSTEM_REGISTRY", dir_.file("machine/registry.reg").c_str(), 1);
    unsetenv("SONVALE_DUMP_DIR");
    settings::resetSettings();
  }
  void TearDown() override {
    unsetenv("SONVALE_REGISTRY");
    unsetenv("SONVALE_SYSTEM_REGISTRY");
    unsetenv("SONVALE_DUMP_DIR");
    settings::resetSettings();
  }

  // Stores engine settings in the registry, as the properties dialog would.
  void storeSettings(const std::vector<std::pair<std::u16string, DWORD>>& values) {
    platform::RegKey key;
    ASSERT_EQ(platform::regCreateKey(platform::RegRoot::LocalMachine, settings::kEnginePropertiesKey, key),
              ERROR_SUCCESS);
    for (const auto& [name, value] : values) ASSERT_EQ(platform::regSetDword(key, name, value), ERROR_SUCCESS);
  }

  TempDir dir_;
};

// One fragment of a list; the text is owned by the fragment.
struct Fragment {
  SPVACTIONS action = SPVA_Speak;
  std::u16string text;
  ULONG srcOffset = 0;
  ULONG silenceMs = 0;
};

// A fragment list built from Fragment values, linked in order.
class FragmentList {
 public:
  explicit FragmentList(std::vector<Fragment> fragments) : source_(std::move(fragments)) {
    frags_.resize(source_.size());
    for (std::size_t i = 0; i < source_.size(); ++i) {
      SPVTEXTFRAG& f = frags_[i];
      f = SPVTEXTFRAG{};
      f.pNext = i + 1 < source_.size() ? &frags_[i + 1] : nullptr;
      f.State.eAction = source_[i].action;
      f.State.Volume = 100;
      f.State.SilenceMSecs = source_[i].silenceMs;
      f.pTextStart = source_[i].text.c_str();
      f.ulTextLen = static_cast<ULONG>(source_[i].text.size());
      f.ulTextSrcOffset = source_[i].srcOffset;
    }
  }
  // One spoken fragment at source offset 0.
  explicit FragmentList(std::u16string text) : FragmentList(std::vector<Fragment>{{SPVA_Speak, std::move(text)}}) {}

  const SPVTEXTFRAG* head() const { return frags_.empty() ? nullptr : frags_.data(); }
  SPVTEXTFRAG& operator[](std::size_t i) { return frags_[i]; }

 private:
  std::vector<Fragment> source_;
  std::vector<SPVTEXTFRAG> frags_;
};

// Stands in for syllable synthesis: writes `bytesPerSyllable` bytes of a
// recognisable pattern for each call and records what it was asked.
class RecordingSynth : public SyllableSynth {
 public:
  struct Call {
    std::uint32_t unitCode;
    SyllableParams params;
    std::int32_t rate;
    std::uint32_t volume;
  };

  explicit RecordingSynth(std::uint32_t bytesPerSyllable = 100) : bytes_(bytesPerSyllable, 0x55) {}

  std::uint32_t speakSyllable(ISpTTSEngineSite* site, std::int32_t rate, std::uint32_t volume, std::uint32_t unitCode,
                              const SyllableParams& params) override {
    calls.push_back({unitCode, params, rate, volume});
    if (onCall) onCall(calls.size());
    const auto count = static_cast<ULONG>(bytes_.size());
    return FAILED(site->Write(bytes_.data(), count, nullptr)) ? 0 : count;
  }

  std::vector<Call> calls;
  std::function<void(std::size_t)> onCall;  // after the n-th call is recorded

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace sonvale::testing
