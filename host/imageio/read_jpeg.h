// SPDX-License-Identifier: MIT
// JPEG reader (libjpeg-turbo): 8-bit grey or RGB with the embedded ICC profile, as cameras
// write their frames.
#pragma once

#include <string>

#include "image.h"

namespace brightloom {

// Whether the first bytes (n >= 3) are a JPEG file's.
bool is_jpeg(const unsigned char *head, size_t n);

// Reads a baseline or progressive JPEG into an 8-bit Image (RGB, or grey for a grey file).
// Damaged data is an error naming what libjpeg found, never a picture with grey rows.
Result<Image> read_jpeg(const std::string &path);

}  // namespace brightloom
