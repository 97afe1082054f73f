/* SPDX-License-Identifier: MIT */
/* Preview extraction, luminance statistics and histograms. */
#ifndef TMLIB_PREVIEW_H
#define TMLIB_PREVIEW_H

#include "tmlib/base.h"

TMLIB_EXTERN_C_BEGIN

TMLIB_API int extract_rgbe_preview(int kind, int srcWidth, int srcHeight, int spp, int64_t rowStride,
                                   int dstWidth, int dstHeight, const void *src, void *dst);
TMLIB_API int extract_zoom(int kind, int srcWidth, int srcHeight, int spp, int64_t rowStride,
                           int winWidth, int winHeight, int x0, int y0, const unsigned char *rgbe,
                           const uint16_t *src16, const unsigned char *src8, void *dst);
TMLIB_API int logMinMaxMoy(int width, int height, const float *table, const unsigned char *rgbe,
                           float *stats);
TMLIB_API int64_t log_histo(int64_t n, int bins, float min, float max, const float *samples,
                            int32_t *histo);
TMLIB_API int percentile(float p, int64_t n, int bins, const int32_t *histo);
TMLIB_API float adjust_percentile(float p, int64_t n, int bins, const int32_t *histo);
TMLIB_API int64_t histo4preview(int width, int height, int spp, const unsigned char *pixels,
                                int32_t *histo);
TMLIB_API int getHistoMax(const int32_t *histo);

/* Adjustment counter of the percentile search; thread-local so that concurrent engine
 * calls cannot disturb each other. Reset by its callers. */
TMLIB_API extern TMLIB_THREAD_LOCAL int GlobalCntAdjust;

TMLIB_EXTERN_C_END

#endif
