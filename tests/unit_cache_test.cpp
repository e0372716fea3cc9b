// The unit cache serves an entry only for exactly its key, keeps to its
// budget, and evicts the least recently used entry first.
#include "synth/unit_cache.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace sonvale {
namespace {

std::shared_ptr<const CachedUnit> unitOf(std::size_t samples, std::int16_t value) {
  auto unit = std::make_shared<CachedUnit>();
  unit->samples.assign(samples, value);
  return unit;
}

const std::vector<std::uint8_t> kCoded = {0xFF, 0xF3, 0x10, 0x20, 0x30, 0x40};

TEST(UnitCacheTest, ServesOnlyTheKeyItWasStoredUnder) {
  UnitCache cache;
  const UnitCacheKey stored{UnitCacheKey::Kind::Scaled, 3, -2, false, 123456, kCoded};
  cache.insert(stored, unitOf(10, 7), 1 << 20);

  std::vector<std::uint8_t> otherByte = kCoded;
  otherByte[3] ^= 1;
  const std::vector<std::uint8_t> shorter(kCoded.begin(), kCoded.end() - 1);
  struct Case {
    const char* name;
    UnitCacheKey key;
  } const misses[] = {
      {"decoded kind", {UnitCacheKey::Kind::Decoded, 3, -2, false, 123456, kCoded}},
      {"other rate", {UnitCacheKey::Kind::Scaled, 4, -2, false, 123456, kCoded}},
      {"other durationIndex", {UnitCacheKey::Kind::Scaled, 3, 2, false, 123456, kCoded}},
      {"other energy", {UnitCacheKey::Kind::Scaled, 3, -2, false, 123457, kCoded}},
      {"other rate scale", {UnitCacheKey::Kind::Scaled, 3, -2, true, 123456, kCoded}},
      {"one coded byte differs", {UnitCacheKey::Kind::Scaled, 3, -2, false, 123456, otherByte}},
      {"coded bytes cut short", {UnitCacheKey::Kind::Scaled, 3, -2, false, 123456, shorter}},
  };
  for (const Case& c : misses) EXPECT_EQ(cache.find(c.key), nullptr) << c.name;

  // Equal bytes at another address are the same unit.
  const std::vector<std::uint8_t> copy = kCoded;
  const auto hit = cache.find({UnitCacheKey::Kind::Scaled, 3, -2, false, 123456, copy});
  ASSERT_NE(hit, nullptr);
  EXPECT_EQ(hit->samples, std::vector<std::int16_t>(10, 7));
}

TEST(UnitCacheTest, EvictsTheLeastRecentlyUsedWithinTheBudget) {
  UnitCache cache;
  std::vector<std::vector<std::uint8_t>> coded;
  for (std::uint8_t u = 0; u < 4; ++u) coded.push_back({0xFF, 0xF3, u});
  const auto key = [&](int u) { return UnitCacheKey{UnitCacheKey::Kind::Decoded, 0, 0, false, 0, coded[u]}; };

  // Each entry takes 2000 sample bytes plus its key and bookkeeping: three
  // fit in 7000 bytes, four do not.
  const std::size_t budget = 7000;
  for (int u = 0; u < 3; ++u) cache.insert(key(u), unitOf(1000, static_cast<std::int16_t>(u)), budget);
  EXPECT_EQ(cache.entries(), 3u);
  // Used in the order 2, 1, 0: 2 is now the least recently used, though it
  // was stored last.
  const auto heldByCaller = cache.find(key(2));
  ASSERT_NE(heldByCaller, nullptr);
  ASSERT_NE(cache.find(key(1)), nullptr);
  ASSERT_NE(cache.find(key(0)), nullptr);

  cache.insert(key(3), unitOf(1000, 3), budget);
  EXPECT_EQ(cache.find(key(2)), nullptr);
  EXPECT_NE(cache.find(key(0)), nullptr);
  EXPECT_NE(cache.find(key(1)), nullptr);
  EXPECT_NE(cache.find(key(3)), nullptr);
  EXPECT_LE(cache.bytes(), budget);
  // An evicted entry stays whole for whoever holds it.
  EXPECT_EQ(heldByCaller->samples, std::vector<std::int16_t>(1000, 2));

  // A value beyond the whole budget is not kept, and a smaller budget evicts.
  cache.insert(key(2), unitOf(4000, 2), budget);
  EXPECT_EQ(cache.find(key(2)), nullptr);
  cache.trim(2500);
  EXPECT_EQ(cache.entries(), 1u);
  cache.trim(0);
  EXPECT_EQ(cache.entries(), 0u);
  EXPECT_EQ(cache.bytes(), 0u);
}

}  // namespace
}  // namespace sonvale
