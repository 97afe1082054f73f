// SPDX-License-Identifier: MIT
// One exposure of a bracket set as the merge works on it: the camera's codes, untouched
// (8-bit codes of a JPEG or PNG, 16-bit codes of a TIFF, PNG or raw file), with what is known
// of its exposure. Frames keep their integer codes: a 24-megapixel frame is 72 MB as bytes
// and would be 288 MB as floats, and the merge turns codes into light through lookup tables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exif.h"
#include "image.h"

namespace brightloom::brackets {

struct Frame {
  std::string path;  // for messages
  std::string kind;  // "JPEG 8-bit RGB", "camera raw (Canon EOS 5D)"
  int width = 0;
  int height = 0;
  int max_code = 255;            // full scale: 255 for 8-bit frames, 32768 for 16-bit ones
  bool linear = false;           // codes proportional to light (raw files, linear 16-bit files)
  std::vector<uint8_t> codes8;   // interleaved RGB, when max_code == 255
  std::vector<uint16_t> codes16; // interleaved RGB, otherwise
  ExposureInfo exposure;
  Chromaticities primaries = kRec709;

  int code(size_t i) const { return max_code == 255 ? codes8[i] : codes16[i]; }
  int64_t pixel_count() const { return int64_t(width) * height; }
};

// Turns a decoded 8- or 16-bit image into a frame (grey is spread to RGB). Float images are
// refused: they are already HDR. linear: whether 16-bit codes are linear light.
Result<Frame> frame_from_image(Image img, const std::string &path, bool linear);

// Reads a frame: JPEG, 8/16-bit PNG or TIFF, or a camera raw file, with its exposure metadata.
// 16-bit PNG/TIFF codes are taken as linear light unless their ICC profile has a tone curve
// (a raw converter's linear export); raw files are always linear.
Result<Frame> load_frame(const std::string &path);

}  // namespace brightloom::brackets
