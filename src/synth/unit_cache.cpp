#include "synth/unit_cache.h"

#include <algorithm>
#include <cstring>

namespace sonvale {

namespace {

// Bookkeeping of one entry beyond its samples and coded bytes: list node,
// index node, the value's control block, rounded up.
constexpr std::size_t kEntryOverheadBytes = 256;

constexpr std::size_t kHashedBytes = 64;

constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    hash = (hash ^ (value & 0xFF)) * kFnvPrime;
    value >>= 8;
  }
  return hash;
}

}  // namespace

UnitCache& UnitCache::shared() {
  static UnitCache cache;
  return cache;
}

std::uint64_t UnitCache::hashOf(const UnitCacheKey& key) {
  // The length and at most kHashedBytes bytes spread over the coded unit tell
  // units apart well enough for the index; a hit compares every byte anyway.
  std::uint64_t hash = mix(kFnvOffset, key.coded.size());
  const std::size_t step = std::max<std::size_t>(1, key.coded.size() / kHashedBytes);
  for (std::size_t i = 0; i < key.coded.size(); i += step) hash = (hash ^ key.coded[i]) * kFnvPrime;
  hash = mix(hash, static_cast<std::uint64_t>(key.kind));
  hash = mix(hash, static_cast<std::uint32_t>(key.rate));
  hash = mix(hash, static_cast<std::uint32_t>(key.durationIndex));
  hash = mix(hash, key.fastSpeech ? 1u : 0u);
  return mix(hash, key.energy);
}

bool UnitCache::matches(const Entry& entry, const UnitCacheKey& key) {
  return entry.kind == key.kind && entry.rate == key.rate && entry.durationIndex == key.durationIndex &&
         entry.fastSpeech == key.fastSpeech &&
         entry.energy == key.energy && entry.coded.size() == key.coded.size() &&
         (key.coded.empty() || std::memcmp(entry.coded.data(), key.coded.data(), key.coded.size()) == 0);
}

UnitCache::Lru::iterator UnitCache::lookUp(const UnitCacheKey& key, std::uint64_t hash) {
  const auto [first, last] = index_.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    if (matches(*it->second, key)) return it->second;
  }
  return lru_.end();
}

std::shared_ptr<const CachedUnit> UnitCache::find(const UnitCacheKey& key) {
  const std::uint64_t hash = hashOf(key);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = lookUp(key, hash);
  if (it == lru_.end()) return nullptr;
  lru_.splice(lru_.begin(), lru_, it);
  return it->value;
}

void UnitCache::insert(const UnitCacheKey& key, std::shared_ptr<const CachedUnit> value, std::size_t budgetBytes) {
  if (value == nullptr) return;
  const std::size_t entryBytes = value->samples.size() * sizeof(std::int16_t) + key.coded.size() + kEntryOverheadBytes;
  const std::uint64_t hash = hashOf(key);
  // The copy of the key is made before taking the lock.
  Entry entry{key.kind, key.rate, key.durationIndex, key.fastSpeech, key.energy, {key.coded.begin(), key.coded.end()},
              hash,     std::move(value), entryBytes};

  std::lock_guard<std::mutex> lock(mutex_);
  if (const auto old = lookUp(key, hash); old != lru_.end()) {
    // Another thread stored the same samples meanwhile: keep one.
    lru_.splice(lru_.begin(), lru_, old);
    evictTo(budgetBytes);
    return;
  }
  if (entryBytes > budgetBytes) {
    evictTo(budgetBytes);
    return;
  }
  evictTo(budgetBytes - entryBytes);
  lru_.push_front(std::move(entry));
  index_.emplace(hash, lru_.begin());
  bytes_ += entryBytes;
}

void UnitCache::trim(std::size_t budgetBytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  evictTo(budgetBytes);
}

void UnitCache::evictTo(std::size_t budgetBytes) {
  while (bytes_ > budgetBytes && !lru_.empty()) {
    const auto victim = std::prev(lru_.end());
    const auto [first, last] = index_.equal_range(victim->hash);
    for (auto it = first; it != last; ++it) {
      if (it->second == victim) {
        index_.erase(it);
        break;
      }
    }
    bytes_ -= victim->bytes;
    lru_.erase(victim);
  }
}

std::size_t UnitCache::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

std::size_t UnitCache::entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lru_.size();
}

}  // namespace sonvale
