/* SPDX-License-Identifier: MIT */
/* Common definitions of the tmlib public headers. */
#ifndef TMLIB_BASE_H
#define TMLIB_BASE_H

#include <stdint.h>
#include <stdio.h>

#include "tmlib/records.h"

#if defined(TMLIB_BUILDING)
#define TMLIB_API __attribute__((visibility("default")))
#else
#define TMLIB_API
#endif

#ifdef __cplusplus
#define TMLIB_EXTERN_C_BEGIN extern "C" {
#define TMLIB_EXTERN_C_END }
#define TMLIB_THREAD_LOCAL thread_local
#else
#define TMLIB_EXTERN_C_BEGIN
#define TMLIB_EXTERN_C_END
#define TMLIB_THREAD_LOCAL _Thread_local
#endif

/* Sizes of the fixed records exchanged through the ABI. */
#define TMLIB_TMPARAM_SLOTS 20 /* TmParam: float[20], 80 bytes */
#define TMLIB_PYRAMID_DIMS 13  /* PyramidDims: int32_t[13] */
#define TMLIB_LUM_PARAMS 7     /* lumParam / LogLumStats: float[7] */
#define TMLIB_RADIANCE_DIMS 7  /* RadianceDims: int32_t[7] */
#define TMLIB_HISTO_BINS 256   /* preview histograms */
#define TMLIB_MAX_WORKERS 32   /* hard upper limit of worker threads per call */

#endif
