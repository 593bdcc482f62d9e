// Stores of rows that scans read, and the packed form of a list of vectors.
//
// `Rows` holds vectors of any length. Its first `width` components are kept
// where the scan kernels (hdc/kernels.hpp) read them fastest:
// - while every row is bipolar over the width (its first `width` elements each
//   exactly +1.0f or -1.0f) as sign bits only, twice: bit_words(width) words a
//   row, against which a bipolar query is counted (popcount), and 16-row mask
//   blocks, which apply the signs to any other query (1/16 of the floats in
//   all); rows come back from the bits exactly;
// - from the first row that is not (or always, for a store made without bits)
//   as floats in lane blocks of kLanes rows, the bits turned into floats then.
// Components past the width are the row's tail, kept as floats; a row shorter
// than the width is padded in its block and its dot recomputed over its true
// length wherever a scan would read the padding (a padded 0 times an infinite
// query component would add a NaN the row never had).
//
// Every scan gives, bit for bit, init + sum over i < min(len q, len row) of
// q[i] * row[i] in index order (`dots_scalar` is that loop).
//
// Appending is two-phase, so that an owner adding to several stores in one
// operation can stay all-or-nothing: `reserve` allocates everything the listed
// rows need and may throw, changing nothing a reader sees; `append` then adds
// them one by one, in the same order, and never throws.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "hdc/kernels.hpp"
#include "hdc/state.hpp"
#include "hdc/types.hpp"

namespace mhdc::hdc {

class Rows {
 public:
  explicit Rows(std::size_t width = 0, bool keep_bits = true)
      : width_(width), words_(bit_words(width)), bits_mode_(keep_bits), keep_bits_(keep_bits) {}

  std::size_t width() const noexcept { return width_; }
  std::size_t size() const noexcept { return lengths_.size(); }
  std::size_t length(std::size_t r) const noexcept { return lengths_[r]; }
  // Whether the rows are held as sign bits (every row bipolar over the width).
  bool keeps_bits() const noexcept { return bits_mode_; }

  // Empties the store; the width may change for the rows that follow.
  void clear(std::size_t width) noexcept;

  void reserve(std::span<const HvView> rows);
  void reserve(HvView row) { reserve(std::span<const HvView>(&row, 1)); }
  void append(HvView row) noexcept;
  void push(HvView row) {
    reserve(row);
    append(row);
  }

  float at(std::size_t r, std::size_t i) const noexcept;  // i < length(r)
  // The first min(limit, length(r)) components of row r.
  Hypervector row(std::size_t r, std::size_t limit = std::numeric_limits<std::size_t>::max()) const;

  // init + sum over i < min(len q, len row r) of q[i] * row_r[i], in index order.
  float dot(std::size_t r, HvView q, float init) const;
  // dot(r, q, init) for every row, into out[0 .. size()), on the kernels of `isa`.
  void dots(HvView q, float init, float* out, Isa isa = active_isa()) const;
  void dots_scalar(HvView q, float init, float* out) const;

  // The rows in a saved state (docs/STATE.md): the width, then each row's length,
  // then the heads as sign bits (while every row is bipolar) or floats, then the
  // tails. Loading pushes the rows again, so the sign masks and lane blocks are
  // rebuilt, not read.
  void save(StateWriter& w) const;
  static Rows load(StateReader& r, bool keep_bits = true);
  // The width and row lengths of saved rows, read from a copy of the reader (it
  // does not move): an owner whose rows have a known shape checks it before
  // load builds them (rows shorter than the width are held padded to it).
  struct Shape {
    std::size_t width;
    std::vector<std::size_t> lengths;
  };
  static Shape shape(StateReader r);

  // Float mode only: lane block b (rows kLanes b .. kLanes b + 7, width elements).
  const float* lane_block(std::size_t b) const noexcept { return blocks_[b].get(); }

 private:
  bool head_bit(std::size_t r, std::size_t i) const noexcept { return bits_[r * words_ + i / 64] >> (i % 64) & 1; }
  std::size_t tail_start(std::size_t r) const noexcept { return r == 0 ? 0 : tail_end_[r - 1]; }
  void to_floats() noexcept;

  std::size_t width_, words_;
  bool bits_mode_, keep_bits_;
  std::vector<std::uint64_t> bits_;               // bits mode: words_ per row
  std::vector<std::uint8_t> masks_;               // bits mode: the same bits, kMaskRows rows a block
  std::vector<std::unique_ptr<float[]>> blocks_;  // float mode: every row's block, maybe spare ones after
  std::vector<std::size_t> lengths_;
  std::vector<float> tail_;            // components past the width, row after row
  std::vector<std::size_t> tail_end_;  // row r's tail ends at tail_end_[r]
  std::size_t short_rows_ = 0, long_rows_ = 0;
};

// Rows of possibly different lengths packed end to end: row j is
// data[offset[j] .. offset[j + 1]), offset holding rows() + 1 non-decreasing
// entries from 0. A list of lists converts into it in one pass.
struct PackedRows {
  const float* data = nullptr;
  std::span<const std::size_t> offset;

  std::size_t rows() const { return offset.empty() ? 0 : offset.size() - 1; }
  std::size_t length(std::size_t j) const { return offset[j + 1] - offset[j]; }
  const float* row(std::size_t j) const { return data + offset[j]; }
  HvView view(std::size_t j) const { return {row(j), length(j)}; }
};

// Memory for large float buffers (tens of MB for a thousand keys of dim 10,000):
// from 8 MB up on transparent huge pages where the system offers them, since
// faulting in 4 KiB pages one by one costs several times filling them. The
// allocator leaves new elements uninitialised (a resize does not zero what is
// about to be written). Throws std::bad_alloc.
void* allocate_bulk(std::size_t bytes);
// Asks for huge pages on the whole 2 MB pages inside [p, p + bytes), from 8 MB up
// (only advice: where it is refused, small pages are used).
void advise_huge_pages(void* p, std::size_t bytes) noexcept;
template <class T>
struct BulkAllocator {
  using value_type = T;
  BulkAllocator() = default;
  template <class U>
  BulkAllocator(const BulkAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_bulk(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;  // default-initialised: left as it is
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
  friend bool operator==(const BulkAllocator&, const BulkAllocator&) noexcept { return true; }
};
using FloatStore = std::vector<float, BulkAllocator<float>>;

// The owning form of that layout, and the one a list of vectors converts into:
// a builder appends a row's floats to data() and closes it with end_row().
class RowBuffer {
 public:
  RowBuffer() = default;
  explicit RowBuffer(std::span<const Hypervector> rows);
  void push(HvView row);
  FloatStore& data() noexcept { return data_; }
  void end_row() { offset_.push_back(data_.size()); }
  // Closes `count` rows of `cols` floats each, already in data().
  void end_rows(std::size_t count, std::size_t cols);
  std::size_t rows() const noexcept { return offset_.size() - 1; }
  PackedRows view() const noexcept { return {data_.data(), offset_}; }

 private:
  FloatStore data_;
  std::vector<std::size_t> offset_{0};
};

// Room for `extra` more elements with geometric growth (a plain reserve(size + 1)
// per append would copy quadratically); throws std::length_error past max_size.
template <class Vec>
void grow_for(Vec& v, std::size_t extra) {
  if (v.capacity() - v.size() >= extra) return;
  if (extra > v.max_size() - v.size()) throw std::length_error("too many rows");
  std::size_t want = v.size() + extra;
  const std::size_t doubled = v.capacity() > v.max_size() / 2 ? v.max_size() : v.capacity() * 2;
  v.reserve(want > doubled ? want : doubled);
}

}  // namespace mhdc::hdc
