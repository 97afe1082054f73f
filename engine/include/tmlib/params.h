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
typedef struct DimParam {
  int32_t v[8];
} DimParam;

/* Execution settings. v[0] worker count (nbProc), v[1] readFromDisk flag,
 * v[2..7] temporary-file paths as (intptr_t)(const char *), used only when v[1] != 0:
 * 2 source Radiance file, 3 decoded source / right-hand sides, 4 saved pyramid / solver X,
 * 5..7 solver P, R, T. Pointer-wide so that paths fit on 64-bit machines. */
typedef struct OptimParam {
  intptr_t v[8];
} OptimParam;

/* Method codes. */
enum {
  TMLIB_METHOD_DETAILS = 1,
  TMLIB_METHOD_COMPRESSOR = 2,
  TMLIB_METHOD_FUSION_ADJUST = 10,
  TMLIB_METHOD_FUSION_INTENSIVE = 11
};

/* TmParam: TMLIB_TMPARAM_SLOTS (20) floats, 80 bytes in native byte order, no header; the method
 * code always travels beside it. Slots a method does not use are 0.
 *
 * Fills the caller's 20-float record `out` with the default record of `method`; every slot is
 * written (slots 15, 18, 19 and unused slots become 0).
 *   1 "Details Enhancer": slot 1 Strength = 40 when docType > 0 (integer documents), else 70;
 *     2 ColorSaturation 46, 3 WhiteClip 0.25, 5 smoothing level 1, 7 Microsmoothing 2,
 *     8 gamma slider position 50 (gamma 1.0), 16 SmoothingMode 1; all others 0.
 *   11 "Fusion/Intensive": slot 2 Radius = 40; all others 0.
 *   2 "Tone Compressor", 10 "Fusion/Adjust" and any other code: all zeros.
 * docType is the host's document kind: 0 float, 1 16-bit, 2 8-bit. A null `out` is ignored. */
TMLIB_API void tmparam_default(int method, int docType, float *out);

/* Slider scales. Each computes a double x and rounds it by the slider rule: truncate toward
 * zero, then add 1 only when the fraction dropped is strictly above 0.5 (12.5 -> 12,
 * 12.5000001 -> 13). The power is pow() in double precision. x is NaN (a negative base
 * under a fractional exponent) -> 0; x beyond the int range saturates at INT_MIN/INT_MAX.
 *
 * slider2param: x = (position / 100)^exponent * 200000; maps slider 0..100 to 0..200000.
 *   The clip sliders multiply the result by 0.00005 to get a percentage 0..10.
 * param2slider: x = (value / 200000)^exponent * 100; the inverse of slider2param when
 *   given the reciprocal exponent.
 * paramf2slider: x = (value / 10)^exponent * 100; maps a clip percentage 0..10 to the
 *   slider 0..100. With exponent 1 / (ln 0.025 / ln 0.3) a value of 0.25 gives 30. */
TMLIB_API int slider2param(int position, double exponent);
TMLIB_API int param2slider(double value, double exponent);
TMLIB_API int paramf2slider(double value, double exponent);

/* Fill a caller-owned record with its defaults. DimParam: {0, 0, 3, 8, 8, 0, 0, 0};
 * the caller then sets width, height, samples per pixel and the row lengths.
 * OptimParam: all eight fields 0 (no workers given, no work from disk, no paths).
 * A null pointer is ignored. */
TMLIB_API void init_dim_param(DimParam *out);
TMLIB_API void init_optim_param(OptimParam *out);

TMLIB_EXTERN_C_END

#endif
