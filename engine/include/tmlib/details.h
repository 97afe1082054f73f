/* SPDX-License-Identifier: MIT */
/* Details Enhancer: the three stages. */
#ifndef TMLIB_DETAILS_H
#define TMLIB_DETAILS_H

#include "tmlib/base.h"
#include "tmlib/params.h"

TMLIB_EXTERN_C_BEGIN

/* Stage 1: pyramid sizing, log luminance, gradient attenuation, right-hand sides.
 *
 * PyramidDims (int32_t[13]); element 0 belongs to the caller and is never touched:
 *   1, 2   image width, height            3, 4   level 0 width W0, height H0 (= 1, 2)
 *   5      cells of the solver pyramid     6      cells of the analysis pyramid
 *   7, 8   coarsest solver level w, h      9, 10  coarsest analysis level w, h
 *   11     L, solver levels                12     B, analysis levels
 * Pyramid buffer: float32, levels one after another from level 0, each row-major with its
 *   own width; level k+1 is ceil(w_k/2) x ceil(h_k/2); the offset of level k is the sum of
 *   the sizes of levels 0..k-1. The caller allocates max(element 5, element 6) floats.
 *
 * tm_dimSAV: W or H <= 9: -1, nothing filled. n = floor((nW + nH) / 2) with nW =
 *   trunc(log2(W / 32)) (+1 when its fraction exceeds 0.5), nH likewise; L = extraLevels + n.
 *   Solver sizes: L halvings (rounding up) while both sides exceed 9, each step adding its
 *   level's size (a step that cannot halve adds the same size again). Analysis sizes: the
 *   same with B = analysisLevels (L + 3 when 0) and the threshold 5. Returns L (may be
 *   negative: a 10 x 10 image gives L = -1 with the record filled). A record whose sizes do
 *   not fit int32 is refused with -4, nothing filled.
 * tm_dim: TmParam[16] (SmoothingMode) == 0: tm_dimSAV(W, H, 2 - (int)TmParam[5], 4, dims);
 *   otherwise tm_dimSAV(W, H, 0, 0, dims).
 *
 * calc_tm1: TmParam[16] == 0 runs calc_tm1old, any other value (negative and NaN included)
 *   calc_tm1new. All three share these arguments:
 *   docType  0 RGBE scanline-planar source, 1 16-bit samples, 2 8-bit samples (one byte each)
 *   dim      v[0] width, v[1] height, v[2] samples per pixel, v[6] source row length in
 *            samples for docTypes 1 and 2 (0: v[2] * v[0])
 *   param    TmParam: reads [0] Luminosity, [3] WhiteClip, [6] Microcontrast, [7]
 *            Microsmoothing, [15] is360, [18] attenuation window ((int)[18] <= 0: six levels,
 *            else five; the same truncation as calc_tm2's tolerance code)
 *   dims     the record filled by tm_dim for this image (elements 1, 2 may be set to W, H);
 *            a record that does not match its level 0 and level counts is refused (-1)
 *   lumParam float[7]: 0 exp(mean log Y), 1 max Y / [0], 2 min Y (written for docTypes 0
 *            and 1; for docType 2 the caller's values give the range of the statistics),
 *            3..5 log Y at the adjusted median fraction p, p/2 and (1+p)/2, 6 log Y of the
 *            white point at (100 - WhiteClip)/100. 3..6 stay as they were when the range
 *            [ln [2], ln([0]*[1])] is empty or not finite.
 *   table    256-float exponent table (exp_lut); curve: 65,536 floats (docType 1) or 256
 *            (docType 2), indexed by the raw sample value
 *   decoderFlag  passed to the Radiance decoding of the disk mode; not read
 *   opt      v[0] worker count (0..32; the attenuation of levels of more than 1,200 cells is
 *            split into row bands), v[1] readFromDisk, v[2..4] paths (see below)
 *   work     in memory: holds the source on entry (4 * W * H bytes for RGBE, else the samples)
 *            and at least 4 * max(element 5, element 6) bytes, aligned for floats; on return
 *            it holds the log-luminance pyramid. Not read or written with readFromDisk (may
 *            be null).
 *   pyramid  the pyramid buffer; on success level k holds the right-hand side of the Poisson
 *            equation of solver level k for k = 0 .. max(0, L - 2) (calc_tm1old: level 0
 *            only, values beyond +-100 set to 0). Solver levels of a pyramid whose analysis
 *            stops early (a side of 5 or less) get a zero right-hand side.
 *   readFromDisk (docType 0 only, no worker threads): the source is decoded from the
 *   Radiance file v[2] (W x H); its raw RGBE rows go through the temporary file v[3], and the
 *   log-luminance pyramid is kept in the temporary file v[4] (raw native float32, the
 *   in-memory layout). The files are left in place. Messages on standard output: "can not
 *   open temporary file", "could not write to temporary file", "can not read temporary file
 *   at <row> - returned <n> instead of 4".
 *   Returns the number of right-hand-side levels formed (>= 1), or
 *   -1 W or H <= 9, an inconsistent dims record, a null buffer, readFromDisk with a docType
 *      other than 0, a file that cannot be opened or positioned;
 *   -2 a short write or read of a temporary file;
 *   -4 out of memory (nothing leaks);
 *   -3, -5, -6 (disk mode) the Radiance file's dimensions or run-length data are invalid.
 *   The caller's buffers are not released; scratch memory is freed before returning.
 */
