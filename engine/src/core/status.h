// SPDX-License-Identifier: MIT
// Result codes of the engine, named once so that code reads as the reasons.
#pragma once

namespace tmlib {

enum Status : int {
  kOk = 0,
  kErrOpen = -1,         // file cannot be opened or positioned; unusable statistics; image too small
  kErrShortIo = -2,      // short read or write; a worker thread that cannot be created
  kErrDims = -3,         // missing or inconsistent Radiance dimensions
  kErrNoMemory = -4,     // allocation failed, or a size that cannot be represented
  kErrRunRepeat = -5,    // run-length repeat past its component
  kErrRunCode = -6,      // run-length code 0 or literal past its component
  kErrSolverFile = -20,  // solver temporary-file failure
  kErrPlaneMin = -101,   // stage-3 luminance plane with a negative minimum
  kErrPlaneMax = -102,   // stage-3 luminance plane with a negative maximum
};

}  // namespace tmlib
