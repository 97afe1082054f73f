// SPDX-License-Identifier: MIT
// Cuts a band of whole rows out of a strip TIFF with libtiff, keeping its sample layout,
// compression, predictor, description and page tags, so that the smaller file is laid out as the
// program that wrote the original laid it out. SMin/SMaxSampleValue, where present, are those of
// the band. Not part of the build (tests/data/README.md):
//
//   g++ -o cut_tiff cut_tiff.cpp -ltiff && ./cut_tiff IN OUT FIRST_ROW ROWS
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: cut_tiff IN OUT FIRST_ROW ROWS\n");
    return 2;
  }
  const uint32_t first = std::atoi(argv[3]), rows = std::atoi(argv[4]);
  TIFF *in = TIFFOpen(argv[1], "r");
  if (!in) return 1;
  uint32_t w = 0, h = 0, rps = 0;
  uint16_t bps = 0, spp = 0, fmt = 1, comp = 1, pred = 1, photo = 0, planar = 1, orient = 1, fill = 1, p0, p1;
  char *desc = nullptr;
  double smin = 0;
  TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(in, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetField(in, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetField(in, TIFFTAG_SAMPLESPERPIXEL, &spp);
  const bool has_fmt = TIFFGetField(in, TIFFTAG_SAMPLEFORMAT, &fmt);
  TIFFGetField(in, TIFFTAG_COMPRESSION, &comp);
  TIFFGetField(in, TIFFTAG_PREDICTOR, &pred);
  TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &photo);
  TIFFGetField(in, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetField(in, TIFFTAG_ROWSPERSTRIP, &rps);
  TIFFGetField(in, TIFFTAG_ORIENTATION, &orient);
  TIFFGetField(in, TIFFTAG_FILLORDER, &fill);
  const bool has_desc = TIFFGetField(in, TIFFTAG_IMAGEDESCRIPTION, &desc);
  const bool has_page = TIFFGetField(in, TIFFTAG_PAGENUMBER, &p0, &p1);
  const bool has_range = TIFFGetField(in, TIFFTAG_SMINSAMPLEVALUE, &smin);
  if (first + rows > h || planar != PLANARCONFIG_CONTIG || TIFFIsTiled(in)) {
    std::fprintf(stderr, "cut_tiff: only contiguous strip files of at least FIRST_ROW + ROWS rows are cut\n");
    return 3;
  }

  std::vector<std::vector<unsigned char>> band;
  std::vector<unsigned char> line(TIFFScanlineSize(in));
  for (uint32_t y = 0; y < first + rows; ++y) {
    if (TIFFReadScanline(in, line.data(), y) < 0) return 4;
    if (y >= first) band.push_back(line);
  }
  TIFFClose(in);

  TIFF *out = TIFFOpen(argv[2], "w");
  if (!out) return 1;
  TIFFSetField(out, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(out, TIFFTAG_IMAGELENGTH, rows);
  TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, bps);
  TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, spp);
  if (has_fmt) TIFFSetField(out, TIFFTAG_SAMPLEFORMAT, fmt);
  TIFFSetField(out, TIFFTAG_COMPRESSION, comp);
  if (comp == COMPRESSION_ADOBE_DEFLATE || comp == COMPRESSION_LZW) TIFFSetField(out, TIFFTAG_PREDICTOR, pred);
  TIFFSetField(out, TIFFTAG_PHOTOMETRIC, photo);
  TIFFSetField(out, TIFFTAG_PLANARCONFIG, planar);
  TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, rps);
  TIFFSetField(out, TIFFTAG_ORIENTATION, orient);
  TIFFSetField(out, TIFFTAG_FILLORDER, fill);
  if (has_desc) TIFFSetField(out, TIFFTAG_IMAGEDESCRIPTION, desc);
  if (has_page) TIFFSetField(out, TIFFTAG_PAGENUMBER, p0, p1);
  if (has_range && fmt == SAMPLEFORMAT_IEEEFP && bps == 32) {
    double lo = 1e300, hi = -1e300;
    for (const auto &l : band) {
      const float *f = reinterpret_cast<const float *>(l.data());
      for (uint32_t i = 0; i < w * spp; ++i) lo = std::min(lo, double(f[i])), hi = std::max(hi, double(f[i]));
    }
    TIFFSetField(out, TIFFTAG_SMINSAMPLEVALUE, lo);
    TIFFSetField(out, TIFFTAG_SMAXSAMPLEVALUE, hi);
  }
  for (uint32_t y = 0; y < rows; ++y)
    if (TIFFWriteScanline(out, band[y].data(), y, 0) < 0) return 5;
  TIFFClose(out);
  return 0;
}
