// A codebook of stored component vectors (one entry per agent), kept where the
// cleanup scans read them: entries of one length share an hdc::RowBank, so the
// dots of a query against every entry run one lane per entry with each sum
// still in index order. Entries keep their own length; a scan over entry j
// covers exactly min(query length, length of j) elements (no zero padding,
// which would turn an infinite or NaN query element into a NaN sum).
//
// A shelf whose rows are all bipolar (the usual case) also keeps their sign bits
// in a SignBank and is scanned from those: the same sums from 1/32 of the memory.
// The first non-bipolar row of a width drops that shelf's sign bits for good.
//
// Appending is two-phase so that a caller adding several entries at once can
// stay all-or-nothing: reserve() and stage() allocate and may throw; commit()
// never throws. A row staged but never committed stays behind as an unowned
// row that no scan or lookup ever reports (it only costs memory after an
// allocation failure).
#pragma once
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "hdc/kernels.hpp"
#include "hdc/types.hpp"
#include "swarm/sign_bank.hpp"

namespace mhdc::swarm {

// Makes room for `extra` more elements with geometric growth (a plain
// reserve(size + 1) per append would copy quadratically).
template <class Vec>
void grow_for(Vec& v, std::size_t extra) {
  if (v.capacity() - v.size() >= extra) return;
  if (extra > v.max_size() - v.size()) throw std::length_error("swarm: too many entries");
  std::size_t want = v.size() + extra;
  const std::size_t doubled = v.capacity() > v.max_size() / 2 ? v.max_size() : v.capacity() * 2;
  if (doubled > want) want = doubled;
  v.reserve(want);
}

class Codebook {
 public:
  struct Slot {
    std::size_t shelf;
    std::size_t row;
  };

  std::size_t size() const { return slots_.size(); }
  std::size_t width(std::size_t j) const { return bank_of(j).width(); }
  float at(std::size_t j, std::size_t i) const { return bank_of(j).at(slots_[j].row, i); }
  // The first min(limit, width(j)) elements of entry j.
  Hypervector row(std::size_t j, std::size_t limit = std::numeric_limits<std::size_t>::max()) const;

  // Phase one: room for `extra` commits, then one stage() per new entry.
  void reserve(std::size_t extra) { grow_for(slots_, extra); }
  Slot stage(HvView v);
  // Phase two: the staged row becomes entry size(). Needs a prior reserve().
  void commit(Slot s) noexcept;

  // d[j] = sum over i < min(n, width(j)) of q[i] * entry_j[i], in index order,
  // for every entry j (d has size() elements). `scratch` is resized as needed.
  void dots(const float* q, std::size_t n, float* d, std::vector<float>& scratch) const;

 private:
  static constexpr std::size_t kUnowned = std::numeric_limits<std::size_t>::max();
  struct Shelf {
    hdc::RowBank bank;
    std::vector<std::size_t> owner;  // owner[r] = entry index of bank row r, or kUnowned
    SignBank signs;                  // the same rows' sign bits while `bipolar`
    bool bipolar = true;
  };
  const hdc::RowBank& bank_of(std::size_t j) const { return shelves_[slots_[j].shelf].bank; }

  std::vector<Shelf> shelves_;
  std::unordered_map<std::size_t, std::size_t> shelf_of_width_;
  std::vector<Slot> slots_;
};

}  // namespace mhdc::swarm
