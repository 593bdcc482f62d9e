#include "hdc/rows.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace mhdc::hdc {

void Rows::clear(std::size_t width) noexcept {
  bits_.clear();
  masks_.clear();
  blocks_.clear();
  lengths_.clear();
  tail_.clear();
  tail_end_.clear();
  short_rows_ = long_rows_ = 0;
  width_ = width;
  words_ = bit_words(width);
  bits_mode_ = keep_bits_;
}

void Rows::reserve(std::span<const HvView> rows) {
  std::size_t extra_tail = 0;
  bool bipolar = bits_mode_;
  for (const HvView row : rows) {
    if (row.size() > width_) {
      if (row.size() - width_ > tail_.max_size() - extra_tail) throw std::length_error("rows too long");
      extra_tail += row.size() - width_;
    }
    bipolar = bipolar && row.size() >= width_ && is_bipolar(row.first(width_));
  }
  const std::size_t n = rows.size(), total = size() + n;
  grow_for(lengths_, n);
  grow_for(tail_end_, n);
  grow_for(tail_, extra_tail);
  if (bits_mode_) {  // the batch's rows before a non-bipolar one still go in as bits
    if (words_ != 0 && n > bits_.max_size() / words_) throw std::length_error("rows too long");
    grow_for(bits_, n * words_);
    const std::size_t blocks = total / kMaskRows + (total % kMaskRows != 0);
    if (width_ != 0 && blocks > masks_.max_size() / 2 / width_) throw std::length_error("rows too long");
    grow_for(masks_, blocks * 2 * width_ - masks_.size());
  }
  if (bipolar) return;
  if (width_ > std::numeric_limits<std::size_t>::max() / sizeof(float) / kLanes) throw std::length_error("rows too wide");
  const std::size_t need = total / kLanes + (total % kLanes != 0);
  if (need > blocks_.size()) grow_for(blocks_, need - blocks_.size());
  while (blocks_.size() < need) blocks_.emplace_back(new float[width_ * kLanes]());
}

void Rows::to_floats() noexcept {
  for (std::size_t r = 0; r < size(); ++r)
    for (std::size_t i = 0; i < width_; ++i) blocks_[r / kLanes][i * kLanes + r % kLanes] = head_bit(r, i) ? -1.0f : 1.0f;
  std::vector<std::uint64_t>().swap(bits_);  // frees without allocating
  std::vector<std::uint8_t>().swap(masks_);
  bits_mode_ = false;
}

void Rows::append(HvView row) noexcept {
  const std::size_t r = size();
  bool as_bits = false;
  if (bits_mode_) {
    bits_.resize((r + 1) * words_);  // within the reserved capacity
    as_bits = row.size() >= width_ && pack_bipolar(row.data(), width_, bits_.data() + r * words_);
    if (!as_bits) {
      to_floats();
    } else {
      if (r % kMaskRows == 0) masks_.resize(masks_.size() + 2 * width_);  // zeroed, within the capacity
      put_mask_row(masks_.data() + r / kMaskRows * 2 * width_, width_, r % kMaskRows, bits_.data() + r * words_);
    }
  }
  if (!as_bits) {
    float* block = blocks_[r / kLanes].get();
    const std::size_t head = std::min(width_, row.size());
    for (std::size_t i = 0; i < head; ++i) block[i * kLanes + r % kLanes] = row[i];
  }
  if (row.size() > width_) {
    tail_.insert(tail_.end(), row.begin() + static_cast<std::ptrdiff_t>(width_), row.end());
    ++long_rows_;
  }
  short_rows_ += row.size() < width_;
  tail_end_.push_back(tail_.size());
  lengths_.push_back(row.size());
}

float Rows::at(std::size_t r, std::size_t i) const noexcept {
  if (i >= width_) return tail_[tail_start(r) + (i - width_)];
  if (bits_mode_) return head_bit(r, i) ? -1.0f : 1.0f;
  return blocks_[r / kLanes][i * kLanes + r % kLanes];
}

Hypervector Rows::row(std::size_t r, std::size_t limit) const {
  Hypervector out(std::min(limit, lengths_[r]));
  const std::size_t head = std::min(out.size(), width_);
  if (bits_mode_) {
    // Eight elements a byte: each byte of the row's words picks its eight +-1.0f.
    static constexpr auto kEight = [] {
      std::array<std::array<float, 8>, 256> t{};
      for (std::size_t b = 0; b < 256; ++b)
        for (std::size_t l = 0; l < 8; ++l) t[b][l] = (b >> l) & 1 ? -1.0f : 1.0f;
      return t;
    }();
    const std::uint64_t* w = bits_.data() + r * words_;
    std::size_t i = 0;
    for (; i + 8 <= head; i += 8) std::memcpy(out.data() + i, kEight[w[i / 64] >> (i % 64) & 0xff].data(), 32);
    for (; i < head; ++i) out[i] = w[i / 64] >> (i % 64) & 1 ? -1.0f : 1.0f;
  } else {
    const float* block = blocks_.empty() ? nullptr : blocks_[r / kLanes].get();
    for (std::size_t i = 0; i < head; ++i) out[i] = block[i * kLanes + r % kLanes];
  }
  std::copy_n(tail_.begin() + static_cast<std::ptrdiff_t>(tail_start(r)), out.size() - head,
              out.begin() + static_cast<std::ptrdiff_t>(head));
  return out;
}

