// SPDX-License-Identifier: MIT
// A frame entering the fusion: its samples as display-encoded planes, and its weight plane.
#pragma once

#include <cstdint>

#include "fusion/pyramid.h"

namespace tmlib::fusion {

// The method's controls, read once from the TmParam and held to their ranges.
struct Controls {
  int method = 10;
  // weights
  float contrastExponent = 0.0f;
  float saturationExponent = 0.0f;
  float exposureExponent = 1.0f;
  float optimum = 0.5f;   // the display level counted as best exposed
  float localRadius = 0;  // method 11: radius of the local contrast, in pixels of this picture
  // bands
  float detailGain = 1.0f;  // gain of the fine bands
  float detailScale = 0;    // bands finer than this many pixels get the gain
  // tones of the result
  float shadows = 0;     // -1..1
  float saturation = 0;  // -1..1
  float whiteClip = 0;   // percent
  float blackClip = 0;   // percent
  float midtones = 0;    // -1..1
};

// False for an unknown method. width/height size the radius of method 11.
bool read_controls(int method, const float *param, int width, int height, Controls &out);

// The frame's colour planes of `g` (level 0 of the scratch) from the caller's samples.
struct FrameSource {
  int kind = 0;
  int spp = 3;
  std::int64_t rowStride = 0;  // samples
  float gain = 1.0f;
  const void *pixels = nullptr;
};
bool decode_frame(const FrameSource &src, const Planes &g, int workers);

// The weight plane of `g` from its colour planes; `work` holds one and a half planes of g's size.
bool compute_weights(const Controls &c, const Planes &g, float *work, int workers);

}  // namespace tmlib::fusion
