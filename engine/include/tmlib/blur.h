/* SPDX-License-Identifier: MIT */
/* Red-black relaxation kernels of the five-point Laplacian (multigrid smoother). */
#ifndef TMLIB_BLUR_H
#define TMLIB_BLUR_H

#include "tmlib/base.h"

TMLIB_EXTERN_C_BEGIN

TMLIB_API int blur0(int nbProc, int width, int height, float scale, int iterations, int is360,
                    int64_t offset, float *u, int readFromDisk, FILE *rhsFile, const float *rhs);
TMLIB_API int blur1(int width, int height, float scale, int iterations, int is360, int64_t offset,
                    float *u, int readFromDisk, FILE *rhsFile, const float *rhs);
TMLIB_API int blur2(int nbProc, int width, int height, float scale, int iterations, int is360,
                    int64_t offset, float *u, const float *rhs);

TMLIB_EXTERN_C_END

#endif
