// SPDX-License-Identifier: MIT
// Alignment of hand-held frames: translation by median threshold bitmaps (Ward 2003) over a
// pyramid, which compare frames of different exposure without knowing the response, then a
// small rotation from the shifts of tiles spread over the frame. Tiles and a second opinion on
// the translation use bitmaps split at a local mean rather than the frame median.
#pragma once

#include <cstdint>
#include <vector>

#include "frame.h"

namespace brightloom::brackets {

// Where a frame's content sits relative to the reference frame: reference pixel p shows the
// same point as frame pixel centre + R(angle) (p - centre) + (dx, dy).
struct Transform {
  double dx = 0, dy = 0;
  double angle = 0;  // radians, counter-clockwise in image coordinates (y down)

  bool identity() const { return dx == 0 && dy == 0 && angle == 0; }
  bool integral() const { return angle == 0 && dx == double(int64_t(dx)) && dy == double(int64_t(dy)); }
};

// An 8-bit grey rendition of a frame for bitmaps: the camera's codes (any increasing response
// keeps the median split), 16-bit linear codes through a square root so that the exclusion band
// around the median is as wide in the shadows as in JPEG codes.
std::vector<uint8_t> grey_of(const Frame &f);

struct AlignOptions {
  int max_shift = 128;      // pixels, each way
  bool rotation = true;     // look for a rotation after the translation
  double min_angle = 0.02;  // degrees: smaller rotations are left alone
};

// The transform of frame grey (w x h) onto ref (same size), as above.
Transform align_grey(const std::vector<uint8_t> &ref, const std::vector<uint8_t> &grey, int w, int h,
                     const AlignOptions &options = {});

}  // namespace brightloom::brackets
