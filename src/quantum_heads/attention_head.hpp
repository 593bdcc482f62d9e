// The attention head: each key's similarity s to the query becomes a weight
// max(2s - 1, 0); the weights are normalised to sum 1 and mix the values into a
// vector of the head's dimension.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hdc/rows.hpp"
#include "hdc/state.hpp"
#include "hdc/types.hpp"

namespace mhdc::quantum_heads {

using hdc::PackedRows;
using hdc::RowBuffer;

class QuantumAttentionHead {
 public:
  QuantumAttentionHead(std::uint64_t dim, std::uint64_t nqubits) noexcept
      : dim_(dim), nqubits_(nqubits) {}

  std::uint64_t dim() const noexcept { return dim_; }
  std::uint64_t nqubits() const noexcept { return nqubits_; }  // kept, never used by compute

  // Throws value_error "assertion failed: !keys.is_empty() && keys.len() == values.len()"
  // when keys is empty or the row counts differ. One key: a copy of the first
  // value, whatever its length. Otherwise, for n >= 2 keys (all in f32):
  //   s_j = (sum_{i < min(|q|, |k_j|)} q[i] k_j[i], in index order) / |q|
  //   w_j = max(s_j + s_j - 1, 0), NaN -> 0;  total = w_0 + ... + w_{n-1}
  //   total < 1e-9: dim zeros; else p_j = w_j / total and
  //   out[i] = v_j[i] * p_j + out[i] for j in order, i < min(dim, |v_j|).
  // Keys' sums run on the scan kernels (hdc/kernels.hpp: dots_rows), each exactly the index-order sum.
  Hypervector compute(HvView query, PackedRows keys, PackedRows values) const;

  // Same, for separately held vectors (packs them first).
  Hypervector compute(HvView query, std::span<const Hypervector> keys,
                      std::span<const Hypervector> values) const;

  // The dim and nqubits (docs/STATE.md).
  void save(hdc::StateWriter& w) const;
  static QuantumAttentionHead load(hdc::StateReader& r);

 private:
  std::uint64_t dim_;
  std::uint64_t nqubits_;
};

// The length rule of compute on its own, for callers that check before work.
void check_keys_values(std::size_t nkeys, std::size_t nvalues);

}  // namespace mhdc::quantum_heads
