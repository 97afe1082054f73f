/* SPDX-License-Identifier: MIT */
/* Tone Compressor ("Tone Compressor", method 2): the global operator. Maps an RGBE buffer to
 * 8- or 16-bit samples; every channel is compressed against an adaptation level that mixes
 * the pixel's own luminance with the image's key luminance, then stretched so that the
 * statistics' darkest and brightest luminances span the output range.
 *
 * Arguments (all caller-owned; only dst is written):
 *   dim     v[0] width W, v[1] height H, v[2] samples per destination pixel spp (>= 1),
 *           v[4] bits per output sample (8 or 16), v[6] destination row length in samples
 *           (>= spp * W), v[7] channel order: 0 puts red at sample 0 and blue at spp-1,
 *           nonzero red at spp-1 and blue at 0; green always at (spp-1)/2. v[3], v[5] unused.
 *   param   TmParam, 20 floats: [0] Brightness, [1] Compression, [2] Contrast, [3] WhiteClip,
 *           [4] BlackClip, [12] ColorTemperature, [13] Saturation, in slider units.
 *   stats   LogLumStats of the same buffer (logMinMaxMoy): [0] min, [1] max, [3] median,
 *           [4] 99.5th percentile, natural logs.
 *   table   the 256-float exponent table (exp_lut with offset -8).
 *   src     scanline-planar RGBE, 4 * W * H bytes.
 *   dst     H rows of v[6] samples of 1 or 2 bytes (native order); only the three channel
 *           samples of each pixel are written, padding and other samples are left alone.
 *           A pixel with exponent byte 0 becomes three zero samples.
 *
 * Results: the number of rows mapped (tm_simple: the last band's row count); -1 when the
 * statistics are unusable (min >= max, or NaN), 0 when the bit depth is neither 8 nor 16 or
 * the geometry cannot be mapped (negative sizes, spp < 1, rows shorter than spp * W, NULL
 * buffers). Nothing is written when the result is -1 or 0. */
#ifndef TMLIB_TONE_COMPRESSOR_H
#define TMLIB_TONE_COMPRESSOR_H

#include "tmlib/base.h"
#include "tmlib/params.h"

TMLIB_EXTERN_C_BEGIN

/* Splits the rows into opt.v[0] bands (at most 32 workers; below 2 the caller's thread maps
 * the whole image), one worker thread each, joined before returning. Workers beyond the rows
 * get none. Returns -2 when a worker thread cannot be created: the started bands are joined
 * first, and the whole image is then mapped on the calling thread, so dst still holds the
 * complete picture. */
TMLIB_API int tm_simple(DimParam dim, const float *param, const float *stats, const float *table, OptimParam opt,
                        const unsigned char *src, void *dst);

/* One band on the calling thread: d0..d7 are the DimParam values with d1 the band's rows,
 * src and dst point at the band's first row. */
TMLIB_API int tm_simple_orig(int d0, int d1, int d2, int d3, int d4, int d5, int d6, int d7, const float *param,
                             const float *stats, const float *table, const unsigned char *src, void *dst);

TMLIB_EXTERN_C_END

#endif
