// What Python cannot reach: the inverse shift past 2^31, and an allocation failing at
// each point of add_paradox_trap in turn.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "swarm/swarm.hpp"

using mhdc::Hypervector;

TEST(SwarmInverseShift, UndoesAnyShiftForDimsPast2To31) {
  for (unsigned long long dim : {1ull << 31, (1ull << 31) + 5, 1ull << 40, ~0ull})
    for (unsigned long long k : {0ull, 1ull, dim - 1, dim, (1ull << 31) + 3, ~0ull}) {
      const std::uint64_t inv = mhdc::swarm::inverse_shift(dim, k);
      EXPECT_LT(inv, dim);
      EXPECT_EQ((static_cast<unsigned __int128>(k) + inv) % dim, 0u) << dim << " " << k;
    }
}

// Every allocation of the executable goes through here; fail_after >= 0 makes the one
// after that many succeed throw, as running out of memory would. (The replaced new and
// delete are a malloc/free pair, whatever GCC infers where it inlines them.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static long fail_after = -1;
void* operator new(std::size_t n) {
  if (fail_after >= 0 && fail_after-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

TEST(SwarmAllocation, AFailureAnywhereInAParadoxTrapChangesNothing) {
  const std::vector<std::string> names{"a", "b", "c"};
  const std::vector<Hypervector> roles(3, Hypervector(40, 1.0f)), keys(3, Hypervector(40, -1.0f));
  const Hypervector probe(40, 1.0f);
  auto state = [&](const mhdc::swarm::HoloSwarm& s) {
    std::vector<Hypervector> rows;
    for (std::size_t j = 0; j < s.size(); ++j) rows.insert(rows.end(), {s.role_hv(j), s.policy_hv(j), s.skill_hv(j)});
    return std::make_tuple(s.role_names(), s.policy_names(), s.skill_names(), s.swarm_vector(), rows,
                           s.materialize(probe, -INFINITY));
  };
  for (long k = 0;; ++k) {
    mhdc::swarm::HoloSwarm s(40);
    s.add_agent("r", probe, "p", probe, "s", probe);
    const auto before = state(s);
    fail_after = k;
    try {
      s.add_paradox_trap(names, roles, keys);
      fail_after = -1;
      ASSERT_EQ(s.size(), 4u);
      break;
    } catch (const std::bad_alloc&) {
      fail_after = -1;
      ASSERT_EQ(state(s), before) << "failing allocation " << k;
    }
  }
}
