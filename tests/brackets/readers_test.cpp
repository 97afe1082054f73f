// SPDX-License-Identifier: MIT
// Camera frames read back: JPEG with its EXIF exposure, a DNG through LibRaw, and the bad
// files a photographer's folder holds.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop
#include <fcntl.h>
#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <fstream>

#include "image.h"
#include "merge.h"
#include "read_jpeg.h"
#include "read_raw.h"
#include "session.h"
#include "support/synth.h"

using namespace brightloom;
using namespace brightloom::brackets;

namespace {

void write_jpeg_frame(const std::string &path, const Frame &f, int quality = 90) {
  Picture pic;
  pic.width = f.width;
  pic.height = f.height;
  pic.spp = 3;
  pic.bits = 8;
  pic.pixels = Buffer::copy_of(f.codes8.data(), f.codes8.size());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(write_jpeg(fd, pic, quality).ok());
}

void add_exif(const std::string &path, int time_num, int time_den, double f_number, int iso) {
  auto img = Exiv2::ImageFactory::open(path);
  img->readMetadata();
  Exiv2::ExifData &exif = img->exifData();
  exif["Exif.Image.Make"] = "Brightloom";
  exif["Exif.Image.Model"] = "Test Camera";
  exif["Exif.Photo.ExposureTime"] = Exiv2::Rational(time_num, time_den);
  exif["Exif.Photo.FNumber"] = Exiv2::Rational(int(f_number * 10), 10);
  exif["Exif.Photo.ISOSpeedRatings"] = uint16_t(iso);
  exif["Exif.Photo.DateTimeOriginal"] = "2026:05:01 18:30:00";
  img->writeMetadata();
}

// A Bayer (RGGB) DNG of linear light, camera space = linear sRGB, neutral white balance.
void write_dng(const std::string &path, const synth::Hdr &src, double exposure) {
  TIFF *tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  const uint32_t w = uint32_t(src.w), h = uint32_t(src.h);
  TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, 32803);  // CFA
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tif, TIFFTAG_MAKE, "Brightloom");
  TIFFSetField(tif, TIFFTAG_MODEL, "Synthetic DNG");
  const uint8_t version[4] = {1, 4, 0, 0};
  TIFFSetField(tif, TIFFTAG_DNGVERSION, version);
  TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Brightloom Synthetic DNG");
  const uint16_t dim[2] = {2, 2};
  TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, dim);
  const uint8_t pattern[4] = {0, 1, 1, 2};
  TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, pattern);
  // XYZ (D65) to camera: the inverse of linear sRGB to XYZ.
  const float xyz_to_cam[9] = {3.2404542f, -1.5371385f, -0.4985314f, -0.9692660f, 1.8760108f,
                               0.0415560f, 0.0556434f, -0.2040259f, 1.0572252f};
  TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, xyz_to_cam);
  TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21);
  const float neutral[3] = {1, 1, 1};
  TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
  const uint32_t white = 65535;
  TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, &white);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, h);
  std::vector<uint16_t> row(w);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const int c = (y % 2 == 0) ? (x % 2 == 0 ? 0 : 1) : (x % 2 == 0 ? 1 : 2);
      const double v = src.rgb[(size_t(y) * w + x) * 3 + size_t(c)] * exposure;
      row[x] = uint16_t(std::lround(std::clamp(v, 0.0, 1.0) * 65535));
    }
    ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, 0), 1);
  }
  TIFFClose(tif);
}

}  // namespace

// A JPEG at quality 90 reads back as the codes written (within JPEG's loss), and its EXIF
// exposure as written; the exposures of a set come from it and agree with the pictures.
TEST(CameraFrames, JpegWithExifGivesItsExposure) {
  brightloom_test::ScratchDir dir;
  const auto &src = synth::sample(true);
  std::vector<std::string> paths;
  const int denominators[3] = {1000, 250, 60};  // 1/1000, 1/250, ~1/60: 2 and ~2 EV apart
  for (int k = 0; k < 3; ++k) {
    synth::Shot s;
    s.exposure = 0.6 * 250.0 / denominators[k];
    const Frame f = synth::make_frame(src, s, synth::srgb, 448, 224, 32, 16);
    paths.push_back(dir.path() + "/f" + std::to_string(k) + ".jpg");
    write_jpeg_frame(paths.back(), f);
    add_exif(paths.back(), 1, denominators[k], 8.0, 100);
    if (k == 0) {
      auto img = read_jpeg(paths.back());
      ASSERT_TRUE(img.ok()) << img.failure().message();
      EXPECT_EQ(img->width, 448);
      EXPECT_EQ(img->type, SampleType::U8);
      double diff = 0;
      for (size_t i = 0; i < f.codes8.size(); ++i) diff += std::abs(int(img->pixels.data()[i]) - int(f.codes8[i]));
      EXPECT_LT(diff / double(f.codes8.size()), 2.0);
    }
  }
  auto frame = load_frame(paths[1]);
  ASSERT_TRUE(frame.ok());
  EXPECT_DOUBLE_EQ(frame->exposure.exposure_time, 1.0 / 250);
  EXPECT_DOUBLE_EQ(frame->exposure.f_number, 8.0);
  EXPECT_EQ(frame->exposure.iso, 100);
  EXPECT_EQ(frame->exposure.camera, "Brightloom Test Camera");
  EXPECT_EQ(frame->exposure.describe(), "1/250 s, f/8, ISO 100");

  std::vector<Frame> frames;
  for (const auto &p : paths) frames.push_back(*load_frame(p));
  MergeReport rep;
  MergeOptions opt;
  auto hdr = merge_frames(std::move(frames), opt, rep);
  ASSERT_TRUE(hdr.ok()) << hdr.failure().message();
  EXPECT_EQ(rep.exposure_source, "camera metadata");
  EXPECT_NEAR(std::log2(rep.exposures[2]), std::log2(250.0 / 60), 1e-9);
  std::vector<synth::Shot> shots(3);
  for (int k = 0; k < 3; ++k) shots[size_t(k)].exposure = 0.6 * 250.0 / denominators[k];
  EXPECT_LT(synth::log_error(*hdr, rep, src, 32, 16, shots).stops, 0.08);
}