TMLIB_API int tm_dim(int width, int height, const float *param, int32_t *dims);
TMLIB_API int tm_dimSAV(int width, int height, int extraLevels, int analysisLevels, int32_t *dims);
TMLIB_API int calc_tm1(int docType, DimParam dim, float *param, int32_t *dims, float *lumParam, const float *table,
                       const float *curve, int decoderFlag, OptimParam opt, void *work, float *pyramid);
TMLIB_API int calc_tm1new(int docType, DimParam dim, float *param, int32_t *dims, float *lumParam, const float *table,
                          const float *curve, int decoderFlag, OptimParam opt, void *work, float *pyramid);
TMLIB_API int calc_tm1old(int docType, DimParam dim, float *param, int32_t *dims, float *lumParam, const float *table,
                          const float *curve, int decoderFlag, OptimParam opt, void *work, float *pyramid);

/* Stage 2: Poisson solve (conjugate-gradient cascade or multigrid) and exponentiation.
 *
 * The operator L of every solve: (L u)(cell) = sum of its neighbours - (neighbour count) * u(cell),
 * in float32, with reflecting borders (inner cells 4 neighbours, border cells 3, corners 2). With
 * is360 the first and last columns are neighbours, and every cell of the top row also has the pole
 * (row 0, column width/2) as a neighbour. Vectors are float32, width * height values, row-major.
 *
 * calc_tm2: TmParam[16] != 0 (negative and NaN included, as in tm_dim and calc_tm1) selects
 *   calc_tm2new2(dim, levels - 1, ...) (at least 1 level: a small image whose level count is
 *   1 or less still solves level 0), else calc_tm2old(dim,
 *   minWidth, minHeight, pyramidSize, levels, (int)TmParam[15], ...). minWidth, minHeight,
 *   pyramidSize and levels are PyramidDims elements 7, 8, 5 and 11. pyramid holds pyramidSize
 *   floats with stage 1's right-hand sides; on success its first W*H values (W, H = dim.v[0], v[1])
 *   are the compressed luminance exp(u). Returns H on success; -1 when W or H < 1 or the levels do
 *   not fit pyramidSize; the callee's codes otherwise.
 * calc_tm2new2: coarse-to-fine cascade of tm20 solves over `levels` levels (sides halved rounding
 *   up while both exceed 3), right-hand side of level k at the sum of the sizes of levels 0..k-1;
 *   pyramid must hold the sum of all level sizes (at least W*H). Streamed, it also serves as the
 *   solution vector and the strip scratch space within that size.
 *   Reads TmParam[15] (is360), [17] (smoothing slider: 50 * 3^(slot/10) iterations per level),
 *   [18] (tolerance code: -1 1e-4, -2 3e-4, 0 1e-5, 2 1e-7, other 1e-6). levels < 1: level 0 is
 *   only exponentiated. opt.v[0] workers; opt.v[1] != 0 with levels > 2 streams levels 0 and 1
 *   through the files opt.v[3..7] (In, X, P, R, T; raw native float32), then writes the result to
 *   In and removes X, P, R, T. Returns H; -1 In cannot be created, -2 short write to In, -4 out of
 *   memory, -20 a solver file failure (message on standard output).
 * calc_tm2old: four multigrid V-cycles (red-black relaxation, 2x2 restriction, piecewise-constant
 *   prolongation). When W and H are multiples of F = 2^levels the grids halve (rounding up) down
 *   to minWidth x minHeight; otherwise the first coarse grid is (F floor(W/F))/2 x
 *   (F floor(H/F))/2, reached by fractional area resampling, and the next ones halve exactly
 *   while both sides exceed 3 and are even. Either way there are at most `levels` coarse grids:
 *   the depth follows the smoothing level, never the divisibility of the sides. Needs
 *   pyramidSize >= the hierarchy's total size (coarse right-hand sides are stored there).
 *   levels < 1: -2. Streaming (opt.v[1] != 0): right-hand sides in file opt.v[3] (which
 *   receives the result at the end), residuals in opt.v[4]; -1 open or positioning failure,
 *   -2 short read or write. Returns H; -4 out of memory.
 * tm20: conjugate gradient for L x = b from the starting guess x; returns the iteration index at
 *   which it stopped (<= maxIter), -4 out of memory, -20 a temporary-file failure. Stops when
 *   p.Lp = 0 or r.r < tolerance * r0.r0. In memory (streamMode 0) b is overwritten (it becomes the
 *   search direction) and x receives the solution; workers > 1 split the products. streamMode >= 1
 *   keeps X, P, R, T in the files pathX, pathP, pathR, pathT (created, mode "wb+") and reads b from
 *   pathIn at element inOffset; b is unused and x, besides holding the start and the result, is the
 *   scratch space: it must hold 2 * ceil(n/2) values for streamMode 1 (two strips) and 2n values
 *   otherwise. width or height < 1: returns 0 and touches nothing.
 * tm20m: out = L in (in and out distinct, width * height each), interior rows over `workers`.
 * tm20a: z[i] = a * x[i] + y[i], one fused multiply-add in float32; z may be x or y. Chunks over
 *   workers; a chunk is never updated twice, even when a worker thread cannot be created.
 * tm20d: *result = sum of x[i] * y[i], accumulated with fused multiply-adds in float32; with
 *   workers > 1 each chunk has its own sum and the sums are added in worker order, so the result
 *   may differ in the last bits from the one-thread sum.
 * All stage-2 functions are safe to call from several threads on distinct buffers and files. */