float Rows::dot(std::size_t r, HvView q, float init) const {
  const std::size_t limit = std::min(q.size(), lengths_[r]);
  const std::size_t head = std::min(limit, width_);
  float s = init;
  for (std::size_t i = 0; i < head; ++i) s += q[i] * at(r, i);
  if (limit > width_) s = hdc::dot(q.data() + width_, tail_.data() + tail_start(r), limit - width_, s);
  return s;
}

void Rows::dots(HvView q, float init, float* out, Isa isa) const {
  const std::size_t m = std::min(q.size(), width_), n = size();
  if (bits_mode_) {
    std::vector<std::uint64_t> qbits(countable(m, init) ? bit_words(m) : 0);
    if (!qbits.empty() && pack_bipolar(q.data(), m, qbits.data(), isa))
      popcount_dots(bits_.data(), words_, n, qbits.data(), m, out, isa);
    else if (has_nan(q.data(), m))
      sign_dots_scalar(masks_.data(), width_, n, q.data(), m, init, out);  // keeps each NaN's own sign
    else
      sign_dots(masks_.data(), width_, n, q.data(), m, init, out, isa);
  } else {
    constexpr std::size_t kChunk = 64;  // block pointers gathered a few dozen at a time
    const float* ptrs[kChunk];
    const std::size_t nblocks = n / kLanes + (n % kLanes != 0);
    for (std::size_t b0 = 0; b0 < nblocks; b0 += kChunk) {
      const std::size_t k = std::min(kChunk, nblocks - b0);
      for (std::size_t j = 0; j < k; ++j) ptrs[j] = blocks_[b0 + j].get();
      lane_dots(ptrs, k, std::min(n - b0 * kLanes, k * kLanes), q.data(), m, init, out + b0 * kLanes, isa);
    }
  }
  if (short_rows_ == 0 && (long_rows_ == 0 || q.size() <= width_)) return;
  for (std::size_t r = 0; r < n; ++r) {
    if (lengths_[r] < m) {
      out[r] = dot(r, q, init);  // the block's padding was read: redo over the row's true length
    } else if (q.size() > width_ && lengths_[r] > width_) {
      // The sum over the width is a prefix of the whole sum; carry on from it.
      const std::size_t k = std::min(q.size(), lengths_[r]) - width_;
      out[r] = hdc::dot(q.data() + width_, tail_.data() + tail_start(r), k, out[r]);
    }
  }
}

void Rows::dots_scalar(HvView q, float init, float* out) const {
  for (std::size_t r = 0; r < size(); ++r) out[r] = dot(r, q, init);
}

void Rows::save(StateWriter& w) const {
  w.u64(width_);
  w.u64(size());
  for (std::size_t len : lengths_) w.u64(len);
  w.u8(bits_mode_);
  if (bits_mode_) {
    w.words(bits_);
  } else {
    Hypervector head;  // a row's head gathered from its lane, then written in one go
    for (std::size_t r = 0; r < size(); ++r) {
      head.resize(std::min(width_, lengths_[r]));
      const float* block = blocks_[r / kLanes].get();
      for (std::size_t i = 0; i < head.size(); ++i) head[i] = block[i * kLanes + r % kLanes];
      w.f32s(head);
    }
  }
  w.f32s(tail_);  // every row's tail, row after row
}

namespace {
Rows::Shape read_shape(StateReader& r) {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 56;  // any real width or length is far below
  const std::uint64_t width = r.u64("row width");
  const std::size_t n = r.count("row count", 8);  // each row's length takes 8 bytes
  if (width > kLimit) r.fail("a row width of " + std::to_string(width));
  Rows::Shape s{static_cast<std::size_t>(width), std::vector<std::size_t>(n)};
  for (std::size_t& len : s.lengths) {
    const std::uint64_t l = r.u64("row length");
    if (l > kLimit) r.fail("a row length of " + std::to_string(l));
    len = static_cast<std::size_t>(l);
  }
  // Float heads are held width long, padded: a width no row reaches would only
  // pad, and could make a few bytes of state ask for any amount of memory.
  if (n != 0 && s.width > *std::max_element(s.lengths.begin(), s.lengths.end()))
    r.fail("a row width of " + std::to_string(width) + ", longer than every row");
  return s;
}
}  // namespace

Rows::Shape Rows::shape(StateReader r) { return read_shape(r); }

