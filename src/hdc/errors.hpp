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
#include <utility>

namespace mhdc {

// Keeps the whole message, NUL bytes included (what() would stop at the first).
struct core_error : std::runtime_error {
  explicit core_error(std::string message) : std::runtime_error(message), text(std::move(message)) {}
  std::string text;
};

struct value_error : core_error {
  using core_error::core_error;
};

struct index_error : core_error {
  using core_error::core_error;
};

struct internal_failure : core_error {
  using core_error::core_error;
};

}  // namespace mhdc
