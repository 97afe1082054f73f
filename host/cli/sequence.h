// SPDX-License-Identifier: MIT
// render --sequence: a time-lapse in two passes. The first measures every frame's statistics
// (--pass measure: one shard's frames into one statistics file), the second renders every frame
// with the statistics smoothed over --smooth-frames neighbours (--pass render: the files of all
// shards merged). --pass all does both in one run.
#pragma once

#include <cstdio>

#include "commands.h"
#include "sequence_stats.h"

namespace brightloom {

int run_sequence(const RenderRequest &req, FILE *out, FILE *err);

}  // namespace brightloom
