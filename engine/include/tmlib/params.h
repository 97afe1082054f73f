/* SPDX-License-Identifier: MIT */
/* Parameter records and slider scales. */
#ifndef TMLIB_PARAMS_H
#define TMLIB_PARAMS_H

#include "tmlib/base.h"

TMLIB_EXTERN_C_BEGIN

/* Image geometry and output layout handed to the operators by value.
 * v[0] width, v[1] height, v[2] samples per pixel, v[3] bit depth (8, unread),
 * v[4] bits per output sample (8 or 16), v[5] source row length in samples,
 * v[6] output row length in samples, v[7] channel-order flag (0: red first). */
typedef struct DimParam { int32_t v[8]; } DimParam;

/* Execution settings. v[0] worker count (nbProc), v[1] readFromDisk flag,
 * v[2..7] temporary-file paths as (intptr_t)(const char *), used only when v[1] != 0:
 * 2 source Radiance file, 3 decoded source / right-hand sides, 4 saved pyramid / solver X,
 * 5..7 solver P, R, T. Pointer-wide so that paths fit on 64-bit machines. */
typedef struct OptimParam { intptr_t v[8]; } OptimParam;

/* Method codes. */
enum { TMLIB_METHOD_DETAILS = 1, TMLIB_METHOD_COMPRESSOR = 2,
       TMLIB_METHOD_FUSION_ADJUST = 10, TMLIB_METHOD_FUSION_INTENSIVE = 11 };

TMLIB_API void tmparam_default(int method, int docType, float *out);
TMLIB_API int  slider2param(int position, double exponent);
TMLIB_API int  param2slider(double value, double exponent);
TMLIB_API int  paramf2slider(double value, double exponent);
TMLIB_API void init_dim_param(DimParam *out);
TMLIB_API void init_optim_param(OptimParam *out);

TMLIB_EXTERN_C_END

#endif
