// SPDX-License-Identifier: MIT
// The TmParam slots that more than one Details Enhancer stage branches on, read in one place
// so that tm_dim, stage 1 and stage 2 never take the same record two ways.
#pragma once

#include <cmath>

#include "tmlib/records.h"

namespace tmlib {

// SmoothingMode (slot 16): 0 selects the five discrete smoothing levels (tm_dim's level-code
// pyramid, calc_tm1old, the multigrid solve); any other value, negative or NaN included, the
// continuous smoothing slider (calc_tm1new, the conjugate-gradient cascade). A pyramid sized
// and filled for one mode must never be solved by the other mode's solver.
inline bool smoothing_slider(const float *param) { return param[TMLIB_DE_SMOOTHING_MODE] != 0.0f; }

// A TmParam slot read as an int: truncated toward zero, NaN as 0, clamped to the int range
// (a corrupted record must not make the conversion undefined).
inline int param_as_int(float v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0f) return 2147483647;
  if (v <= -2147483648.0f) return -2147483647 - 1;
  return static_cast<int>(v);
}

// Solver code (slot 18), read with param_as_int: 0 or less widens stage 1's attenuation
// window to six levels, and stage 2 picks its tolerance from it. 0.5 is code 0 for both
// stages.
inline int solver_code(const float *param) { return param_as_int(param[TMLIB_DE_SOLVER_CODE]); }

}  // namespace tmlib
