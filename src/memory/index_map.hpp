// The hash map the memories index their 64-bit keys with (string hashes, sign
// signatures). Sign signatures of similar vectors share most bits, so keys are
// mixed before bucketing, with a per-process seed so that no fixed key set
// degrades every process alike. Iteration order is never observed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace mhdc::memory {

std::uint64_t process_hash_seed() noexcept;

struct MixedKeyHash {
  std::size_t operator()(std::uint64_t k) const noexcept {
    // splitmix64 finaliser over the seeded key
    std::uint64_t z = k ^ process_hash_seed();
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<std::size_t>(z ^ (z >> 31));
  }
};

// key -> indices in insertion order
using IndexMap = std::unordered_map<std::uint64_t, std::vector<std::uint64_t>, MixedKeyHash>;

// Appends `index` under `key` with the strong guarantee: either the list grows
// by one or the map is left exactly as it was (no empty list left behind).
// Split in two so that owners can allocate everything before changing anything.
struct IndexSlot {
  IndexMap* map = nullptr;
  IndexMap::iterator it;
  bool inserted = false;
  // Undo an insertion made by reserve_index if the owner's operation fails later.
  void rollback() noexcept {
    if (map && inserted) map->erase(it);
    map = nullptr;
  }
  void commit(std::uint64_t index) noexcept {
    it->second.push_back(index);  // capacity reserved
    map = nullptr;
  }
};
IndexSlot reserve_index(IndexMap& map, std::uint64_t key);

}  // namespace mhdc::memory
