// SPDX-License-Identifier: MIT
#include "core/simd.h"

namespace tmlib {

bool cpu_has_fma() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  __builtin_cpu_init();
  return __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

}  // namespace tmlib
