/* SPDX-License-Identifier: MIT */
/* Colour conversions shared by the operators. */
#ifndef TMLIB_COLOUR_H
#define TMLIB_COLOUR_H

#include "tmlib/base.h"

TMLIB_EXTERN_C_BEGIN

TMLIB_API extern const float rgb2xyz_sRGB[3][3];
TMLIB_API extern const float xyz2rgb_sRGB[3][3];
TMLIB_API void   kelvin2XYZ(int kelvin, float *xyz);
TMLIB_API int    rgb_to_hsl(const float *rgb, float *hsl);
TMLIB_API int    hsl_to_rgb(const float *hsl, float *rgb);
TMLIB_API void   rgb2hsl(float scale, const float *rgb, float *hsl);
TMLIB_API void   hsl2rgb(float scale, const float *hsl, float *rgb);
TMLIB_API double hue_to_rgb(double p, double q, double t);
TMLIB_API double hue2rgb(double p, double q, double t);

TMLIB_EXTERN_C_END

#endif
