// SPDX-License-Identifier: MIT
// Engine result codes turned into reasons a user can act on: one table for every code the
// engine returns, so that no caller matches bare numbers or forgets one.
#pragma once

#include <tmlib/tmlib.h>

#include <string>

namespace brightloom {

// What an engine result code means, in a user's words ("not enough memory"); "an unknown
// engine error" for a code the engine does not define.
const char *engine_code_reason(int code);

// A reason for an engine result code, naming the stage that returned it:
// "<stage> failed: <reason> (code <code>)".
std::string engine_reason(const char *stage, int code);

}  // namespace brightloom
