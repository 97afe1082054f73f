// SPDX-License-Identifier: MIT
// How many engine workers a render of this machine uses when nobody says otherwise.
#pragma once

namespace brightloom {

// Online processors clamped to 1..TMLIB_MAX_WORKERS.
int default_worker_count();

}  // namespace brightloom
