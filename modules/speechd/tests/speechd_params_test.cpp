#include "speechd_params.h"

#include <gtest/gtest.h>

#include <climits>

namespace sonvale::speechd {
namespace {

struct MapCase {
  const char* name;
  int in;
  int out;
};

// Rate: r / 10 rounded to nearest, halves away from zero; worked by hand:
// 15 / 10 = 1.5 -> 2, 14 / 10 = 1.4 -> 1, -15 / 10 = -1.5 -> -2.
TEST(SapiRate, Table) {
  const MapCase cases[] = {
      {"normal", 0, 0},           {"fastest", 100, 10},       {"slowest", -100, -10},
      {"half rounds up", 15, 2},  {"below half", 14, 1},      {"negative half", -15, -2},
      {"negative below half", -14, -1}, {"five", 5, 1},       {"four", 4, 0},
      {"minus five", -5, -1},     {"ninety-four", 94, 9},     {"ninety-five", 95, 10},
      {"too fast", 250, 10},      {"too slow", -1000, -10},   {"int extremes", INT_MIN, -10},
  };
  for (const MapCase& c : cases) EXPECT_EQ(sapiRate(c.in), c.out) << c.name;
  EXPECT_EQ(sapiRate(INT_MAX), 10);
}

TEST(SapiRate, OppositeRatesStayOppositeAndOrderIsKept) {
  for (int r = -100; r <= 100; ++r) EXPECT_EQ(sapiRate(-r), -sapiRate(r)) << r;
  for (int r = -99; r <= 100; ++r) EXPECT_GE(sapiRate(r), sapiRate(r - 1)) << r;
}

// Volume: 0 and above are the voice's full loudness, 100; below 0, 100 + v.
TEST(SapiVolume, Table) {
  const MapCase cases[] = {
      {"normal", 0, 100},      {"loudest", 100, 100},  {"above normal", 50, 100}, {"one below", -1, 99},
      {"half", -50, 50},       {"silent", -100, 0},    {"below silent", -200, 0}, {"above loudest", 300, 100},
      {"int minimum", INT_MIN, 0},
  };
  for (const MapCase& c : cases) EXPECT_EQ(sapiVolume(c.in), c.out) << c.name;
}

TEST(SapiVolume, NeverFallsAsTheVolumeRises) {
  for (int v = -99; v <= 100; ++v) EXPECT_GE(sapiVolume(v), sapiVolume(v - 1)) << v;
}

TEST(ReadPunctuationFor, Modes) {
  struct Case {
    const char* mode;
    std::optional<int> value;
  };
  const Case cases[] = {{"none", 0}, {"some", 0}, {"most", 1}, {"all", 1},
                        {"", std::nullopt}, {"ALL", std::nullopt}, {"NULL", std::nullopt}, {"loud", std::nullopt}};
  for (const Case& c : cases) EXPECT_EQ(readPunctuationFor(c.mode), c.value) << "mode '" << c.mode << "'";
}

TEST(IsCantoneseTag, Tags) {
  struct Case {
    const char* tag;
    bool cantonese;
  };
  const Case cases[] = {{"yue", true},     {"YUE", true},     {"yue-HK", true},   {"yue_Hant_HK", true},
                        {"zh-HK", true},   {"zh_hk", true},   {"zh-yue", true},   {"ZH-YUE", true},
                        {"zh", false},     {"zh-CN", false},  {"zh-TW", false},   {"en", false},
                        {"", false},       {"yuen", false},   {"zh-HKG", false},  {"c", false}};
  for (const Case& c : cases) EXPECT_EQ(isCantoneseTag(c.tag), c.cantonese) << "tag '" << c.tag << "'";
}

}  // namespace
}  // namespace sonvale::speechd
