// SPDX-License-Identifier: MIT
// Bracket sets made from a known HDR image: each frame is the image exposed, passed through a
// camera curve and quantised, optionally shifted or turned, so that a merge can be compared with
// the light it came from.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "merge.h"

namespace synth {

struct Hdr {
  int w = 0, h = 0;
  std::vector<float> rgb;
  float at(double x, double y, int c) const;  // bilinear, clamped to the edges
};

// The repository's sample (samples/sunset.exr, 1024 x 512, 29 stops), optionally halved.
const Hdr &sample(bool half_size = false);

using Curve = std::function<double(double)>;  // 0..1 light -> 0..1 code
double srgb(double v);
double s_curve(double v);  // a made-up camera curve: sRGB with extra contrast
inline double linear(double v) { return v; }

struct Shot {
  double exposure = 1;   // multiplies the light
  double dx = 0, dy = 0; // frame pixel p + (dx, dy) shows reference pixel p (see Transform)
  double angle_deg = 0;
  int bits = 8;          // 8, or 16 (0..32768 codes)
};

// A frame of size w x h cut from the sample at (ox, oy) in reference coordinates.
brightloom::brackets::Frame make_frame(const Hdr &src, const Shot &s, const Curve &curve, int w, int h, int ox, int oy);

// The same frame as 8-bit RGB bytes, for writing files.
std::vector<uint8_t> bytes_of(const brightloom::brackets::Frame &f);

// Mean absolute difference in stops between the merge's luminance and the truth's, after the
// best global scale (the merge's absolute level is arbitrary), over pixels some frame of
// `shots` exposes well (truth luminance times exposure in 0.02..0.9). Also the share of such
// pixels in the crop.
struct Error {
  double stops = 0;
  double covered = 0;
  double scale = 1;
};
Error log_error(const brightloom::brackets::HdrImage &merged, const brightloom::brackets::MergeReport &rep,
                const Hdr &src, int ox, int oy, const std::vector<Shot> &shots);

}  // namespace synth
