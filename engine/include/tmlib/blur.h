/* SPDX-License-Identifier: MIT */
/* Red-black relaxation kernels of the five-point Laplacian (multigrid smoother).
 *
 * Grid addressing, shared by the three functions: u (updated in place) and rhs (read only)
 * hold a grid of width x height float32 cells starting at element `offset` of both arrays,
 * row-major (cell (r, c) is element offset + r * width + c), so that one buffer can carry
 * every level of a pyramid. The caller provides at least offset + width * height elements;
 * nothing outside the grid is read or written. Each update is
 *     u[cell] <- (sum of u over the cell's neighbours - scale * rhs[cell]) * weight
 * with the sum in float32 in a fixed neighbour order, one fused multiply-subtract, and weight
 * 0.25 (four neighbours), 0.5 (two) or 0.3333 applied in double (three). Borders reflect:
 * a missing neighbour is left out. With is360 != 0 the grid is a 360-degree panorama: columns
 * 0 and width-1 are neighbours, and every top-row cell also has the pole, cell (0, width/2).
 * One iteration is two half-sweeps, colour 0 ((row + column) even) then colour 1; within a
 * half-sweep the top row, the interior rows and the last row are done in that order.
 * Grids narrower or lower than 2 cells are left unchanged. Results do not depend on the
 * worker count: blur0, blur1 and blur2 give bit-identical grids.
 *
 * Threads: worker threads (at most 32) live only inside one call and are joined before it
 * returns. Concurrent calls on disjoint grids are safe. */
#ifndef TMLIB_BLUR_H
#define TMLIB_BLUR_H

#include "tmlib/base.h"

TMLIB_EXTERN_C_BEGIN

/* Dispatcher. iterations <= 0: returns 1, u unchanged. Otherwise, when nbProc > 1, the grid
 * has more than 1200 cells and the right-hand side is in memory (readFromDisk == 0), runs
 * blur2; in every other case blur1 (which streams rhsFile when readFromDisk is set: rhs may
 * then be NULL). Returns the callee's result. */
TMLIB_API int blur0(int nbProc, int width, int height, float scale, int iterations, int is360, int64_t offset, float *u,
                    int readFromDisk, FILE *rhsFile, const float *rhs);

/* All iterations on the calling thread. readFromDisk != 0: rhs is not used; the right-hand
 * side is read from rhsFile, an open stdio stream holding native float32 values laid out
 * exactly like the rhs buffer (the grid's first value at byte 4 * offset). The stream is
 * positioned at that byte at the start of every half-sweep and read one row at a time into
 * a buffer of `width` floats; it is only read, and left open.
 * Returns 1 on success (also when iterations <= 0, which changes nothing);
 *   -1 the stream is NULL or cannot be positioned (nothing updated in that half-sweep),
 *   -2 a row could not be read in full: "could not read from temporary file iofp11" is
 *      printed on standard output and u keeps the updates done so far,
 *   -4 the row buffer cannot be allocated (before any update). */
TMLIB_API int blur1(int width, int height, float scale, int iterations, int is360, int64_t offset, float *u,
                    int readFromDisk, FILE *rhsFile, const float *rhs);

/* In memory, threaded: the top and last rows on the calling thread, the interior rows of
 * each half-sweep split into bands over nbProc workers (at most 32; workers beyond the rows
 * get none; nbProc < 2 runs on the calling thread). A worker thread that cannot be created
 * costs speed only: its bands then run on the calling thread. Always returns 1. */
TMLIB_API int blur2(int nbProc, int width, int height, float scale, int iterations, int is360, int64_t offset, float *u,
                    const float *rhs);

TMLIB_EXTERN_C_END

#endif
