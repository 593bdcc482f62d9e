// Growable store of vectors of any length, kept so that one query's dot product
// against every stored row runs one lane per row while each sum stays in index
// order.
//
// Rows live in blocks of kLanes rows laid out like hdc::RowBank's (element i of
// the block's rows at [i][lane]). The store keeps its own blocks rather than
// RowBanks for two reasons: a block is allocated whole when its first row
// arrives, so a push splits into an allocating `prepare` and a `commit` that
// cannot fail (owners that append to several stores in one operation prepare all
// of them first, then commit, and so never leave a half-made update behind); and
// the scan keeps several blocks in flight, so the adds of independent rows
// overlap instead of waiting on one dependency chain per block.
//
// While every row is bipolar over the bank (its first `width` components
// exactly +1.0f or -1.0f), the store also keeps the rows' sign bits (in the
// 16-row blocks of hdc/sign_kernels.hpp) and the automatic scan adds q[i] with
// the row's sign applied instead of multiplying: q * (+-1) is exactly +-q for
// every non-NaN q, so the sums are the same bit for bit, read from 1/32 of the
// memory. A query holding a NaN in the scanned range takes the float blocks
// (multiplying keeps a NaN's sign; flipping it would not). The first row that
// is not bipolar drops the sign bits for good (until `clear`).
//
// The bank holds each row's first `width` components; components beyond that
// are kept as the row's tail. A row shorter than `width` is padded in the bank,
// and its dot is recomputed from its true length wherever the padding would be
// read (a padded 0 times an infinite query component would otherwise add NaN).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hdc/sign_kernels.hpp"
#include "hdc/types.hpp"

namespace mhdc::memory {

// Grows a vector's capacity geometrically so that the next push_back cannot throw.
template <class V>
void reserve_one_more(V& v) {
  if (v.size() == v.capacity()) v.reserve(v.size() < 8 ? 8 : v.size() * 2);
}

// The lane kernels behind RowStore::dots; `automatic` picks the widest the CPU has.
enum class LaneKernel { automatic, generic, sse2, avx2 };
bool lane_kernel_available(LaneKernel k);

class RowStore {
 public:
  static constexpr std::size_t kLanes = 8;

  explicit RowStore(std::size_t width = 0) : width_(width) {}

  std::size_t width() const { return width_; }
  std::size_t size() const { return lengths_.size(); }
  std::size_t length(std::size_t r) const { return lengths_[r]; }

  // Everything a push needs, allocated; committing it cannot fail.
  struct Pending {
    HvView row;
    std::vector<float> fresh;  // a new block, when the last one is full
    bool has_fresh = false;
    Hypervector tail;
    bool bipolar = false;               // the row's bank part is all +-1 (and the store still is)
    std::vector<std::uint8_t> fresh_signs;  // a new sign block, when bipolar and the last one is full
    bool has_fresh_signs = false;
  };
  Pending prepare(HvView row);
  void commit(Pending&& p) noexcept;
  void push(HvView row) { commit(prepare(row)); }

  // Empties the store; the width may change for the rows that follow.
  void clear(std::size_t width);

  // Copy of row r, whole.
  Hypervector row(std::size_t r) const;

  // init + sum over i < min(len q, len row r) of q[i] * row_r[i], in index order.
  float dot(std::size_t r, HvView q, float init) const;

  // dot(r, q, init) for every row, into out[0 .. size()).
  // `signs` picks the sign-bit kernel the automatic scan uses (every one gives the same bits).
  void dots(HvView q, float init, float* out, LaneKernel kernel = LaneKernel::automatic,
            hdc::SignKernel signs = hdc::SignKernel::automatic) const;
  // The same, one row at a time: the reference the lane kernel is tested against.
  void dots_scalar(HvView q, float init, float* out) const;
  // Whether the automatic scan can read sign bits (every row bipolar over the bank).
  bool keeps_signs() const { return all_bipolar_; }

 private:
  float bank_at(std::size_t r, std::size_t i) const {
    return blocks_[r / kLanes][i * kLanes + r % kLanes];
  }

  std::size_t width_;
  std::vector<std::vector<float>> blocks_;
  std::vector<Hypervector> tails_;
  std::vector<std::size_t> lengths_;
  bool all_bipolar_ = true;
  // While all_bipolar_: the rows' sign bits in blocks of hdc::kSignRows rows.
  std::vector<std::vector<std::uint8_t>> signs_;
};

}  // namespace mhdc::memory
