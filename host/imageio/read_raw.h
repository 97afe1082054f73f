// SPDX-License-Identifier: MIT
// Camera raw reader (LibRaw: CR2, NEF, ARW, RAF, ORF, DNG, ...): demosaiced, white balanced as
// shot, linear, in Rec. 709/sRGB primaries, as 16-bit samples on the host's 0..32768 scale.
#pragma once

#include <string>

#include "exif.h"
#include "image.h"

namespace brightloom {

struct RawFrame {
  Image image;            // U16, linear light, primaries kRec709
  ExposureInfo exposure;  // from the raw file's own header
};

// File name extensions of the raw formats LibRaw reads (lower case, with the dot). A TIFF-like
// raw file (DNG, NEF, CR2) is recognised by its name, since its first bytes are a TIFF's.
bool has_raw_extension(const std::string &path);

Result<RawFrame> read_raw(const std::string &path);

}  // namespace brightloom
