// Deterministic bipolar byte encodings of scene quantities, and the role table
// the generation engine binds structure with.
//
// Contract:
//  - every encoding is a pure function of its arguments: the same call gives the
//    same bytes in every process (every draw is a SeededRng draw; the bulk
//    encoders read whole refills of the same stream);
//  - every result has exactly `dim` elements, each +1 or -1;
//  - each generated element costs exactly one 64-bit draw, in index order;
//  - results are allocated before any work, so a dim beyond memory throws
//    std::bad_alloc / std::length_error and nothing else happens.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "hdc/rng.hpp"
#include "hdc/types.hpp"

namespace mhdc::hkvc_graphics {

using Float3 = std::array<float, 3>;
using ByteView = std::span<const std::int8_t>;

// ---------------------------------------------------------------------------
// Byte binding: the element-wise 8-bit product, wrapping modulo 256 (two's
// complement). On +1/-1 inputs it is the exact product. Both operands must have
// the same length (callers check; the kernels run over `out.size()` elements).
// ---------------------------------------------------------------------------

// out[i] = a[i] * b[i] (mod 256) for i < n. Branch-free, vectorised by the compiler.
void bind_bytes(const std::int8_t* a, const std::int8_t* b, std::size_t n, std::int8_t* out);
// acc[i] = acc[i] * b[i] (mod 256); acc and b of equal length.
void bind_bytes_inplace(std::span<std::int8_t> acc, ByteView b);
// Twin of bind_bytes that the compiler is told not to vectorise; the tests prove
// the two agree on every byte pair.
void bind_bytes_scalar(const std::int8_t* a, const std::int8_t* b, std::size_t n,
                       std::int8_t* out);

// `dim` bipolar sign draws from SeededRng::seed_from_u64(seed): +1 when the draw's
// top bit is 0, -1 when it is 1.
ByteVector seeded_bipolar(std::uint64_t dim, std::uint64_t seed);

// gen_bool(0.6) compares one draw against floor(0.6 * 2^64) computed in double.
inline constexpr std::uint64_t kPhotonBiasThreshold = 0x9999999999999800ull;

namespace detail {
// out[j] = hit where draw j, (w[2j + 1] << 32) | w[2j], is below
// kPhotonBiasThreshold (gen_bool(0.6) passes), else -hit.
void bias_stretch(const std::uint32_t* w, std::size_t count, std::int8_t hit, std::int8_t* out,
                  hdc::Isa isa = hdc::active_isa());
}  // namespace detail

struct HKVCRenderer {
  // Three floats, each clamped to [-10, 10], scaled to a bin 0..31; element i is
  // +1 exactly when (i mod 3) + floor(i / 32) + bin0 + bin1 + bin2 is odd.
  // A NaN component counts as bin 0. No generator.
  static ByteVector floats_to_hv(std::uint64_t dim, const Float3& v);

  // seeded_bipolar(dim, value): the value zero-extended to 64 bits.
  static ByteVector uint_to_hv(std::uint64_t dim, std::uint32_t value);

  // Wavelength-biased noise bound with floats_to_hv(position) and
  // floats_to_hv(direction). The bias generator is seeded from the wavelength's
  // 32-bit pattern (so -0.0 and +0.0 differ). dim 0 gives an empty vector; for
  // 1 <= dim <= 31 the block size floor(dim / 32) is 0 and the call throws
  // mhdc::value_error("attempt to divide by zero").
  static ByteVector make_photon(std::uint64_t dim, const Float3& position,
                                const Float3& direction, float wavelength);
  // The same vector by the literal steps (bind both encodings, then one draw and
  // block test per element): the twin make_photon is tested against.
  static ByteVector make_photon_scalar(std::uint64_t dim, const Float3& position,
                                       const Float3& direction, float wavelength);
};

// ---------------------------------------------------------------------------
// Role table: 14 role vectors drawn from one generator keyed with kRoleSeed, in
// the tag order of kRoleTags. The order fixes the values (each role vector takes
// one draw from the role generator), so neither the seed nor the order may ever
// change: doing so changes every stored encoding that uses a role.
// ---------------------------------------------------------------------------

inline constexpr std::array<std::uint8_t, 32> kRoleSeed = {
    'm', 'o', 'r', 'v', 'e', 'l', 'a', 'n', '_', 'h', 'd', 'c', ' ', 'g', 'r', 'a',
    'p', 'h', 'i', 'c', 's', ' ', 'r', 'o', 'l', 'e', ' ', 's', 'e', 'e', 'd', '!'};

inline constexpr std::array<std::uint8_t, 14> kRoleTags = {'O', 'D', 'P', 'N', 'M', 'W', 'X',
                                                          'Y', 'F', 'T', 'L', 'R', 'B', 'I'};

class RoleHV {
 public:
  // One role vector: x = generator.next_u64(), then seeded_bipolar(dim, x ^ tag).
  static ByteVector role_vec(std::uint64_t dim, std::uint8_t tag, hdc::SeededRng& generator);

  // The full table for `dim`: all 14 vectors are allocated before any is drawn.
  static RoleHV build(std::uint64_t dim);

  // The vector of `tag`; throws mhdc::value_error for a tag not in kRoleTags.
  const ByteVector& get(std::uint8_t tag) const;
  const ByteVector& left() const { return roles_[kLeftIndex]; }
  const ByteVector& right() const { return roles_[kRightIndex]; }

 private:
  static constexpr std::size_t kLeftIndex = 10;   // 'L'
  static constexpr std::size_t kRightIndex = 11;  // 'R'
  RoleHV() = default;
  std::array<ByteVector, kRoleTags.size()> roles_;
};

}  // namespace mhdc::hkvc_graphics
