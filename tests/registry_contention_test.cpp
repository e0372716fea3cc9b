// The registry store shared by processes: two save the engine settings over
// and over while a third loads them, and a process killed in the middle of a
// save takes nothing with it that was saved before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "platform/utf.h"
#include "settings/engine_settings.h"
#include "test_seed.h"
#include "test_support.h"

namespace sonvale {
namespace {

using platform::RegKey;
using platform::RegRoot;

constexpr int kWriters = 2;
constexpr int kSaves = 1000;
constexpr std::uint32_t kFirstValue = 7;  // what every setting holds before the writers start

// The value writer w stores at its i-th save; it names the writer and the
// save, so a reader can tell where any value it sees came from.
std::uint32_t savedValue(int writer, int save) { return static_cast<std::uint32_t>((writer + 1) * 100000 + save); }

// The setting the i-th save of a writer stores.
std::size_t settingOfSave(int save) { return static_cast<std::size_t>(save) % settings::settingDefs().size(); }

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits for a child and says whether it exited with status 0.
bool exitedCleanly(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class RegistryContentionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    store_ = dir_.file("registry.reg");
    setenv("SONVALE_REGISTRY", store_.c_str(), 1);
    setenv("SONVALE_SYSTEM_REGISTRY", dir_.file("machine/registry.reg").c_str(), 1);
    settings::resetSettings();
  }
  void TearDown() override {
    unsetenv("SONVALE_REGISTRY");
    unsetenv("SONVALE_SYSTEM_REGISTRY");
    settings::resetSettings();
  }

  testing::TempDir dir_;
  std::string store_;
};

// What the reading process saw, sent back to the test through a pipe.
struct ReaderReport {
  long loads = 0;
  long unparsed = 0;      // the store did not read as a whole registry
  long strangeValues = 0; // a setting held a value nobody wrote to it
  long regressions = 0;   // a writer's value went back to one of its earlier saves
};

TEST_F(RegistryContentionTest, TwoProcessesSaveSettingsWhileAThirdLoadsThem) {
  RegKey key;
  ASSERT_EQ(platform::regCreateKey(RegRoot::LocalMachine, settings::kEnginePropertiesKey, key), ERROR_SUCCESS);
  const auto defs = settings::settingDefs();
  for (const settings::SettingDef& def : defs) ASSERT_EQ(platform::regSetDword(key, def.name, kFirstValue), ERROR_SUCCESS);

  int stopPipe[2], reportPipe[2];
  ASSERT_EQ(::pipe(stopPipe), 0);
  ASSERT_EQ(::pipe(reportPipe), 0);

  // The reader: loads the settings as every new engine does, until told to stop.
  const pid_t reader = ::fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    ::close(stopPipe[1]);
    ::close(reportPipe[0]);
    ::fcntl(stopPipe[0], F_SETFL, O_NONBLOCK);
    ReaderReport report;
    std::vector<std::vector<int>> latest(kWriters, std::vector<int>(defs.size(), -1));
    char byte = 0;
    while (::read(stopPipe[0], &byte, 1) < 0) {
      ++report.loads;
      RegKey opened;
      std::vector<std::u16string> names;
      if (platform::regOpenKey(RegRoot::LocalMachine, settings::kEnginePropertiesKey, opened) != ERROR_SUCCESS ||
          platform::regEnumValues(opened, names) != ERROR_SUCCESS || names.size() != defs.size()) {
        ++report.unparsed;
        continue;
      }
      settings::loadSettings();
      for (std::size_t k = 0; k < defs.size(); ++k) {
        const auto value = static_cast<std::uint32_t>((settings::engineSettings().*defs[k].member).load());
        if (value == kFirstValue) continue;
        const int writer = static_cast<int>(value / 100000) - 1;
        const int save = static_cast<int>(value % 100000);
        if (writer < 0 || writer >= kWriters || save >= kSaves || settingOfSave(save) != k) {
          ++report.strangeValues;
          continue;
        }
        if (save < latest[writer][k]) ++report.regressions;
        latest[writer][k] = save;
      }
    }
    const bool sent = ::write(reportPipe[1], &report, sizeof report) == static_cast<ssize_t>(sizeof report);
    ::_exit(sent ? 0 : 1);
  }
  ::close(stopPipe[0]);
  ::close(reportPipe[1]);

  // The writers: each saves one setting at a time, 1000 times.
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kSaves; ++i)
        if (platform::regSetDword(key, defs[settingOfSave(i)].name, savedValue(w, i)) != ERROR_SUCCESS) ++failures;
      ::_exit(failures == 0 ? 0 : 1);
    }
    writers.push_back(pid);
  }
  for (int w = 0; w < kWriters; ++w) EXPECT_TRUE(exitedCleanly(writers[w])) << "writer " << w;
  ASSERT_EQ(::write(stopPipe[1], "x", 1), 1);
  ReaderReport report;
  EXPECT_EQ(::read(reportPipe[0], &report, sizeof report), static_cast<ssize_t>(sizeof report));
  EXPECT_TRUE(exitedCleanly(reader));
  ::close(stopPipe[1]);
  ::close(reportPipe[0]);

  std::printf("the reader loaded the settings %ld times during %d saves\n", report.loads, kWriters * kSaves);
  EXPECT_GT(report.loads, 0);
  EXPECT_EQ(report.unparsed, 0);
  EXPECT_EQ(report.strangeValues, 0);
  EXPECT_EQ(report.regressions, 0);

  // Each setting holds the last save of one of the writers: setting k was
  // last saved at the largest i < 1000 with i mod 7 = k.
  settings::loadSettings();
  for (std::size_t k = 0; k < defs.size(); ++k) {
    int last = kSaves - 1;
    while (settingOfSave(last) != k) --last;
    const auto value = static_cast<std::uint32_t>((settings::engineSettings().*defs[k].member).load());
    EXPECT_TRUE(value == savedValue(0, last) || value == savedValue(1, last))
        << platform::utf16ToUtf8(defs[k].name) << " holds " << value;
  }
  const std::string text = readText(store_);
  EXPECT_TRUE(text.starts_with("Windows Registry Editor Version 5.00\n\n")) << text.substr(0, 80);
}

