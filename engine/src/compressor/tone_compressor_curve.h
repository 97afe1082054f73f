// SPDX-License-Identifier: MIT
// The Tone Compressor's per-call constants, which tests reach directly.
#pragma once

#include <cmath>

namespace tmlib {

// Everything that depends only on TmParam and the statistics, computed once per band.
struct ToneCurve {
  float k = 0;          // scales decoded luminance so that the median lands on lkey
  float wSelf = 0;      // weight of the pixel's own luminance in the adaptation level
  float keyPart = 0;    // (1 - w) * lkey, the global share of the adaptation level
  double exponent = 0;  // e, the power of the adaptation level
  float bf = 0;         // brightness factor
  bool colourOn = false;
  int kelvin = 6500;    // white point of the colour-temperature step (when colourOn)
  float mt[3][3] = {};  // colour-temperature matrix A * diag(sx, 1, sz) * B
  bool saturationOn = false;
  float satFactor = 1;
  float maxOut = 255;
  float lo = 0;
  float scale = 0;

  // The adaptation level D of a scaled luminance; the power is taken in double.
  float adaptation(float l) const {
    return static_cast<float>(std::pow(static_cast<double>(bf * (wSelf * l + keyPart)), exponent));
  }
  // The response of one scaled channel against its pixel's adaptation level.
  float response(float c, float d) const { return maxOut * c / (c + 1e-20f + d); }
};

// Fills tc from TmParam (param, 20 floats) and LogLumStats (stats) for 8- or 16-bit output
// (bits); false when the statistics cannot drive the curve (minimum not below maximum, NaN).
// Parameters are single precision; only powers, exponentials and logarithms are taken in
// double and rounded back.
bool make_curve(const float *param, const float *stats, int bits, ToneCurve &tc);

}  // namespace tmlib
