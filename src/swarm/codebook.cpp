#include "swarm/codebook.hpp"

#include <algorithm>

namespace mhdc::swarm {

Hypervector Codebook::row(std::size_t j, std::size_t limit) const {
  const hdc::RowBank& bank = bank_of(j);
  const std::size_t r = slots_[j].row;
  Hypervector out(std::min(limit, bank.width()));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = bank.at(r, i);
  return out;
}

Codebook::Slot Codebook::stage(HvView v) {
  const std::size_t w = v.size();
  std::size_t s;
  if (auto it = shelf_of_width_.find(w); it != shelf_of_width_.end()) {
    s = it->second;
  } else {
    s = shelves_.size();
    shelves_.push_back(Shelf{hdc::RowBank(w), {}, SignBank(w), true});
    try {
      shelf_of_width_.emplace(w, s);
    } catch (...) {
      shelves_.pop_back();
      throw;
    }
  }
  Shelf& shelf = shelves_[s];
  grow_for(shelf.owner, 1);
  const bool signs = shelf.bipolar && is_bipolar(v);
  if (signs) shelf.signs.push(v);
  try {
    shelf.bank.push(v);  // strong guarantee: a failed push leaves the bank as it was
  } catch (...) {
    if (signs) shelf.signs.pop_back();
    throw;
  }
  if (shelf.bipolar && !signs) {
    shelf.bipolar = false;
    shelf.signs.clear();
  }
  shelf.owner.push_back(kUnowned);
  return Slot{s, shelf.bank.size() - 1};
}

void Codebook::commit(Slot s) noexcept {
  shelves_[s.shelf].owner[s.row] = slots_.size();
  slots_.push_back(s);
}

void Codebook::dots(const float* q, std::size_t n, float* d, std::vector<float>& scratch) const {
  for (const Shelf& shelf : shelves_) {
    const std::size_t rows = shelf.bank.size();
    if (rows == 0) continue;
    if (scratch.size() < rows) scratch.resize(rows);
    if (shelf.bipolar)
      shelf.signs.dots(q, n, scratch.data());
    else
      shelf.bank.dots(q, n, scratch.data());
    for (std::size_t r = 0; r < rows; ++r)
      if (shelf.owner[r] != kUnowned) d[shelf.owner[r]] = scratch[r];
  }
}

}  // namespace mhdc::swarm
