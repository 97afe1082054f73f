// SPDX-License-Identifier: MIT
// Parameter records of the operators and the integer slider scales of the dialog.
#include "tmlib/params.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace {

constexpr int kSlots = TMLIB_TMPARAM_SLOTS;

// Slot 2 of the "Fusion/Intensive" record.
constexpr int kFusionRadius = 2;

// The slider rounding: truncate toward zero, then add one only when the dropped fraction
// is strictly above one half, so that 12.5 stays 12 while 12.5000001 becomes 13. Settings
// files and presets were written with this rule, so the positions they restore depend on
// it. A NaN (a negative base under a fractional exponent) gives 0 and values beyond the
// int range saturate: no float-to-int conversion is ever undefined.
int round_slider(double x) {
  if (std::isnan(x)) return 0;
  if (x >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (x <= static_cast<double>(INT_MIN)) return INT_MIN;
  int r = static_cast<int>(x);
  if (x - r > 0.5) ++r;
  return r;
}

}  // namespace

extern "C" {

TMLIB_API void tmparam_default(int method, int docType, float *out) {
  if (out == nullptr) return;
  for (int i = 0; i < kSlots; ++i) out[i] = 0.0f;
  switch (method) {
    case TMLIB_METHOD_DETAILS:
      // Integer documents are already tone-mapped to some extent by the camera curve,
      // so they start with less strength than floating-point ones.
      out[TMLIB_DE_STRENGTH] = docType > 0 ? 40.0f : 70.0f;
      out[TMLIB_DE_COLOR_SATURATION] = 46.0f;
      out[TMLIB_DE_WHITE_CLIP] = 0.25f;
      out[TMLIB_DE_SMOOTHING_LEVEL] = 1.0f;
      out[TMLIB_DE_MICROSMOOTHING] = 2.0f;
      out[TMLIB_DE_GAMMA] = 50.0f;
      out[TMLIB_DE_SMOOTHING_MODE] = 1.0f;
      break;
    case TMLIB_METHOD_FUSION_INTENSIVE:
      out[kFusionRadius] = 40.0f;
      break;
    default:  // "Tone Compressor", "Fusion/Adjust" and unknown codes: all zeros
      break;
  }
}

TMLIB_API int slider2param(int position, double exponent) {
  return round_slider(std::pow(position / 100.0, exponent) * 200000.0);
}

TMLIB_API int param2slider(double value, double exponent) {
  return round_slider(std::pow(value / 200000.0, exponent) * 100.0);
}

TMLIB_API int paramf2slider(double value, double exponent) {
  return round_slider(std::pow(value / 10.0, exponent) * 100.0);
}

TMLIB_API void init_dim_param(DimParam *out) {
  if (out == nullptr) return;
  std::memset(out, 0, sizeof *out);
  out->v[2] = 3;  // samples per pixel
  out->v[3] = 8;  // bit depth (unread)
  out->v[4] = 8;  // bits per output sample
}

TMLIB_API void init_optim_param(OptimParam *out) {
  if (out == nullptr) return;
  for (auto &field : out->v) field = 0;
}

}  // extern "C"
