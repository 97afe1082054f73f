// SPDX-License-Identifier: MIT
// The thin C++ layer over the engine's C ABI: records filled the way every caller needs them,
// engine codes turned into reasons, and the worker count of this machine.
#pragma once

#include <tmlib/tmlib.h>

#include <string>

namespace brightloom {

// Online processors clamped to 1..32.
int default_worker_count();

// A reason for an engine result code, naming the stage that returned it.
std::string engine_reason(const char *stage, int code);

inline DimParam make_dim(int width, int height, int spp) {
  DimParam d;
  init_dim_param(&d);
  d.v[0] = width;
  d.v[1] = height;
  d.v[2] = spp;
  return d;
}

inline OptimParam make_optim(int workers) {
  OptimParam o;
  init_optim_param(&o);
  o.v[0] = workers;
  return o;
}

}  // namespace brightloom