// A writer saves a new value again and again and tells the test after each
// save; the test kills it with SIGKILL at a random moment. Every value it
// reported saved must still be there, the store must read, and the next
// writer must not be kept waiting by a lock. Rounds go on until a few kills
// have landed in the middle of a save (a save's temporary file is left
// behind), the case this test is for; never seeing one fails. Saves go
// round a fixed set of value names, so the store and each round's checks
// stay the same size however many rounds that takes.
TEST_F(RegistryContentionTest, WriterKilledMidSaveLosesNothingSavedBefore) {
  RegKey key;
  ASSERT_EQ(platform::regCreateKey(RegRoot::LocalMachine, u"SOFTWARE\\Sonvale\\Killed", key), ERROR_SUCCESS);
  std::mt19937 rng(testing::testSeed());
  constexpr int kMidSaveKills = 3;
  constexpr int kMaxRounds = 200;
  constexpr int kNames = 64;
  int rounds = 0;
  int next = 0;  // the number of the next save, over all rounds
  int killedMidSave = 0;
  // Temporary files of saves that never finished (of process `pid` when given).
  const auto leftovers = [this](pid_t pid = 0) {
    const std::string prefix = "registry.reg.tmp." + (pid > 0 ? std::to_string(pid) + "." : std::string());
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      if (entry.path().filename().string().starts_with(prefix)) ++count;
    return count;
  };
  // Save n stores n * 3 + 1 under the name Saved<n mod kNames>.
  const auto nameOf = [](int n) { return u"Saved" + platform::utf8ToUtf16(std::to_string(n % kNames)); };
  const auto valueOf = [](int n) { return static_cast<DWORD>(n) * 3u + 1u; };
  for (; rounds < kMaxRounds && killedMidSave < kMidSaveKills; ++rounds) {
    SCOPED_TRACE("round " + std::to_string(rounds));
    int savedPipe[2];
    ASSERT_EQ(::pipe(savedPipe), 0);
    const int first = next;
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      ::close(savedPipe[0]);
      for (int n = first;; ++n) {
        if (platform::regSetDword(key, nameOf(n), valueOf(n)) != ERROR_SUCCESS) ::_exit(1);
        if (::write(savedPipe[1], &n, sizeof n) != static_cast<ssize_t>(sizeof n)) ::_exit(1);
      }
    }
    ::close(savedPipe[1]);
    // Let it save a few values, then kill it a little later.
    const int waitFor = std::uniform_int_distribution<int>(1, 20)(rng);
    int confirmed = first - 1;
    for (int got = 0; got < waitFor; ++got) {
      int n = 0;
      if (::read(savedPipe[0], &n, sizeof n) != static_cast<ssize_t>(sizeof n)) break;  // the writer failed
      confirmed = n;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(rng)));
    ASSERT_EQ(::kill(writer, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    int n = 0;
    while (::read(savedPipe[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n)) confirmed = n;
    ::close(savedPipe[0]);
    killedMidSave += leftovers(writer);

    // The save in flight may have landed or not; nothing beyond it has.
    const int inFlight = confirmed + 1;
    DWORD value = 0;
    const bool landed = platform::regQueryDword(key, nameOf(inFlight), value) == ERROR_SUCCESS &&
                        value == valueOf(inFlight);
    next = landed ? inFlight + 1 : inFlight;
    // Every name holds the last save made to it.
    std::vector<std::u16string> names;
    ASSERT_EQ(platform::regEnumValues(key, names), ERROR_SUCCESS);
    EXPECT_EQ(names.size(), static_cast<std::size_t>(std::min(next, kNames)));
    for (int last = std::max(0, next - kNames); last < next; ++last) {
      ASSERT_EQ(platform::regQueryDword(key, nameOf(last), value), ERROR_SUCCESS) << "save " << last;
      EXPECT_EQ(value, valueOf(last)) << "save " << last << " of " << confirmed << " reported";
    }
  }
  // A kill in the middle of a save leaves its temporary file behind; the
  // store itself never sees it, and the next save clears it away.
  std::printf("%d rounds, %d saves, %d of the kills in the middle of a save\n", rounds, next, killedMidSave);
  EXPECT_GE(killedMidSave, kMidSaveKills) << "no kill in " << rounds << " rounds landed in the middle of a save";
  // The lock of a killed writer is gone with it.
  EXPECT_EQ(platform::regSetDword(key, u"After", 1), ERROR_SUCCESS);
  EXPECT_EQ(leftovers(), 0);
}

}  // namespace
}  // namespace sonvale
