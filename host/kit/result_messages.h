// SPDX-License-Identifier: MIT
// Engine result codes turned into reasons a user can act on.
#pragma once

#include <tmlib/tmlib.h>

#include <string>

namespace brightloom {

// A reason for an engine result code, naming the stage that returned it.
std::string engine_reason(const char *stage, int code);

}  // namespace brightloom
