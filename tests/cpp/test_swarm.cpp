// What Python cannot reach: each sign-bit scan kernel against the index-order sums, a
// row staged without a commit (as after a failed allocation), the inverse shift past 2^31,
// and an allocation failing at each point of add_paradox_trap in turn.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "swarm/codebook.hpp"
#include "swarm/swarm.hpp"

using mhdc::Hypervector;
using mhdc::hdc::SignKernel;

TEST(SwarmSignBank, EveryKernelGivesTheIndexOrderSums) {
  std::mt19937_64 g(31);
  const float odd[] = {0.0f, -0.0f, 1e-45f, -3e-39f, 0.1f, 3e38f, INFINITY, NAN};  // the last three only late
  for (std::size_t width : {0u, 1u, 7u, 64u, 333u}) {
    for (std::size_t rows : {1u, 15u, 16u, 17u, 70u, 1030u}) {  // 1030: past one gathered chunk of blocks
      mhdc::swarm::SignBank bank(width);
      std::vector<Hypervector> kept(rows, Hypervector(width));
      for (std::size_t r = 0; r < rows; ++r) {
        for (float& x : kept[r]) x = (g() & 1) ? -1.0f : 1.0f;
        bank.push(kept[r]);
        if (r % 3 == 1) bank.push(Hypervector(width, -1.0f)), bank.pop_back();  // pop_back undoes a push
      }
      Hypervector q(width + 3);
      for (std::size_t i = 0; i < q.size(); ++i)
        q[i] = g() % 8 ? std::ldexp(float(int(g() % 2001) - 1000), -int(g() % 9)) : odd[g() % (i < width / 2 ? 5 : 8)];
      for (std::size_t m : {width / 2, width + 3})
        for (float init : {0.0f, -0.0f})
          for (SignKernel k : {SignKernel::automatic, SignKernel::lanes8, SignKernel::avx512, SignKernel::scalar}) {
            if (!mhdc::hdc::sign_kernel_available(k)) continue;
            std::vector<float> got(rows + 1, 7.0f);
            bank.dots(q.data(), m, got.data(), init, k);
            EXPECT_EQ(got[rows], 7.0f) << "wrote past the rows";
            for (std::size_t r = 0; r < rows; ++r) {
              float want = init;
              for (std::size_t i = 0; i < std::min(m, width); ++i) want += q[i] * kept[r][i];
              ASSERT_TRUE(std::bit_cast<std::uint32_t>(got[r]) == std::bit_cast<std::uint32_t>(want) ||
                          (std::isnan(got[r]) && std::isnan(want)))  // a NaN's sign bit is no result
                  << "kernel " << int(k) << " " << width << "x" << rows << " m " << m << " row " << r;
            }
          }
    }
  }
}

TEST(SwarmCodebook, ARowStagedWithoutCommitIsNeverReported) {
  mhdc::swarm::Codebook book;
  book.reserve(3);
  book.commit(book.stage(Hypervector{1.0f, 2.0f}));
  (void)book.stage(Hypervector{100.0f, 100.0f});
  book.commit(book.stage(Hypervector{3.0f, 4.0f}));
  const float q[] = {1.0f, 1.0f};
  std::vector<float> d(2), scratch;
  book.dots(q, 2, d.data(), scratch);
  EXPECT_EQ(d, (std::vector<float>{3.0f, 7.0f}));
}

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
