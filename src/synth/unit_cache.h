// A process-wide cache of what syllable synthesis works out for a unit before
// its volume is applied: the decoded samples of a unit, and the samples after
// the first trim and the time scaling at one rate and durationIndex. Engines of
// one process share it, whichever voice files they mapped.
//
// An entry is found by the unit's coded bytes themselves, together with what
// else its samples depend on (stored energy, rate, durationIndex). A hit
// compares the coded bytes in full, so two voices, or a voice file replaced on
// disk, can never be served each other's samples, and the samples handed out
// are exactly those the same computation would give again.
//
// Bounded by a byte budget passed on each insert; the least recently used
// entries go first. Safe to use from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

namespace sonvale {

struct UnitCacheKey {
  enum class Kind : std::uint8_t { Decoded, Scaled };
  Kind kind = Kind::Decoded;
  std::int32_t rate = 0;           // Scaled only
  std::int32_t durationIndex = 0;  // Scaled only
  bool fastSpeech = false;         // Scaled only: the rate scale the time scaling used
  std::uint64_t energy = 0;        // Scaled only: the stored energy of the first trim
  std::span<const std::uint8_t> coded;
};

// What an entry holds. For Decoded, `samples` are the decoded unit; for
// Scaled, the samples after the first trim and time scaling, with the byte
// counts the trace reports.
struct CachedUnit {
  std::vector<std::int16_t> samples;
  std::uint32_t decodedBytes = 0;
  std::uint32_t firstStartBytes = 0, firstEndBytes = 0;
};

class UnitCache {
 public:
  // The cache of this process.
  static UnitCache& shared();

  // The entry for `key`, or null. A hit becomes the most recently used.
  std::shared_ptr<const CachedUnit> find(const UnitCacheKey& key);

  // Stores `value` under `key` (replacing an equal key) and evicts the least
  // recently used entries until the cache holds at most `budgetBytes`. A value
  // larger than the budget is not stored. Entries handed out by find() stay
  // valid for their holders after eviction.
  void insert(const UnitCacheKey& key, std::shared_ptr<const CachedUnit> value, std::size_t budgetBytes);

  // Evicts down to `budgetBytes`; 0 empties the cache.
  void trim(std::size_t budgetBytes);

  // Bytes held: samples, coded keys and bookkeeping.
  std::size_t bytes() const;
  std::size_t entries() const;

 private:
  struct Entry {
    UnitCacheKey::Kind kind;
    std::int32_t rate, durationIndex;
    bool fastSpeech;
    std::uint64_t energy;
    std::vector<std::uint8_t> coded;
    std::uint64_t hash;
    std::shared_ptr<const CachedUnit> value;
    std::size_t bytes;
  };
  using Lru = std::list<Entry>;  // most recently used first

  static std::uint64_t hashOf(const UnitCacheKey& key);
  static bool matches(const Entry& entry, const UnitCacheKey& key);
  Lru::iterator lookUp(const UnitCacheKey& key, std::uint64_t hash);
  void evictTo(std::size_t budgetBytes);

  mutable std::mutex mutex_;
  Lru lru_;
  std::unordered_multimap<std::uint64_t, Lru::iterator> index_;
  std::size_t bytes_ = 0;
};

}  // namespace sonvale
