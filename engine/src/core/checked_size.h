// SPDX-License-Identifier: MIT
// Sizes of buffers computed in 64 bits and checked before anything is allocated: a size that
// cannot be represented or allocated is refused (the operators then return -4) instead of
// wrapping to a small allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace tmlib {

// a x b when the product is non-negative, does not overflow and fits an allocation.
inline bool checked_product(std::int64_t a, std::int64_t b, std::int64_t &out) {
  return a >= 0 && b >= 0 && !__builtin_mul_overflow(a, b, &out) && out <= static_cast<std::int64_t>(PTRDIFF_MAX);
}

// count elements of T (value-initialised when zeroed), or an empty pointer when the count is
// negative, its byte size cannot be represented, or memory runs out. Never throws.
template <typename T>
std::unique_ptr<T[]> try_new(std::int64_t count, bool zeroed = false) {
  std::int64_t bytes = 0;
  if (!checked_product(count, static_cast<std::int64_t>(sizeof(T)), bytes)) return nullptr;
  const auto n = static_cast<std::size_t>(count);
  return std::unique_ptr<T[]>(zeroed ? new (std::nothrow) T[n]() : new (std::nothrow) T[n]);
}

}  // namespace tmlib
