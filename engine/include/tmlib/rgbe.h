/* SPDX-License-Identifier: MIT */
/* RGBE pixels, Radiance picture files and 16-bit conversion.
 * Every RGBE buffer is scanline-planar: per row W red, W green, W blue, W exponent bytes. */
#ifndef TMLIB_RGBE_H
#define TMLIB_RGBE_H

#include "tmlib/base.h"

TMLIB_EXTERN_C_BEGIN

TMLIB_API int exp_lut(float *table, int offset);
TMLIB_API int rgbe_dim2(const char *path, float *primaries, int32_t *dims);
TMLIB_API int decomp_rle(const char *path, const int32_t *dims, unsigned char *out);
TMLIB_API int decomp2(const char *path, const int32_t *dims, unsigned char *out);
TMLIB_API int convert_to_rgbe(int bits, int width, int height, int spp, int64_t rowStride,
                              const float *curve, const uint16_t *src, unsigned char *out);
TMLIB_API int camcurve(int linear, int size, float *curve);

TMLIB_EXTERN_C_END

#endif
