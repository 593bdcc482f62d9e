#include "hdc/format.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace mhdc::hdc {

namespace {

// Just enough unsigned big-integer arithmetic (32-bit limbs, least significant
// first) to hold m * 10^d * 2^e exactly; floats need at most ~280 bits plus the
// decimals.
using Big = std::vector<std::uint32_t>;

void mul_small(Big& n, std::uint32_t f) {
  std::uint64_t carry = 0;
  for (auto& limb : n) {
    const std::uint64_t p = std::uint64_t{limb} * f + carry;
    limb = static_cast<std::uint32_t>(p);
    carry = p >> 32;
  }
  if (carry) n.push_back(static_cast<std::uint32_t>(carry));
}

bool bit(const Big& n, std::size_t i) {
  const std::size_t w = i / 32;
  return w < n.size() && (n[w] >> (i % 32) & 1u);
}

bool any_below(const Big& n, std::size_t i) {  // any of bits 0 .. i-1 set
  for (std::size_t w = 0; w < n.size() && w * 32 < i; ++w) {
    const std::size_t hi = i - w * 32;
    const std::uint32_t mask = hi >= 32 ? ~0u : ((1u << hi) - 1u);
    if (n[w] & mask) return true;
  }
  return false;
}

Big shift_right(const Big& n, std::size_t k) {
  const std::size_t words = k / 32, bits = k % 32;
  Big out;
  for (std::size_t w = words; w < n.size(); ++w) {
    std::uint64_t v = n[w] >> bits;
    if (bits && w + 1 < n.size()) v |= std::uint64_t{n[w + 1]} << (32 - bits);
    out.push_back(static_cast<std::uint32_t>(v));
  }
  return out;
}

Big shift_left(const Big& n, std::size_t k) {
  Big out(k / 32, 0u);
  const std::size_t bits = k % 32;
  std::uint32_t carry = 0;
  for (std::uint32_t limb : n) {
    out.push_back(bits ? (limb << bits) | carry : limb);
    carry = bits ? limb >> (32 - bits) : 0;
  }
  if (carry) out.push_back(carry);
  return out;
}

void add_one(Big& n) {
  for (auto& limb : n)
    if (++limb != 0) return;
  n.push_back(1u);
}

std::string to_decimal(Big n) {
  while (!n.empty() && n.back() == 0) n.pop_back();
  std::string digits;
  while (!n.empty()) {
    std::uint64_t rem = 0;
    for (std::size_t w = n.size(); w-- > 0;) {
      const std::uint64_t cur = rem << 32 | n[w];
      n[w] = static_cast<std::uint32_t>(cur / 1000000000u);
      rem = cur % 1000000000u;
    }
    while (!n.empty() && n.back() == 0) n.pop_back();
    for (int i = 0; i < 9; ++i) {
      digits.push_back(static_cast<char>('0' + rem % 10));
      rem /= 10;
    }
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (digits.empty()) digits = "0";
  return {digits.rbegin(), digits.rend()};
}

}  // namespace

std::string format_fixed(float x, int decimals) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  const std::size_t d = decimals > 0 ? static_cast<std::size_t>(decimals) : 0;

  // x = (-1)^sign * m * 2^e exactly, with m < 2^24.
  const auto bits = std::bit_cast<std::uint32_t>(x);
  const bool negative = bits >> 31;
  const std::uint32_t biased = bits >> 23 & 0xffu;
  const std::uint32_t frac = bits & 0x7fffffu;
  const std::uint32_t m = biased ? frac | 0x800000u : frac;
  const int e = (biased ? static_cast<int>(biased) : 1) - 127 - 23;

  // q = round(m * 10^d * 2^e) to nearest, ties to even.
  Big n{m};
  for (std::size_t i = 0; i < d; ++i) mul_small(n, 10);
  Big q;
  if (e >= 0) {
    q = shift_left(n, static_cast<std::size_t>(e));
  } else {
    const auto k = static_cast<std::size_t>(-e);
    q = shift_right(n, k);
    const bool half = bit(n, k - 1);
    if (half && (any_below(n, k - 1) || bit(q, 0))) add_one(q);
  }

  std::string digits = to_decimal(q);
  if (digits.size() <= d) digits.insert(0, d + 1 - digits.size(), '0');
  std::string out;
  out.reserve(digits.size() + 2);
  // The sign is kept for -0.0 and for negatives that round to zero ("-0.00"),
  // as a decimal rendering of the float's own value.
  if (negative) out.push_back('-');
  out.append(digits, 0, digits.size() - d);
  if (d) {
    out.push_back('.');
    out.append(digits, digits.size() - d, d);
  }
  return out;
}

}  // namespace mhdc::hdc
