/* SPDX-License-Identifier: MIT */
/* XMP tone-mapping settings files. */
#ifndef TMLIB_XMP_H
#define TMLIB_XMP_H

#include "tmlib/base.h"

TMLIB_EXTERN_C_BEGIN

TMLIB_API int embed_xmp(int write, char *buffer, int method, const float *param);
TMLIB_API int write_xmp(const char *path, int method, const float *param);
TMLIB_API int parse_xmp(const char *path, int method, float *param);

TMLIB_EXTERN_C_END

#endif
