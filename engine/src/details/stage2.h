// SPDX-License-Identifier: MIT
// Internals of the Details Enhancer's second stage: the conjugate-gradient kernels, the
// coarse-to-fine cascade and the multigrid scheme. The public entries are in tmlib/details.h;
// what is here is for the engine's own files, its tests and its benchmarks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "details/modes.h"
#include "tmlib/details.h"

// Kernels that keep their historical names and C linkage (callable from outside the engine
// through the static library; not part of the installed header).
extern "C" {

// Interior rows of out = L in (local rows 1 .. height-2), split over workers with the halo
// band split, or one tm20mi_orig call when workers <= 1 or a thread cannot be created.
void tm20mi(int workers, int width, int height, int is360, const float *in, float *out);

// Row kernel of the interior: local rows 1 .. rows-2 of the band that starts at element
// offset (rows 0 and rows-1 are read only). The first and last columns wrap when is360.
void tm20mi_orig(int width, int rows, int is360, int64_t offset, const float *in, float *out);

// vector <- L vector, with a rolling copy of three rows. 0, or -4 when the copy cannot be
// allocated (vector unchanged then).
int tm20m_streaming(int width, int height, int is360, float *vector);

// The update and the dot product on the calling thread (exported for outside callers; the
// engine itself goes through tm20a and tm20d).
TMLIB_API void tm20a_orig(int64_t n, const float *y, float a, const float *x, float *z);
TMLIB_API void tm20d_orig(int64_t n, const float *x, const float *y, float *result);

// Positions the stream at byte 4*start and writes / reads count floats. 0, or -20 (with the
// message on standard output for a short transfer).
int write_strip(FILE *file, int64_t start, int64_t count, const float *buffer);
int read_strip(FILE *file, int64_t start, int64_t count, float *buffer);
}

namespace tmlib::stage2 {

struct LevelSize {
  int w = 0;
  int h = 0;
  std::int64_t cells() const { return static_cast<std::int64_t>(w) * h; }
};

// Rows firstRow .. firstRow+rowCount-1 of L in (in holds the whole width x height level),
// written to out row after row; the arithmetic of tm20m.
void laplace_rows(int width, int height, int is360, const float *in, int firstRow, int rowCount, float *out);

// ---- conjugate-gradient cascade -------------------------------------------------------

// TmParam slots read as ints, the same way stage 1 and tm_dim read them.
using tmlib::param_as_int;

// Levels 0 .. count-1 of the cascade: level 0 is width x height, each next level halves
// both sides rounding up while both exceed 3, and stays put once either is 3 or less.
std::vector<LevelSize> cascade_levels(int width, int height, int count);

// Stopping tolerance by solver code (TmParam slot 18).
float tolerance_base(int code);

// Iteration limit set on the coarsest level from the smoothing slider (TmParam slot 17).
int max_iterations(float smoothingSlider);

// Tolerance factor of a level that is not the coarsest: 1 up to an average side of 1600,
// then 20 ln(m/1000).
float level_tolerance_factor(int width, int height);

// Upsamples the coarse solution (cw x ch, ending at element end of buf) to the fine size
// (fw x fh), written over the last fw*fh values before end, front row first. Rows of the
// coarse level still to be read are copied aside before a fine row can overwrite them.
void upsample_in_place(float *buf, std::int64_t end, int cw, int ch, int fw, int fh, int is360);

// Per-call figures for diagnostics and benchmarks.
struct CascadeStats {
  std::vector<LevelSize> levels;  // solved levels, coarsest first
  std::vector<int> iterations;    // tm20 result per solved level, same order
  std::vector<float> tolerances;  // tolerance passed per level
  int maxIter = 0;
};

int calc_tm2new2_stats(DimParam dim, int levels, const float *param, OptimParam opt, float *pyramid,
                       CascadeStats *stats);

// ---- multigrid ------------------------------------------------------------------------

struct GridHierarchy {
  std::vector<LevelSize> levels;      // level 0 is the image
  std::vector<std::int64_t> offsets;  // element offset of each level
  std::int64_t total = 0;             // sum of the level sizes
  bool fractional = false;            // level 1 reached by fractional area resampling
  bool exactW = true, exactH = true;  // first step divides a direction exactly (2 taps)
  float rW = 2.0f, rH = 2.0f;         // fine cells per coarse cell of the first step
  int levelsUsed = 0;                 // the level count L after clamping
};

// -1 when no hierarchy can be built (a side below 2); levels is clamped so that the first
// coarse level of the fractional map is at least 2 x 2.
int grid_hierarchy(int width, int height, int minWidth, int minHeight, int levels, GridHierarchy *out);

// Weights of the fractional map along one direction: the first fine index and up to three
// weights (count 2 when the direction divides exactly).
struct FracTaps {
  int first = 0;
  int count = 0;
  float weight[3] = {0, 0, 0};
};
FracTaps fractional_taps(int coarseIndex, float ratio, bool exact);

// Fine rows that coarse row i of level fineLevel+1 reads: first row and count (clamped into
// the fine level), and one coarse row from those rows (rows[t] is fine row first + t).
FracTaps restrict_row_taps(const GridHierarchy &g, int fineLevel, int coarseRow);
void restrict_row(const GridHierarchy &g, int fineLevel, int coarseRow, const float *const *rows, float *out);

// Coarse level from a fine level through the first step (2x2 means, or the fractional map).
void restrict_level(const GridHierarchy &g, int fineLevel, const float *fine, float *coarse);

// fine += prolongation of coarse (piecewise constant, or through the fractional map).
void prolong_add(const GridHierarchy &g, int fineLevel, const float *coarse, float *fine);

// Integer scale of a level relative to level 0.
float level_scale(int W, int H, int w, int h);

}  // namespace tmlib::stage2
