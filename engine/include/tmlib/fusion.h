/* SPDX-License-Identifier: MIT */
/* Exposure fusion: "Fusion/Adjust" (method 10) and "Fusion/Intensive" (method 11).
 *
 * A set of frames of one scene at different exposures is blended directly into one
 * display-ready picture, without an HDR image in between: every frame gets a weight per pixel
 * (how well exposed, how saturated and how contrasted the pixel is there), and the frames are
 * mixed band by band over Laplacian pyramids with Gaussian pyramids of their weights, so the
 * transitions between frames follow the scale of each detail and leave no seams.
 *
 * The frames stream through the operator one at a time: the caller zeroes an accumulator once,
 * hands each frame to fusion_add (which builds the frame's pyramids in the scratch buffer and
 * adds them, weighted, to the accumulator), and fusion_finish collapses the accumulated pyramid
 * into the picture. Memory is the accumulator (about 5.3 floats per pixel for RGB) plus the
 * scratch (about 5.5 floats per pixel) whatever the number of frames. Each level of the result
 * is normalised by the sum of the weight pyramids at that level, so a frame's order does not
 * matter and identical frames give back that frame.
 *
 * Frames are display-encoded values 0..1 inside the operator. Linear frames (float or RGBE)
 * are multiplied by a gain, clipped to 0..1 and encoded with the 1/2.2 display power first:
 * that is how a single HDR image is turned into a set of virtual exposures.
 *
 * TmParam of method 10 (all defaults 0), slider units:
 *   [0] Accentuation -100..100: weight of local contrast (0 keeps the natural balance of
 *       well-exposedness and saturation; higher prefers detailed frames, and above 0 also
 *       raises the fine bands of the result).
 *   [1] BlendingPoint -100..100: the level counted as well exposed (negative: darker frames
 *       win, a darker picture; positive: a brighter one).
 *   [2] Shadows -100..100: lifts (positive) or deepens (negative) the dark tones of the result.
 *   [3] Saturation -100..100: colour saturation of the result (-100 grey).
 *   [4] WhiteClip 0..10, [5] BlackClip 0..10: percent of the pixels clipped to white / black
 *       (the result's luminance is stretched between those percentiles).
 *   [6] MidtonesAdjustment -100..100: brightness of the mid-tones (a power curve).
 * TmParam of method 11: [0] Strength 0..100 (weight of local contrast over the Radius
 *   neighbourhood, and the gain of the bands finer than the radius), [1] Saturation
 *   -100..100, [2] Radius 1..200 pixels of a picture 1024 pixels on its long side, scaled
 *   with the picture (default 40).
 * Values outside these ranges are held to them; NaN counts as the default.
 *
 * Threading: opt.v[0] workers (0..32; the rest of opt is unused), rows split by the engine's
 * tiling helper. A worker that cannot be started has its rows done on the calling thread, so
 * the result never depends on the number of workers: it is bit-identical for any count. */
#ifndef TMLIB_FUSION_H
#define TMLIB_FUSION_H

#include "tmlib/base.h"
#include "tmlib/params.h"

TMLIB_EXTERN_C_BEGIN

/* Sample layouts of a frame. */
enum TmlibFusionKind {
  TMLIB_FUSION_RGBE = 0,   /* scanline-planar RGBE rows (4 * W bytes a row), linear light */
  TMLIB_FUSION_U8 = 8,     /* interleaved unsigned 8-bit samples, display-encoded, 0..255 */
  TMLIB_FUSION_U16 = 16,   /* interleaved 16-bit samples, display-encoded, 0..32768 as the host's
                              16-bit documents hold them (above 32768: white) */
  TMLIB_FUSION_LINEAR = 32 /* interleaved floats, linear light (negative and NaN count as 0) */
};

/* Buffer sizes of a fusion of W x H pictures with `channels` colour channels (1 grey, 3 RGB).
 * sizes[0]: floats of the accumulator, sizes[1]: floats of the scratch buffer.
 * Returns the number of pyramid levels (>= 1); -1 when a side is below 1 or channels is
 * neither 1 nor 3; -4 when the sizes cannot be represented. */
TMLIB_API int fusion_dims(int width, int height, int channels, int64_t *sizes);

/* Adds one frame to the fusion.
 *   method     10 or 11; param its TmParam (20 floats, read only).
 *   dim        v[0] width, v[1] height, v[2] samples per pixel spp (1..4: 1 or 2 grey, 3 or
 *              4 RGB, a second or fourth sample such as alpha is ignored); RGBE frames are RGB
 *              whatever spp says. The frame's channels must be those the accumulator was sized
 *              for (1 when spp < 3, else 3).
 *   kind       a TmlibFusionKind; rowStride the distance between rows in samples (ignored for
 *              RGBE), at least spp * W.
 *   gain       linear frames only: the exposure factor applied before encoding (> 0).
 *   frame      the frame's samples, read only.
 *   accum      the accumulator (fusion_dims sizes[0] floats), zeroed before the first frame;
 *   scratch    fusion_dims sizes[1] floats, contents irrelevant.
 * Returns the height on success; -1 for a refused argument (unknown method or kind, sizes
 * below 1, spp outside 1..4, a short row stride, a gain that is not a positive number, null
 * buffers); -4 when the working rows cannot be allocated. Nothing is added on failure. */
TMLIB_API int fusion_add(int method, const float *param, DimParam dim, int kind, int64_t rowStride, float gain,
                         const void *frame, OptimParam opt, float *accum, float *scratch);

/* Collapses the accumulated pyramid into the picture and applies the tonal controls.
 *   dim        v[0] width, v[1] height, v[2] samples per destination pixel (1..4), v[4] bits
 *              per sample (8 or 16), v[6] destination row length in samples (>= spp * W), v[7]
 *              channel order (0: red at sample 0, blue at spp - 1; other: reversed; green at
 *              (spp - 1) / 2). Grey fusions (spp below 3) write sample 0 only.
 *   frames     the number of frames added (>= 1).
 *   accum      consumed: it holds the collapsed picture afterwards.
 *   dst        written: the colour samples of every pixel; other samples are left alone.
 * Returns the height; -1 for a refused argument (as fusion_add, and frames < 1, bits neither 8
 * nor 16); -4 when the working rows cannot be allocated (dst untouched). */
TMLIB_API int fusion_finish(int method, const float *param, DimParam dim, int frames, OptimParam opt, float *accum,
                            void *dst);

TMLIB_EXTERN_C_END

#endif
