// SPDX-License-Identifier: MIT
// Result codes of the engine, named once so that code reads as the reasons. The values are
// those of the C interface (tmlib/records.h), which says what each one means; these are the
// engine's own short names for them.
#pragma once

#include "tmlib/records.h"

namespace tmlib {

enum Status : int {
  kOk = TMLIB_OK,
  kErrOpen = TMLIB_ERR_OPEN,
  kErrShortIo = TMLIB_ERR_SHORT_IO,
  kErrDims = TMLIB_ERR_DIMS,
  kErrNoMemory = TMLIB_ERR_NO_MEMORY,
  kErrRunRepeat = TMLIB_ERR_RUN_REPEAT,
  kErrRunCode = TMLIB_ERR_RUN_CODE,
  kErrSolverFile = TMLIB_ERR_SOLVER_FILE,
  kErrPlaneMin = TMLIB_ERR_PLANE_MIN,
  kErrPlaneMax = TMLIB_ERR_PLANE_MAX,
};

}  // namespace tmlib