Rows Rows::load(StateReader& r, bool keep_bits) {
  const Shape s = read_shape(r);
  const std::size_t width = s.width, n = s.lengths.size();
  const std::vector<std::size_t>& lengths = s.lengths;
  const std::uint8_t encoding = r.u8("row encoding");
  if (encoding > 1) r.fail("row encoding " + std::to_string(encoding));
  const bool as_bits = encoding == 1;
  Rows out(static_cast<std::size_t>(width), keep_bits);
  // The bytes the rows take from here, checked before any row is built (each row
  // is then at most a fixed multiple of its bytes in memory, but for the padding
  // of rows shorter than the width: shape() lets an owner rule those out first).
  unsigned __int128 need = as_bits ? static_cast<unsigned __int128>(n) * out.words_ * 8 : 0;
  for (const std::size_t len : lengths) {
    if (as_bits && len < width) r.fail("a row shorter than the width kept as sign bits");
    need += static_cast<unsigned __int128>(as_bits ? len - out.width_ : len) * 4;
  }
  r.need("rows", need);
  // Every head comes before every tail: the sign words are read ahead (a row's
  // tail cannot be reached before them), and so are float heads when tails follow.
  std::vector<std::uint64_t> bits(as_bits ? n * out.words_ : 0);
  if (as_bits) {
    r.words("sign words", bits.data(), bits.size());
    for (std::size_t k = 0; k < n; ++k)
      if (out.width_ % 64 != 0 && bits[(k + 1) * out.words_ - 1] >> (out.width_ % 64) != 0)
        r.fail("sign bits past the width");
  }
  if (as_bits && keep_bits) {
    // Sign rows go in as they are, the masks rebuilt from them; the tails follow.
    out.bits_ = std::move(bits);
    out.masks_.assign((n / kMaskRows + (n % kMaskRows != 0)) * 2 * out.width_, 0);
    for (std::size_t k = 0; k < n; ++k)
      put_mask_row(out.masks_.data() + k / kMaskRows * 2 * out.width_, out.width_, k % kMaskRows,
                   out.bits_.data() + k * out.words_);
    out.lengths_ = lengths;
    out.tail_end_.reserve(n);
    for (const std::size_t len : lengths) {
      if (len > out.width_) {
        const std::size_t at = out.tail_.size();
        out.tail_.resize(at + (len - out.width_));
        r.floats_into("row tail", out.tail_.data() + at, len - out.width_);
        ++out.long_rows_;
      }
      out.tail_end_.push_back(out.tail_.size());
    }
    return out;
  }
  bool tails = false;
  std::size_t head_floats = 0;
  for (const std::size_t len : lengths) {
    tails = tails || len > out.width_;
    head_floats += std::min(out.width_, len);
  }
  Hypervector heads(!as_bits && tails ? head_floats : 0);
  r.floats_into("row elements", heads.data(), heads.size());
  const float* next_head = heads.data();
  Hypervector row;
  for (std::size_t k = 0; k < n; ++k) {
    row.resize(lengths[k]);
    const std::size_t head = std::min(out.width_, row.size());
    if (as_bits) {
      const std::uint64_t* words = bits.data() + k * out.words_;
      for (std::size_t i = 0; i < head; ++i) row[i] = words[i / 64] >> (i % 64) & 1 ? -1.0f : 1.0f;
    } else if (tails) {
      std::copy(next_head, next_head + head, row.begin());
      next_head += head;
    } else {
      r.floats_into("row elements", row.data(), head);
    }
    r.floats_into("row tail", row.data() + head, row.size() - head);
    out.push(row);
  }
  return out;
}

RowBuffer::RowBuffer(std::span<const Hypervector> rows) {
  std::size_t total = 0;
  for (const auto& r : rows) total += r.size();
  data_.reserve(total);
  offset_.reserve(rows.size() + 1);
  for (const auto& r : rows) push(r);
}

void RowBuffer::push(HvView row) {
  // Room for the new offset first, so a failed insert below leaves both untouched.
  grow_for(offset_, 1);
  data_.insert(data_.end(), row.begin(), row.end());
  offset_.push_back(data_.size());
}

void RowBuffer::end_rows(std::size_t count, std::size_t cols) {
  offset_.reserve(offset_.size() + count);
  for (std::size_t i = 0; i < count; ++i) offset_.push_back(offset_.back() + cols);
}

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (bytes < 4 * kHuge) return;
  const auto from = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const auto to = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHuge - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

void* allocate_bulk(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (bytes >= 4 * kHuge && bytes <= std::numeric_limits<std::size_t>::max() - kHuge) {
    const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;  // whole huge pages, aligned
    void* p = std::aligned_alloc(kHuge, rounded);
    if (p == nullptr) throw std::bad_alloc();
    advise_huge_pages(p, rounded);
    return p;
  }
  void* p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace mhdc::hdc
