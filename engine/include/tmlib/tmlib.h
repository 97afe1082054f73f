/* SPDX-License-Identifier: MIT */
/* tmlib: the Brightloom tone-mapping engine.
 *
 * Plain C functions over caller-owned buffers. Every function returns its documented
 * result; nothing throws across this boundary. Results: a non-negative count on success,
 * a negative code on failure (-1 open/position, -2 short read or write, -3 Radiance
 * dimensions, -4 out of memory or unrepresentable size, -5/-6 malformed run-length data,
 * -20 solver temporary file, -101/-102 invalid luminance plane).
 *
 * The declarations live in one header per family; this header includes them all. */
#ifndef TMLIB_TMLIB_H
#define TMLIB_TMLIB_H

#include "tmlib/base.h"
#include "tmlib/params.h"
#include "tmlib/records.h"
#include "tmlib/rgbe.h"
#include "tmlib/preview.h"
#include "tmlib/colour.h"
#include "tmlib/tone_compressor.h"
#include "tmlib/details.h"
#include "tmlib/blur.h"
#include "tmlib/xmp.h"
#include "tmlib/fusion.h"

#endif
