// SPDX-License-Identifier: MIT
// The thin C++ layer over the engine's C ABI: engine codes turned into reasons, and the worker
// count of this machine.
#pragma once

#include <tmlib/tmlib.h>

#include <string>

namespace brightloom {

// Online processors clamped to 1..32.
int default_worker_count();

// A reason for an engine result code, naming the stage that returned it.
std::string engine_reason(const char *stage, int code);

}  // namespace brightloom
