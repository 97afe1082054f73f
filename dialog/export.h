// SPDX-License-Identifier: MIT
// The bundle is built with hidden symbols: only the host interface (brightloom/plugin.h) and the
// classes and seams that tests and tools reach are exported.
#pragma once

#define BRIGHTLOOM_DIALOG_EXPORT __attribute__((visibility("default")))
