/* SPDX-License-Identifier: MIT */
/* Names for the slots of the fixed records and for the result codes.
 *
 * The records themselves stay plain arrays (TmParam float[20], PyramidDims int32_t[13],
 * lumParam float[7], RadianceDims int32_t[7]) and DimParam/OptimParam keep their v[8]
 * arrays: these constants only name the indices, so `dims[TMLIB_PD_LEVELS]` says what
 * `dims[11]` meant. Nothing here changes a layout or a calling convention. */
#ifndef TMLIB_RECORDS_H
#define TMLIB_RECORDS_H

/* Result codes. Success is a non-negative count; each function's header lists which of
 * these it returns and what they mean there. */
enum TmlibResult {
  TMLIB_OK = 0,
  TMLIB_ERR_OPEN = -1,          /* file cannot be opened or positioned; unusable statistics;
                                   an image of 9 pixels or less per side; a refused argument */
  TMLIB_ERR_SHORT_IO = -2,      /* short read or write; a worker thread that cannot be created */
  TMLIB_ERR_DIMS = -3,          /* missing or inconsistent Radiance dimensions */
  TMLIB_ERR_NO_MEMORY = -4,     /* allocation failed, or a size that cannot be represented */
  TMLIB_ERR_RUN_REPEAT = -5,    /* run-length repeat past its component (XMP: another method) */
  TMLIB_ERR_RUN_CODE = -6,      /* run-length code 0 or literal past its component */
  TMLIB_ERR_NOT_SETTINGS = -10, /* XMP: not a tone-mapping settings document */
  TMLIB_ERR_SOLVER_FILE = -20,  /* solver temporary-file failure */
  TMLIB_ERR_PLANE_MIN = -101,   /* stage-3 luminance plane with a negative minimum */
  TMLIB_ERR_PLANE_MAX = -102    /* stage-3 luminance plane with a negative maximum */
};

/* Source kinds of the preview extraction functions (extract_rgbe_preview, extract_zoom; see
 * preview.h for the layouts). */
enum TmlibSourceKind {
  TMLIB_SOURCE_RGBE = 0,  /* RGBE scanline-planar rows */
  TMLIB_SOURCE_16BIT = 1, /* 16-bit samples, interleaved */
  TMLIB_SOURCE_8BIT = 2,  /* 8-bit samples, interleaved */
  TMLIB_SOURCE_FLOAT = 10 /* 32-bit float samples, interleaved (extract_rgbe_preview only) */
};

/* TmParam slots of "Details Enhancer" (method 1); the names are the settings file's tags. */
enum TmlibDetailsSlot {
  TMLIB_DE_LUMINOSITY = 0,
  TMLIB_DE_STRENGTH = 1,
  TMLIB_DE_COLOR_SATURATION = 2,
  TMLIB_DE_WHITE_CLIP = 3,
  TMLIB_DE_BLACK_CLIP = 4,
  TMLIB_DE_SMOOTHING_LEVEL = 5, /* 0 "Very High" .. 4 "Very Low", used when SmoothingMode is 0 */
  TMLIB_DE_MICROCONTRAST = 6,
  TMLIB_DE_MICROSMOOTHING = 7,
  TMLIB_DE_GAMMA = 8, /* slider position: gamma = 2^((50 - v) / 50) */
  TMLIB_DE_HIGHLIGHTS_SMOOTHING = 9,
  TMLIB_DE_SHADOWS_SMOOTHING = 10,
  TMLIB_DE_SHADOWS_CLIPPING = 11,
  TMLIB_DE_COLOR_TEMPERATURE = 12,
  TMLIB_DE_SATURATION_HIGHLIGHTS = 13,
  TMLIB_DE_SATURATION_SHADOWS = 14,
  TMLIB_DE_PANORAMA_360 = 15,   /* 1: left and right edges meet; not stored in files */
  TMLIB_DE_SMOOTHING_MODE = 16, /* 0 the five levels, 1 the continuous slider */
  TMLIB_DE_SMOOTHING = 17,      /* continuous smoothing, used when SmoothingMode is 1 */
  TMLIB_DE_SOLVER_CODE = 18,    /* solver tolerance / level-window code; not stored in files */
  TMLIB_DE_RESERVED = 19
};

