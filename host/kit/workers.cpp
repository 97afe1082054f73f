// SPDX-License-Identifier: MIT
#include "workers.h"

#include <tmlib/tmlib.h>
#include <unistd.h>

#include <algorithm>

namespace brightloom {

int default_worker_count() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return int(std::clamp<long>(n, 1, TMLIB_MAX_WORKERS));
}

}  // namespace brightloom
