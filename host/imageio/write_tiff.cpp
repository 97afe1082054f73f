// SPDX-License-Identifier: MIT
// TIFF writer: 8- or 16-bit grey or RGB, deflate-compressed strips, with the ICC profile.
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "image.h"
#include "tiff_errors.h"

namespace brightloom {

Status write_tiff(int fd, const Picture &pic) {
  install_tiff_handlers();
  take_tiff_error();
  errno = 0;
  TIFF *tif = TIFFFdOpen(fd, "output.tif", "w");
  if (!tif) {
    ::close(fd);
    int error = 0;
    const std::string detail = take_tiff_error(&error);
    const std::string full = disk_full_reason(error);
    return fail("", full.empty() ? "cannot open the TIFF writer: " + detail : "cannot write the TIFF file: " + full);
  }
  bool ok = true;
  ok &= TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(pic.width)) == 1;
  ok &= TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(pic.height)) == 1;
  ok &= TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(pic.spp)) == 1;
  ok &= TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(pic.bits)) == 1;
  ok &= TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, uint16_t(SAMPLEFORMAT_UINT)) == 1;
  ok &= TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, uint16_t(pic.spp == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK)) == 1;
  ok &= TIFFSetField(tif, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG)) == 1;
  ok &= TIFFSetField(tif, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_ADOBE_DEFLATE)) == 1;
  ok &= TIFFSetField(tif, TIFFTAG_PREDICTOR, uint16_t(PREDICTOR_HORIZONTAL)) == 1;
  ok &= TIFFSetField(tif, TIFFTAG_ZIPQUALITY, 1) == 1;  // fast deflate, as for PNG
  ok &= TIFFSetField(tif, TIFFTAG_ORIENTATION, uint16_t(ORIENTATION_TOPLEFT)) == 1;
  ok &= TIFFSetField(tif, TIFFTAG_SOFTWARE, "Brightloom") == 1;
  if (!pic.icc.empty()) ok &= TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(pic.icc.size()), pic.icc.data()) == 1;
  ok &= TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0)) == 1;
  const size_t row = size_t(pic.width) * pic.spp * (pic.bits / 8);
  for (int y = 0; ok && y < pic.height; ++y)
    ok = TIFFWriteScanline(tif, const_cast<unsigned char *>(pic.pixels.data() + size_t(y) * row), uint32_t(y), 0) == 1;
  if (ok) ok = TIFFFlush(tif) == 1;
  TIFFClose(tif);  // also closes fd
  int error = 0;
  const std::string detail = take_tiff_error(&error);
  const std::string full = disk_full_reason(error);
  if (!ok) return fail("", "cannot write the TIFF file: " + (full.empty() ? detail : full));
  return Status::success();
}

}  // namespace brightloom