/* TmParam slots of "Tone Compressor" (method 2); every other slot is unused. */
enum TmlibCompressorSlot {
  TMLIB_TC_BRIGHTNESS = 0,
  TMLIB_TC_COMPRESSION = 1,
  TMLIB_TC_CONTRAST = 2,
  TMLIB_TC_WHITE_CLIP = 3,
  TMLIB_TC_BLACK_CLIP = 4,
  TMLIB_TC_COLOR_TEMPERATURE = 12,
  TMLIB_TC_SATURATION = 13
};

/* DimParam fields (DimParam.v[...]). */
enum TmlibDimField {
  TMLIB_DIM_WIDTH = 0,
  TMLIB_DIM_HEIGHT = 1,
  TMLIB_DIM_SPP = 2,          /* samples per pixel of the source and the output */
  TMLIB_DIM_DEPTH = 3,        /* 8; not read */
  TMLIB_DIM_OUT_BITS = 4,     /* bits per output sample, 8 or 16 */
  TMLIB_DIM_SRC_STRIDE = 5,   /* source row length in samples (finishing stage) */
  TMLIB_DIM_OUT_STRIDE = 6,   /* output row length in samples */
  TMLIB_DIM_CHANNEL_ORDER = 7 /* 0: red first */
};

/* OptimParam fields (OptimParam.v[...]); the paths are (intptr_t)(const char *). */
enum TmlibOptimField {
  TMLIB_OPT_WORKERS = 0,
  TMLIB_OPT_READ_FROM_DISK = 1,
  TMLIB_OPT_SOURCE_FILE = 2, /* the source Radiance file */
  TMLIB_OPT_RHS_FILE = 3,    /* decoded source, then the right-hand sides */
  TMLIB_OPT_X_FILE = 4,      /* saved pyramid, then the solver's X */
  TMLIB_OPT_P_FILE = 5,
  TMLIB_OPT_R_FILE = 6,
  TMLIB_OPT_T_FILE = 7
};

/* PyramidDims elements, filled by tm_dim (element 0 is the caller's and stays 0). */
enum TmlibPyramidField {
  TMLIB_PD_WIDTH = 1,
  TMLIB_PD_HEIGHT = 2,
  TMLIB_PD_LEVEL0_WIDTH = 3,
  TMLIB_PD_LEVEL0_HEIGHT = 4,
  TMLIB_PD_SOLVER_CELLS = 5,   /* cells of the solver pyramid */
  TMLIB_PD_ANALYSIS_CELLS = 6, /* cells of the analysis pyramid */
  TMLIB_PD_MIN_WIDTH = 7,      /* coarsest solver level */
  TMLIB_PD_MIN_HEIGHT = 8,
  TMLIB_PD_ANALYSIS_MIN_WIDTH = 9,
  TMLIB_PD_ANALYSIS_MIN_HEIGHT = 10,
  TMLIB_PD_LEVELS = 11,         /* L, solver levels */
  TMLIB_PD_ANALYSIS_LEVELS = 12 /* B, analysis levels */
};

/* lumParam as the Details Enhancer's first stage writes it and its finishing stage reads it. */
enum TmlibLumParamField {
  TMLIB_LUM_LOG_AVERAGE = 0, /* exp(mean log Y) */
  TMLIB_LUM_MAX_RATIO = 1,   /* maximum luminance / log average */
  TMLIB_LUM_MIN = 2,
  TMLIB_LUM_MEDIAN = 3,     /* log luminance at the adjusted median fraction */
  TMLIB_LUM_LOW = 4,        /* ... at half that fraction */
  TMLIB_LUM_HIGH = 5,       /* ... halfway from it to 1 */
  TMLIB_LUM_WHITE_POINT = 6 /* log luminance of the white point */
};

/* LogLumStats as logMinMaxMoy writes it (natural logarithms). */
enum TmlibLogStatsField {
  TMLIB_LOGSTAT_MIN = 0,
  TMLIB_LOGSTAT_MAX = 1,
  TMLIB_LOGSTAT_MEAN = 2,
  TMLIB_LOGSTAT_MEDIAN = 3,
  TMLIB_LOGSTAT_P995 = 4
};

/* RadianceDims slots. */
enum TmlibRadianceField {
  TMLIB_RD_WIDTH = 0,
  TMLIB_RD_HEIGHT = 1,
  TMLIB_RD_FILE_SIZE = 2,
  TMLIB_RD_PRIMARIES_FLAG = 6 /* 32 when a primaries line was read */
};

#endif
