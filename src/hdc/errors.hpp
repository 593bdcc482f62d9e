// Typed failures the core reports. The Python frame maps each to one exception
// class at the single boundary; the core never knows Python exists.
//   value_error      -> ValueError      (ordinary bad argument, message kept verbatim)
//   index_error      -> IndexError
//   internal_failure -> PanicException (broken invariant, entropy failure)
//   std::bad_alloc / std::length_error -> MemoryError
// Any other exception escaping the core is treated as an internal failure.
#pragma once
#include <stdexcept>
#include <string>

namespace mhdc {

struct value_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct index_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct internal_failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace mhdc
