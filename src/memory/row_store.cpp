#include "memory/row_store.hpp"

#include <algorithm>
#include <utility>

namespace mhdc::memory {

RowStore::Pending RowStore::prepare(HvView row) {
  Pending p;
  p.row = row;
  if (row.size() > width_) p.tail.assign(row.begin() + static_cast<std::ptrdiff_t>(width_), row.end());
  if (size() % kLanes == 0) {
    p.fresh = hdc::RowBank(width_);
    p.fresh.push(row);  // the chunk's only allocation
    p.has_fresh = true;
    reserve_one_more(chunks_);
  }
  reserve_one_more(tails_);
  reserve_one_more(lengths_);
  return p;
}

void RowStore::commit(Pending&& p) noexcept {
  if (p.has_fresh) {
    chunks_.push_back(std::move(p.fresh));
  } else {
    chunks_.back().push(p.row);  // a lane of an allocated block: no allocation
  }
  tails_.push_back(std::move(p.tail));
  lengths_.push_back(p.row.size());
}

void RowStore::clear(std::size_t width) {
  chunks_.clear();
  tails_.clear();
  lengths_.clear();
  width_ = width;
}

Hypervector RowStore::row(std::size_t r) const {
  const std::size_t len = lengths_[r];
  Hypervector out(len);
  const std::size_t head = std::min(len, width_);
  for (std::size_t i = 0; i < head; ++i) out[i] = bank_at(r, i);
  std::copy(tails_[r].begin(), tails_[r].end(), out.begin() + static_cast<std::ptrdiff_t>(head));
  return out;
}

float RowStore::dot(std::size_t r, HvView q, float init) const {
  const std::size_t limit = std::min(q.size(), lengths_[r]);
  const std::size_t head = std::min(limit, width_);
  float s = init;
  for (std::size_t i = 0; i < head; ++i) s += q[i] * bank_at(r, i);
  if (limit > width_) s = hdc::dot(q.data() + width_, tails_[r].data(), limit - width_, s);
  return s;
}

void RowStore::dots(HvView q, float init, float* out) const {
  const std::size_t m = std::min(q.size(), width_);
  for (std::size_t c = 0; c < chunks_.size(); ++c) chunks_[c].dots(q.data(), m, out + c * kLanes, init);
  for (std::size_t r = 0; r < lengths_.size(); ++r) {
    if (lengths_[r] < m) {
      out[r] = dot(r, q, init);  // the bank's padding was read: redo over the row's true length
    } else if (q.size() > width_ && !tails_[r].empty()) {
      // The sum over the bank's columns is a prefix of the whole sum; carry on from it.
      const std::size_t n = std::min(q.size(), lengths_[r]) - width_;
      out[r] = hdc::dot(q.data() + width_, tails_[r].data(), n, out[r]);
    }
  }
}

}  // namespace mhdc::memory
