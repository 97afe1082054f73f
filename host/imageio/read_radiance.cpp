// SPDX-License-Identifier: MIT
// Radiance picture reader: the engine's own header and run-length readers, which deliver the
// scanline-planar RGBE rows the operators take directly, so no float copy is ever made.
#include <tmlib/tmlib.h>

#include <algorithm>
#include <cmath>

#include "image.h"

namespace brightloom {
namespace {

std::string radiance_reason(int code) {
  switch (code) {
    case TMLIB_ERR_OPEN:
      return "cannot open or position the Radiance file";
    case TMLIB_ERR_SHORT_IO:
      return "the Radiance file is truncated";
    case TMLIB_ERR_DIMS:
      return "the Radiance file has no resolution line of the form \"-Y height +X width\" "
             "(other orientations are not supported), or its size disagrees with its data";
    case TMLIB_ERR_NO_MEMORY:
      // The readers give the same code for both; a work buffer of a few bytes is what memory
      // could refuse here, so the row is by far the likelier cause.
      return "the Radiance file has a run-length row whose width differs from its resolution line "
             "(or memory ran out while reading it)";
    case TMLIB_ERR_RUN_REPEAT:
    case TMLIB_ERR_RUN_CODE:
      return "the Radiance file has malformed run-length data";
    default:
      return "cannot read the Radiance file (code " + std::to_string(code) + ")";
  }
}

}  // namespace

Result<Image> read_radiance(const std::string &path) {
  float primaries[8] = {};
  int32_t dims[TMLIB_RADIANCE_DIMS] = {};
  int r = rgbe_dim2(path.c_str(), primaries, dims);
  if (r < 0) return fail(path, radiance_reason(r));
  if (dims[TMLIB_RD_WIDTH] <= 0 || dims[TMLIB_RD_HEIGHT] <= 0) return fail(path, radiance_reason(TMLIB_ERR_DIMS));
  // The fewest bytes a row takes: four bytes a pixel flat, or run-length coded, a row header
  // and for each component one two-byte run per 127 pixels.
  const double flat_row = 4.0 * dims[TMLIB_RD_WIDTH], rle_row = 4.0 + 8.0 * std::ceil(dims[TMLIB_RD_WIDTH] / 127.0);
  if (Status size =
          check_declared_size("Radiance", dims[TMLIB_RD_WIDTH], dims[TMLIB_RD_HEIGHT],
                              dims[TMLIB_RD_HEIGHT] * std::min(flat_row, rle_row), dims[TMLIB_RD_FILE_SIZE], 1);
      !size)
    return fail(path, size.failure().reason);

  Image img;
  img.width = dims[TMLIB_RD_WIDTH];
  img.height = dims[TMLIB_RD_HEIGHT];
  img.spp = 3;
  img.type = SampleType::RGBE;
  img.kind = "Radiance RGBE";
  if (dims[TMLIB_RD_PRIMARIES_FLAG] > 0)
    img.adopt_primaries(chromaticities_from(primaries), "the file's PRIMARIES line");
  img.pixels = Buffer::allocate(img.pixel_count(), 4, true);
  if (!img.pixels) return fail(path, "not enough memory for the image");
  r = decomp_rle(path.c_str(), dims, img.pixels.data());
  if (r < 0) return fail(path, radiance_reason(r));
  if (r != img.height) return fail(path, radiance_reason(TMLIB_ERR_SHORT_IO));
  return img;
}

}  // namespace brightloom
