// SPDX-License-Identifier: MIT
// The camera response: for each channel and code, the relative light that produced it. Raw
// and linear 16-bit frames are linear; JPEG frames went through the camera's tone curve, which
// is recovered from the set itself (Debevec & Malik 1997, least squares with a smoothness
// term) or, when the set cannot tell it, assumed to be sRGB's.
//
// Why Debevec & Malik rather than Robertson: it is one linear least-squares solve over a few
// hundred well-spread samples, so it costs milliseconds at any frame size and has no starting
// point to converge from; its smoothness term fills the codes no sample hits (the ends of the
// range, where JPEG brackets have few pixels) with a curve that stays monotone, where
// Robertson's per-code averages are noisy there and its iterations over every pixel of every
// frame cost seconds on 24-megapixel sets.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "frame.h"
#include "result.h"

namespace brightloom::brackets {

struct Response {
  int max_code = 255;
  std::array<std::vector<float>, 3> light;  // light[c][code], increasing, light[c][max] ~ 1
  std::string source;                       // "recovered from the frames", "sRGB (assumed)", ...

  float operator()(int c, int code) const { return light[c][size_t(code)]; }
};

Response linear_response(int max_code);
Response srgb_response(int max_code);

// A sample of the set for response recovery: for each of n_points pixels, its code in every
// frame (codes[p * frames + f], channel c).
struct ResponseSamples {
  int frames = 0;
  std::array<std::vector<int>, 3> codes;
  size_t points(int c) const { return frames ? codes[size_t(c)].size() / size_t(frames) : 0; }
};

// Debevec & Malik over 8-bit samples, with exposures (relative, any scale) of the frames.
// Fails with the reason when the samples cannot determine a curve (too few frames, exposures
// too close together, too few distinct codes, or a solution that is not increasing).
Result<Response> recover_response(const ResponseSamples &samples, const std::vector<double> &exposures,
                                  double smoothness = 40.0);

// A saved curve: "brightloom-response 1", then max_code+1 lines of three numbers.
Status save_response(const std::string &path, const Response &r);
Result<Response> load_response(const std::string &path);

}  // namespace brightloom::brackets
