// SPDX-License-Identifier: MIT
// OpenEXR writer for merged HDR images: half or float RGB with chromaticities and the merge's
// own attributes, put in place as every picture is (replace_file.h): nothing half-written under the
// name, a replaced file keeps its permissions and links.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "primaries.h"
#include "result.h"

namespace brightloom {

struct ExrImage {
  int width = 0, height = 0;
  const float *rgb = nullptr;  // interleaved, linear light
  // Where the pixels sit in a larger picture (a merge cropped to what every frame covers):
  // the data window starts at (x0, y0) inside a display window of full_width x full_height
  // (0: the image's own size).
  int x0 = 0, y0 = 0, full_width = 0, full_height = 0;
  Chromaticities primaries = kRec709;
  bool half = true;
  int threads = 1;  // OpenEXR compresses blocks of rows on this many threads
  // String attributes ("brightloomFrames" -> "a.jpg; b.jpg"), written as they are.
  std::vector<std::pair<std::string, std::string>> attributes;
};

// On failure nothing is left under path or the temporary name. A pipe is refused: OpenEXR goes
// back to fill in its offset table.
Status write_exr(const std::string &path, const ExrImage &img);

}  // namespace brightloom
