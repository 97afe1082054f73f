/* SPDX-License-Identifier: MIT */
/* Details Enhancer: the three stages. */
#ifndef TMLIB_DETAILS_H
#define TMLIB_DETAILS_H

#include "tmlib/base.h"
#include "tmlib/params.h"

TMLIB_EXTERN_C_BEGIN

/* Stage 1: pyramid sizing, log luminance, gradient attenuation, right-hand sides. */
TMLIB_API int tm_dim(int width, int height, const float *param, int32_t *dims);
TMLIB_API int tm_dimSAV(int width, int height, int extraLevels, int analysisLevels, int32_t *dims);
TMLIB_API int calc_tm1(int docType, DimParam dim, float *param, int32_t *dims, float *lumParam,
                       const float *table, const float *curve, int decoderFlag, OptimParam opt,
                       void *work, float *pyramid);
TMLIB_API int calc_tm1new(int docType, DimParam dim, float *param, int32_t *dims, float *lumParam,
                          const float *table, const float *curve, int decoderFlag, OptimParam opt,
                          void *work, float *pyramid);
TMLIB_API int calc_tm1old(int docType, DimParam dim, float *param, int32_t *dims, float *lumParam,
                          const float *table, const float *curve, int decoderFlag, OptimParam opt,
                          void *work, float *pyramid);

/* Stage 2: Poisson solve (conjugate-gradient cascade or multigrid) and exponentiation. */
TMLIB_API int calc_tm2(DimParam dim, int minWidth, int minHeight, int64_t pyramidSize, int levels,
                       float *param, OptimParam opt, float *pyramid);
TMLIB_API int calc_tm2new2(DimParam dim, int levels, float *param, OptimParam opt, float *pyramid);
TMLIB_API int calc_tm2old(DimParam dim, int minWidth, int minHeight, int64_t pyramidSize, int levels,
                          int is360, OptimParam opt, float *pyramid);
TMLIB_API int tm20(int width, int height, int maxIter, float tolerance, int is360, int workers,
                   int streamMode, const char *pathIn, const char *pathX, const char *pathP,
                   const char *pathR, const char *pathT, int64_t inOffset, float *b, float *x);
TMLIB_API void tm20m(int workers, int width, int height, int is360, const float *in, float *out);
TMLIB_API void tm20a(int workers, int64_t n, const float *y, float a, const float *x, float *z);
TMLIB_API void tm20d(int workers, int64_t n, const float *x, const float *y, float *result);

/* Stage 3: finishing into 8- or 16-bit display samples. */
TMLIB_API int calc_tm3(int kind, DimParam dim, const float *param, const float *lumParam,
                       const float *table, const float *curve, OptimParam opt, const void *src,
                       float *plane, void *dst);
TMLIB_API void coeffPoly3(float x1, float y1, float *a, float *b, float *c, float *d, float x2, float y2);
TMLIB_API int tm300(int w0, int h0, int w1, int h1, const float *src, float *dst);

TMLIB_EXTERN_C_END

#endif