TMLIB_API int calc_tm2(DimParam dim, int minWidth, int minHeight, int64_t pyramidSize, int levels, float *param,
                       OptimParam opt, float *pyramid);
TMLIB_API int calc_tm2new2(DimParam dim, int levels, float *param, OptimParam opt, float *pyramid);
TMLIB_API int calc_tm2old(DimParam dim, int minWidth, int minHeight, int64_t pyramidSize, int levels, int is360,
                          OptimParam opt, float *pyramid);
TMLIB_API int tm20(int width, int height, int maxIter, float tolerance, int is360, int workers, int streamMode,
                   const char *pathIn, const char *pathX, const char *pathP, const char *pathR, const char *pathT,
                   int64_t inOffset, float *b, float *x);
TMLIB_API void tm20m(int workers, int width, int height, int is360, const float *in, float *out);
TMLIB_API void tm20a(int workers, int64_t n, const float *y, float a, const float *x, float *z);
TMLIB_API void tm20d(int workers, int64_t n, const float *x, const float *y, float *result);

/* Stage 3: finishing into 8- or 16-bit display samples.
 *
 * calc_tm3 turns the compressed luminance plane of stage 2 into colour. It first normalises
 * the plane in place between a black and a white clip point of its own histogram (BlackClip
 * param[4], WhiteClip param[3], each outside 0..10 replaced by 0 and 0.25), then finishes
 * every pixel: global curve blended by Strength, shadows clipping, gamma, luminance-dependent
 * saturation, colour temperature, highlights/shadows smoothing. For kind 0 the output gamma
 * is 2.2 times the slider's, which puts the preview of a float document into display space.
 * No state is kept; concurrent calls on different buffers are safe.
 *   kind      0 RGBE (scanline-planar rows of 4 * W bytes), 1 16-bit samples through the
 *             65,536-entry curve, 2 8-bit samples (one byte each) through a 256-entry curve,
 *             otherwise read like kind 1, 10 32-bit floats (negative and NaN samples read as
 *             0, +inf as the largest float). A host that widens its 8-bit samples to 16 bits
 *             passes them as kind 1 with the 65,536-entry curve.
 *   dim       v[0] W, v[1] H, v[2] spp (1..64), v[4] output bits 8 or 16, v[5] source row
 *             stride in samples (kinds 1, 2, 10; at least spp * W), v[6] destination row
 *             stride in samples (at least spp * W), v[7] nonzero puts red at sample spp - 1
 *             and blue at 0, in the source and the destination alike.
 *   param     TmParam of method 1; slots 1-4, 8-14 are read.
 *   lumParam  the seven floats stage 1 left.
 *   table     256-entry exponent table, offset -8 (kind 0).   curve: 65,536 floats for
 *             kind 1, 256 for kind 2; no other entry is ever read.
 *   opt       v[0] workers (0..32, horizontal bands); v[1] readFromDisk: > 0 disk mode (below),
 *             < 0 no workers; v[2] disk mode's source file.
 *   src       H rows of the source; plane: W * H floats, row-major, overwritten by the
 *             normalisation; dst: H rows of v[6] samples of v[4] bits. Only the red, green and
 *             blue positions of each pixel are written. All three belong to the caller.
 * Disk mode (kind 0 only): src and plane are not used. The RGBE rows are read one at a time
 * from the raw file named by opt.v[2] (4 * W * H bytes, the engine's row layout); the plane
 * lies in the tail of dst, at byte H * (v[6] - 2 * W) * 2 (dst is then H * v[6] 16-bit samples
 * long whatever v[4] says, and v[6] must be at least 2 * W); rows are written over it in step.
 * After a complete run the file is deleted; a file longer than 4 * W * H bytes is refused
 * (-3) and left alone, and so is the file after any failure.
 * Result: rows written (the last band's count when banded), or -101 (plane minimum negative)
 * and -102 (plane maximum negative), both leaving the plane untouched; -4 out of memory;
 * -3 unusable sizes, strides, kinds or missing buffers; disk mode: -1 (file cannot be
 * opened, or a kind other than 0), -2 (short read, with a message on standard output).
 * A worker thread that cannot be created gives -2, after the workers already started have
 * been joined and the calling thread has finished the whole image (dst is complete and equal
 * to a single-threaded run). Output does not depend on the worker count. Pixels of
 * exponent 0, of luminance 0, or whose arithmetic is not finite (NaN) are black. */
TMLIB_API int calc_tm3(int kind, DimParam dim, const float *param, const float *lumParam, const float *table,
                       const float *curve, OptimParam opt, const void *src, float *plane, void *dst);
/* One cubic a x^3 + b x^2 + c x + d through (x1, y1) and (x2, y2), flat at x1; two of them
 * meeting at a midpoint (x2, y2) with equal slopes make the stage's smooth transitions.
 * x1 = x2 gives four zeros. */
TMLIB_API void coeffPoly3(float x1, float y1, float *a, float *b, float *c, float *d, float x2, float y2);
/* Bilinear resampling of a w0 x h0 float plane into a w1 x h1 one (both caller-owned,
 * row-major). The last column copies its left neighbour and the last row the row above
 * (when there are two or more); neighbours beyond the source plane are clamped to its edge,
 * so enlarging never reads outside it. Returns w1 * h1, -3 for sizes <= 0 or null planes,
 * -4 when w1 * h1 does not fit an int. */
TMLIB_API int tm300(int w0, int h0, int w1, int h1, const float *src, float *dst);

TMLIB_EXTERN_C_END

#endif
