/* SPDX-License-Identifier: MIT */
/* Colour conversions shared by the operators.
 *
 * Colour triples are caller-owned arrays of three floats: (R, G, B), (X, Y, Z) or (H, S, L),
 * with H, S and L in 0..1 (H = 0 red, 1/3 green, 2/3 blue). All functions are pure and safe
 * to call from any number of threads. */
#ifndef TMLIB_COLOUR_H
#define TMLIB_COLOUR_H

#include "tmlib/base.h"

TMLIB_EXTERN_C_BEGIN

/* sRGB (IEC 61966-2-1, D65) matrices to four decimals, row-major: linear RGB to XYZ and back.
 * Their middle row and column are the luminance weights 0.2126, 0.7152, 0.0722. */
TMLIB_API extern const float rgb2xyz_sRGB[3][3];
TMLIB_API extern const float xyz2rgb_sRGB[3][3];

/* White point of a colour temperature on the CIE daylight locus, with Y = 1: writes
 * xyz[0..2] = (x / y, 1, (1 - x - y) / y). Temperatures up to 7000 K use the warm polynomial,
 * above it the cool one. When the locus gives y = 0 nothing is written. Dividing X by
 * 0.950456 and Z by 1.088754 (the D65 white) gives factors close to 1 at 6500 K. */
TMLIB_API void kelvin2XYZ(int kelvin, float *xyz);

/* RGB in 0..1 to HSL; returns 1. Hue ties go to red, then green. */
TMLIB_API int rgb_to_hsl(const float *rgb, float *hsl);
/* HSL to RGB in 0..1; returns 1. S == 0 gives grey L. */
TMLIB_API int hsl_to_rgb(const float *hsl, float *rgb);
/* As rgb_to_hsl for RGB in 0..scale (an output maximum such as 255 or 65535). A scale below 1
 * (or NaN) leaves hsl untouched. */
TMLIB_API void rgb2hsl(float scale, const float *rgb, float *hsl);
/* As hsl_to_rgb, with the result multiplied by scale. */
TMLIB_API void hsl2rgb(float scale, const float *hsl, float *rgb);
/* One channel of the HSL-to-RGB conversion for a hue t already in 0..1: p + (q - p) * 6t when
 * 6t < 1; q when 2t < 1; p + (q - p) * (4 - 6t) when 3t < 2; else p. The two names are the
 * same function. */
TMLIB_API double hue_to_rgb(double p, double q, double t);
TMLIB_API double hue2rgb(double p, double q, double t);

TMLIB_EXTERN_C_END

#endif
