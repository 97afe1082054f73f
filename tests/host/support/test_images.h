// SPDX-License-Identifier: MIT
// Helpers of the host's tests: a scratch folder, small files written with each format's own
// library, pictures read back, and reduced copies of the real test images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "image.h"
#include "session.h"

namespace testing_host {

// Captures what a command prints to a FILE *.
struct Capture {
  FILE *f = std::tmpfile();
  ~Capture() { std::fclose(f); }
  std::string text() const {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    return s;
  }
};

// A fresh folder, removed with its contents at the end (shared with the other suites).
using brightloom_test::ScratchDir;

// Writers of small inputs with the formats' own libraries.
void write_exr_rgb(const std::string &path, int w, int h, const std::vector<float> &rgb, bool half,
                   const brightloom::Chromaticities *chromaticities = nullptr);
// An RGB float file whose data window starts at (x0, y0) rather than the origin.
void write_exr_window(const std::string &path, int x0, int y0, int w, int h, const std::vector<float> &rgb);
void write_exr_y(const std::string &path, int w, int h, const std::vector<float> &y);
void write_tiff(const std::string &path, int w, int h, int spp, int bits, bool is_float, const void *data,
                const std::vector<unsigned char> &icc = {}, bool tiled = false);
void write_png(const std::string &path, int w, int h, int spp, int bits, const void *data,
               const std::vector<unsigned char> &icc = {});
void write_pfm(const std::string &path, int w, int h, int channels, const std::vector<float> &top_down,
               bool little_endian);
void write_bytes(const std::string &path, const std::string &bytes);
// LogLuv (rgb.size() == 3 w h, written as XYZ of linear Rec. 709/sRGB) or LogL (grey) TIFF,
// through libtiff's own encoder.
void write_logluv_tiff(const std::string &path, int w, int h, int spp, const std::vector<float> &linear);

// A decoded output picture.
struct ReadBack {
  int width = 0, height = 0, spp = 0, bits = 0;
  std::vector<uint16_t> samples;  // 8-bit values widened to 16 bits as they are
  std::vector<unsigned char> icc;
};
ReadBack read_png_back(const std::string &path);
ReadBack read_tiff_back(const std::string &path);
ReadBack read_jpeg_back(const std::string &path);
// An ICC profile with its creation time (header bytes 24-35) cleared: profiles made a second
// apart differ there alone.
std::vector<unsigned char> without_creation_time(std::vector<unsigned char> icc);

// The samples decoded the way a colour-managed viewer does it: from the picture's embedded
// profile into `target` (relative colorimetric), as floats of the target's encoding, 0..1.
std::vector<float> decode_through_profile(const ReadBack &r, const std::vector<unsigned char> &target);
std::vector<float> decode_through_profile(const brightloom::Picture &pic, const std::vector<unsigned char> &target);

// A copy reduced by point sampling, every `step`-th pixel of every `step`-th row.
brightloom::Image reduce(const brightloom::Image &img, int step);

// Mean and standard deviation of the samples, and the share of samples at 0 or at the maximum.
struct PictureStats {
  double mean = 0, stddev = 0, clipped = 0;
};
PictureStats picture_stats(const brightloom::Picture &pic);

}  // namespace testing_host
