#include "memory/index_map.hpp"

#include <chrono>

#include "hdc/rows.hpp"

namespace mhdc::memory {

std::uint64_t process_hash_seed() noexcept {
  // Address-space layout and start time differ per process; neither can fail.
  static const std::uint64_t seed = [] {
    static int anchor;
    const auto t = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (reinterpret_cast<std::uintptr_t>(&anchor) * 0x9E3779B97F4A7C15ULL) ^ t;
  }();
  return seed;
}

IndexSlot reserve_index(IndexMap& map, std::uint64_t key) {
  IndexSlot slot;
  auto [it, inserted] = map.try_emplace(key);
  slot.map = &map;
  slot.it = it;
  slot.inserted = inserted;
  try {
    hdc::grow_for(it->second, 1);
  } catch (...) {
    slot.rollback();
    throw;
  }
  return slot;
}

}  // namespace mhdc::memory
