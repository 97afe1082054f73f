/* SPDX-License-Identifier: MIT */
/* Tone Compressor: the global operator. dst holds 8- or 16-bit samples (DimParam field 4). */
#ifndef TMLIB_TONE_COMPRESSOR_H
#define TMLIB_TONE_COMPRESSOR_H

#include "tmlib/base.h"
#include "tmlib/params.h"

TMLIB_EXTERN_C_BEGIN

TMLIB_API int tm_simple(DimParam dim, const float *param, const float *stats, const float *table,
                        OptimParam opt, const unsigned char *src, void *dst);
TMLIB_API int tm_simple_orig(int d0, int d1, int d2, int d3, int d4, int d5, int d6, int d7,
                             const float *param, const float *stats, const float *table,
                             const unsigned char *src, void *dst);

TMLIB_EXTERN_C_END

#endif
