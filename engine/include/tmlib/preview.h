/* SPDX-License-Identifier: MIT */
/* Preview extraction, luminance statistics and histograms. */
#ifndef TMLIB_PREVIEW_H
#define TMLIB_PREVIEW_H

#include "tmlib/base.h"

TMLIB_EXTERN_C_BEGIN

/* Source kinds of the extraction functions:
 *   0  RGBE scanline-planar buffer (per row: W red, W green, W blue, W exponent bytes)
 *   1  16-bit samples, spp interleaved per pixel, rows rowStride samples apart
 *   2  8-bit samples, spp interleaved per pixel, rows rowStride samples apart
 *   10 32-bit float samples, spp interleaved per pixel, rows srcWidth * spp samples apart
 *      (the rowStride argument is not used for this kind)
 * Channels of an interleaved pixel: red = sample 0, green = sample (spp - 1) / 2,
 * blue = sample spp - 1.
 *
 * Destinations (caller-owned, packed rows):
 *   kinds 0 and 10: RGBE scanline-planar, 4 * dstWidth * dstHeight bytes;
 *   kinds 1 and 2:  16-bit samples, 2 * spp * dstWidth * dstHeight bytes. Only the three
 *                   chosen channels are written, other samples keep their contents; an
 *                   8-bit sample is widened to byte * 256.
 * Float pixels: negative and NaN channels count as 0, +inf as the largest finite float; a
 * pixel whose largest channel is not above 1e-32 becomes (0, 0, 0, 0).
 *
 * extract_rgbe_preview: nearest-sample point sampling (no averaging), single-threaded.
 * Destination (x, y) takes source (min(trunc(ratioX * x), srcWidth - 1),
 * min(trunc(ratioY * y), srcHeight - 1)) with ratioX = srcWidth / dstWidth and
 * ratioY = srcHeight / dstHeight, quotients and products in single precision; smaller
 * sources are enlarged the same way.
 * Returns dstHeight, or
 *   -1 any of the four dimensions is 4 or less, an unrecognised kind, spp < 1 (kinds 1, 2,
 *      10), a rowStride below srcWidth * spp (kinds 1, 2), a layout whose offsets do not
 *      fit in 64 bits, or a null buffer; nothing is written;
 *   -4 the column table cannot be allocated; nothing is written. */
TMLIB_API int extract_rgbe_preview(int kind, int srcWidth, int srcHeight, int spp, int64_t rowStride, int dstWidth,
                                   int dstHeight, const void *src, void *dst);

/* extract_zoom: copies the full-resolution window of winWidth x winHeight pixels whose top
 * left corner is source pixel (x0, y0) into dst, for kinds 0 (from rgbe), 1 (from src16)
 * and 2 (from src8, widened by 256); destination formats as above, winWidth per row. The
 * sources not used by the kind may be null.
 * Returns winHeight, or, checked in this order,
 *   -1 any of srcWidth, srcHeight, winWidth, winHeight is 4 or less;
 *   -2 the window does not lie wholly inside the source (x0 or y0 negative,
 *      x0 + winWidth > srcWidth or y0 + winHeight > srcHeight);
 *   kind itself for an unrecognised kind (10 included);
 *   -1 the kind's source or dst is null, or (kinds 1, 2) spp < 1 or a rowStride below
 *      srcWidth * spp;
 *   -4 the column table cannot be allocated.
 * Nothing is written on any failure. */
TMLIB_API int extract_zoom(int kind, int srcWidth, int srcHeight, int spp, int64_t rowStride, int winWidth,
                           int winHeight, int x0, int y0, const unsigned char *rgbe, const uint16_t *src16,
                           const unsigned char *src8, void *dst);

/* Log-luminance statistics (LogLumStats) of a width x height RGBE scanline-planar buffer,
 * natural logarithms, written to stats[0..4] (the caller's array usually has 7 floats):
 *   0 minimum, 1 maximum (never below 0), 2 mean, 3 median, 4 99.5th percentile.
 * table: 256 floats, entry i = 2^(i + offset - 128) (exp_lut). With offset -8 the logs are
 * those of the decoded luminance; with offset 0 every log is larger by ln 256.
 * Pixels with exponent byte 0 or mantissa luminance 0.2125 R + 0.7154 G + 0.0721 B of 0
 * are skipped. The percentiles come from a 65,536-bin histogram (log_histo) over at most
 * 40,000 samples, every ((width * height) / 40000 + 1)-th pixel by running index.
 * With no counted pixel: slot 0 = 1e11, slots 1 and 2 = 0. When the histogram cannot be
 * built (no memory, all samples equal) slot 3 holds the mean and slot 4 the maximum.
 * Returns height, or -4 when the sample buffer cannot be allocated, -1 for a negative
 * dimension or a null pointer (stats are not written then). Single-threaded. */
TMLIB_API int logMinMaxMoy(int width, int height, const float *table, const unsigned char *rgbe, float *stats);

/* Adds n samples to histo (bins counters, not cleared first): bin = trunc((bins - 1) /
 * (max - min) * (s - min)) in single precision, clamped to 0 .. bins - 1 (a sample at max
 * lands in the last bin, one below min or NaN in bin 0).
 * Returns n, or -1 when !(min < max) (NaN bounds included), bins < 1, n < 0 or a null
 * buffer; then histo is untouched. */
TMLIB_API int64_t log_histo(int64_t n, int bins, float min, float max, const float *samples, int32_t *histo);

/* Index of the first bin at which the running total of histo exceeds trunc(n * p) (single
 * precision, truncated toward zero; a negative threshold gives bin 0, a NaN p counts as 0);
 * bins when it never does (or histo is null). */
TMLIB_API int percentile(float p, int64_t n, int bins, const int32_t *histo);

/* Moves the fraction p by steps of x0.99 (bin above bins * 0.9) or x1.01 (bin below
 * bins * 0.25) until its percentile bin lies between them, and returns the adjusted p.
 * Every step, and the final in-range check, increments GlobalCntAdjust; nothing more moves
 * once it is above 39. Callers reset GlobalCntAdjust to 0 before each call, which bounds a
 * call to 40 adjustments. */
TMLIB_API float adjust_percentile(float p, int64_t n, int bins, const int32_t *histo);

/* 256-bin luminance histogram of an 8-bit preview: pixels are spp bytes each, packed;
 * level = (54 R + 183 G + 19 B) >> 8 with the channel choice above. histo (256 counters)
 * is cleared first. Returns width * height, or -1 for a negative dimension, spp < 1 or a
 * null buffer (histo is then cleared when it is not null). */
TMLIB_API int64_t histo4preview(int width, int height, int spp, const unsigned char *pixels, int32_t *histo);

/* Largest of the 256 counters, at least 1 (the views divide by it). */
TMLIB_API int getHistoMax(const int32_t *histo);

/* Adjustment counter of the percentile search; thread-local so that concurrent engine
 * calls cannot disturb each other. Reset by its callers. */
TMLIB_API extern TMLIB_THREAD_LOCAL int GlobalCntAdjust;

TMLIB_EXTERN_C_END

#endif
