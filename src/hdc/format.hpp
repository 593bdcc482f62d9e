// Fixed-point text of a 32-bit float for message texts: `decimals` digits after
// the point, rounded to nearest from the exact binary value, ties to even, never
// in exponent form; "inf", "-inf" and "NaN" for the non-finite values.
#pragma once
#include <string>

namespace mhdc::hdc {

std::string format_fixed(float x, int decimals);

}  // namespace mhdc::hdc
