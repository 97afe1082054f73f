// SPDX-License-Identifier: MIT
// Colour conversions shared by the Tone Compressor and the Details Enhancer's finishing
// stage: the sRGB matrices, the daylight white point of a colour temperature and RGB/HSL.
#include "tmlib/colour.h"

#include <algorithm>

extern "C" {

// sRGB (IEC 61966-2-1, D65) to four decimals, row-major. The middle row of the first and
// the middle column of the second carry the luminance weights both operators use.
// They sit in a read-only section of their own: AddressSanitizer builds then leave them
// uninstrumented, so even those builds export exactly these two data names.
#define TMLIB_COLOUR_TABLE __attribute__((section(".rodata.tmlib_colour")))
TMLIB_COLOUR_TABLE const float rgb2xyz_sRGB[3][3] = {
    {0.4124f, 0.3576f, 0.1805f},
    {0.2126f, 0.7152f, 0.0722f},
    {0.0193f, 0.1192f, 0.9505f},
};

TMLIB_COLOUR_TABLE const float xyz2rgb_sRGB[3][3] = {
    {3.2406f, -1.5372f, -0.4986f},
    {-0.9689f, 1.8758f, 0.0415f},
    {0.0557f, -0.2040f, 1.0570f},
};

void kelvin2XYZ(int kelvin, float *xyz) {
  if (xyz == nullptr) return;
  // The powers of t are single precision; only the polynomial's sum is taken in double.
  const float t = static_cast<float>(kelvin);
  const float t2 = t * t;
  const float t3 = t2 * t;
  double sum;
  if (t > 7000.0f) {
    sum = -2.0064e9 / t3 + 1.9018e6 / t2 + 0.24748e3 / t + 0.23704;
  } else {
    sum = -4.607e9 / t3 + 2.9678e6 / t2 + 0.09911e3 / t + 0.244063;
  }
  const float x = static_cast<float>(sum);
  const float x2 = x * x;
  const float y = static_cast<float>(-3.0 * x2 + 2.87 * x - 0.275);
  if (y == 0.0f) return;
  xyz[0] = x / y;
  xyz[1] = 1.0f;
  xyz[2] = (1.0f - x - y) / y;
}

int rgb_to_hsl(const float *rgb, float *hsl) {
  const float r = rgb[0];
  const float g = rgb[1];
  const float b = rgb[2];
  const float mx = std::max(r, std::max(g, b));
  const float mn = std::min(r, std::min(g, b));
  const float l = (mx + mn) * 0.5f;
  float h = 0.0f;
  float s = 0.0f;
  if (mx != mn) {
    const float d = mx - mn;
    s = (l < 0.5f) ? d / (mx + mn) : d / (2.0f - mx - mn);
    // Ties go to red first, then green.
    if (mx == r) {
      h = (g - b) / d;
    } else if (mx == g) {
      h = 2.0f + (b - r) / d;
    } else {
      h = 4.0f + (r - g) / d;
    }
    h = h / 6.0f;
    if (h < 0.0f) h += 1.0f;
    if (h > 1.0f) h -= 1.0f;
  }
  hsl[0] = h;
  hsl[1] = s;
  hsl[2] = l;
  return 1;
}

double hue_to_rgb(double p, double q, double t) {
  if (6.0 * t < 1.0) return p + (q - p) * 6.0 * t;
  if (2.0 * t < 1.0) return q;
  if (3.0 * t < 2.0) return p + (q - p) * (4.0 - 6.0 * t);
  return p;
}

double hue2rgb(double p, double q, double t) { return hue_to_rgb(p, q, t); }

}  // extern "C"

namespace {

double wrap_hue(double t) {
  if (t < 0.0) t += 1.0;
  if (t > 1.0) t -= 1.0;
  return t;
}

}  // namespace

extern "C" {

int hsl_to_rgb(const float *hsl, float *rgb) {
  const float h = hsl[0];
  const float s = hsl[1];
  const float l = hsl[2];
  if (s == 0.0f) {
    rgb[0] = rgb[1] = rgb[2] = l;
    return 1;
  }
  const float q = (l <= 0.5f) ? l * (1.0f + s) : l + s - l * s;
  const float p = 2.0f * l - q;
  const double third = 1.0 / 3.0;
  rgb[0] = static_cast<float>(hue_to_rgb(p, q, wrap_hue(h + third)));
  rgb[1] = static_cast<float>(hue_to_rgb(p, q, wrap_hue(h)));
  rgb[2] = static_cast<float>(hue_to_rgb(p, q, wrap_hue(h - third)));
  return 1;
}

void rgb2hsl(float scale, const float *rgb, float *hsl) {
  // A scale below 1 cannot be an output maximum; the caller's array is left as it was.
  if (!(scale >= 1.0f)) return;
  const float unit[3] = {rgb[0] / scale, rgb[1] / scale, rgb[2] / scale};
  rgb_to_hsl(unit, hsl);
}

void hsl2rgb(float scale, const float *hsl, float *rgb) {
  hsl_to_rgb(hsl, rgb);
  rgb[0] *= scale;
  rgb[1] *= scale;
  rgb[2] *= scale;
}

}  // extern "C"
