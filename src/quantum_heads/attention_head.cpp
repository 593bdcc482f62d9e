#include "quantum_heads/attention_head.hpp"

#include <algorithm>

#include "hdc/errors.hpp"
#include "hdc/kernels.hpp"

namespace mhdc::quantum_heads {

void check_keys_values(std::size_t nkeys, std::size_t nvalues) {
  if (nkeys == 0 || nkeys != nvalues)
    throw value_error("assertion failed: !keys.is_empty() && keys.len() == values.len()");
}

namespace {

// sums[j] = sum_{i < min(|q|, |k_j|)} q[i] * k_j[i] in index order. Each run of
// consecutive keys of one length is a strided matrix, so it goes to the lane
// kernel whole; ragged keys simply make shorter runs.
void key_sums(HvView q, PackedRows keys, float* sums) {
  const std::size_t n = keys.rows();
  for (std::size_t j = 0; j < n;) {
    const std::size_t len = keys.length(j);
    std::size_t end = j + 1;
    while (end < n && keys.length(end) == len) ++end;
    hdc::dots_rows(q.data(), keys.row(j), end - j, len, std::min(q.size(), len), sums + j, 0.0f);
    j = end;
  }
}

}  // namespace

Hypervector QuantumAttentionHead::compute(HvView query, PackedRows keys, PackedRows values) const {
  check_keys_values(keys.rows(), values.rows());
  const std::size_t n = keys.rows();
  if (n == 1) return Hypervector(values.row(0), values.row(0) + values.length(0));

  std::vector<float> w(n);
  Hypervector out(dim_, 0.0f);

  key_sums(query, keys, w.data());
  const float qlen = static_cast<float>(query.size());
  for (std::size_t j = 0; j < n; ++j) {
    const float s = w[j] / qlen;
    const float a = s + s + -1.0f;
    w[j] = a > 0.0f ? a : 0.0f;  // also maps NaN to 0
  }
  float total = w[0];
  for (std::size_t j = 1; j < n; ++j) total += w[j];
  if (total < 1e-9f) return out;

  for (std::size_t j = 0; j < n; ++j) w[j] = w[j] / total;
  for (std::size_t j = 0; j < n; ++j) {
    const float p = w[j];
    const float* v = values.row(j);
    const std::size_t m = std::min<std::uint64_t>(dim_, values.length(j));
    // Element-wise over i; each out[i] still receives its terms in key order.
    for (std::size_t i = 0; i < m; ++i) out[i] = v[i] * p + out[i];
  }
  return out;
}

Hypervector QuantumAttentionHead::compute(HvView query, std::span<const Hypervector> keys,
                                          std::span<const Hypervector> values) const {
  check_keys_values(keys.size(), values.size());
  const RowBuffer k(keys), v(values);
  return compute(query, k.view(), v.view());
}

void QuantumAttentionHead::save(hdc::StateWriter& w) const {
  w.u64(dim_);
  w.u64(nqubits_);
}

QuantumAttentionHead QuantumAttentionHead::load(hdc::StateReader& r) {
  const std::uint64_t dim = r.u64("dim");
  return QuantumAttentionHead(dim, r.u64("nqubits"));
}

}  // namespace mhdc::quantum_heads
