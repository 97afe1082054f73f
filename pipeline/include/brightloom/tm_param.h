// SPDX-License-Identifier: MIT
// The engine's parameter record (TmParam, 20 floats) as C++ code holds it: one value type for
// the dialog, the host kit, the program and the GIMP plug-in.
#pragma once

#include <tmlib/base.h>

#include <array>

namespace brightloom {

using TmParam = std::array<float, TMLIB_TMPARAM_SLOTS>;
static_assert(sizeof(TmParam) == TMLIB_TMPARAM_SLOTS * sizeof(float), "TmParam is the engine's float[20]");

}  // namespace brightloom