// A DNG made here from the sample reads back through LibRaw as the light it holds: linear,
// neutral, in sRGB primaries, to within demosaicing.
TEST(CameraFrames, DngReadsBackLinear) {
  brightloom_test::ScratchDir dir;
  const auto &src = synth::sample(true);
  const std::string path = dir.path() + "/frame.dng";
  const double exposure = 0.6;
  write_dng(path, src, exposure);
  auto raw = read_raw(path);
  ASSERT_TRUE(raw.ok()) << raw.failure().message();
  const Image &img = raw->image;
  ASSERT_EQ(img.width, src.w);
  ASSERT_EQ(img.height, src.h);
  ASSERT_EQ(img.spp, 3);
  const uint16_t *p = img.pixels.as<uint16_t>();
  // Mid-tones away from edges, where demosaicing is exact enough: the ratio to the truth is
  // one number for every pixel and channel.
  std::vector<double> ratios;
  for (int y = 8; y < src.h - 8; y += 3)
    for (int x = 8; x < src.w - 8; x += 3)
      for (int c = 0; c < 3; ++c) {
        const double truth = src.rgb[(size_t(y) * src.w + x) * 3 + size_t(c)] * exposure;
        if (truth < 0.05 || truth > 0.8) continue;
        ratios.push_back(p[(size_t(y) * src.w + x) * 3 + size_t(c)] / 32768.0 / truth);
      }
  ASSERT_GT(ratios.size(), 1000u);
  std::sort(ratios.begin(), ratios.end());
  const double median = ratios[ratios.size() / 2];
  EXPECT_NEAR(median, 1.0, 0.1);
  // Nine pixels in ten within 8 % of that scale.
  EXPECT_LT(ratios[ratios.size() * 19 / 20] / median, 1.08);
  EXPECT_GT(ratios[ratios.size() / 20] / median, 0.92);
}

// What a folder of frames can hold besides good frames: each refused by name, with a reason.
TEST(CameraFrames, BadFilesAreNamed) {
  brightloom_test::ScratchDir dir;
  const auto &src = synth::sample(true);
  synth::Shot s;
  const Frame f = synth::make_frame(src, s, synth::srgb, 448, 224, 32, 16);
  const std::string good = dir.path() + "/good.jpg";
  write_jpeg_frame(good, f);
  std::string bytes;
  {
    std::ifstream in(good, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  auto write = [&](const std::string &name, const std::string &data) {
    std::ofstream(dir.path() + "/" + name, std::ios::binary) << data;
    return dir.path() + "/" + name;
  };
  struct Case {
    std::string path, reason;
  };
  const Case cases[] = {
      {write("cut.jpg", bytes.substr(0, bytes.size() / 2)), "damaged"},
      {write("garbage.jpg", std::string("\xFF\xD8\xFF\xE0") + std::string(200, 'x')), "JPEG"},
      {write("unknown.nef", std::string(4096, 'q')), "not a camera raw format LibRaw knows"},
      {write("notes.txt", "a shopping list"), "unknown file format"},
      {write("empty.jpg", ""), "empty"},
      {dir.path() + "/missing.jpg", "cannot open"},
  };
  for (const Case &c : cases) {
    auto frame = load_frame(c.path);
    ASSERT_FALSE(frame.ok()) << c.path;
    EXPECT_EQ(frame.failure().file, c.path);
    EXPECT_NE(frame.failure().reason.find(c.reason), std::string::npos) << c.path << ": " << frame.failure().reason;
  }
}
