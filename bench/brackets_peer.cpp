// SPDX-License-Identifier: MIT
// Bracket merging beside Luminance HDR's command-line program, each run as a user would run it
// on the same frames: merge error against the light the frames were made from, and, with
// --big, time and peak memory on five 24-megapixel frames (JPEG and 16-bit TIFF).
//
//   brackets_peer PATH/TO/brightloom [--big] [--keep DIR]
//
// Frames are made from the HDR images in the shared data folder (or the repository's sample):
// exposed 1.5 EV apart, through sRGB or a made-up S-curve, written as JPEG at quality 90 with
// the exposure in EXIF, so both programs find the exposures in the files.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image.h"

using namespace brightloom;
namespace fs = std::filesystem;

namespace {

struct Hdr {
  int w = 0, h = 0;
  std::vector<float> rgb;
  double lum(size_t i) const { return 0.2126 * rgb[3 * i] + 0.7152 * rgb[3 * i + 1] + 0.0722 * rgb[3 * i + 2]; }
};

Hdr load(const std::string &path) {
  Hdr h;
  auto img = read_exr(path, 2);
  if (!img || img->spp != 3) return h;
  h.w = img->width;
  h.h = img->height;
  const float *p = img->pixels.as<float>();
  h.rgb.assign(p, p + size_t(h.w) * h.h * 3);
  return h;
}

Hdr upscale(const Hdr &s, int w, int h) {
  Hdr o;
  o.w = w;
  o.h = h;
  o.rgb.resize(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    const double sy = (y + 0.5) * s.h / h - 0.5;
    const int y0 = std::clamp(int(sy), 0, s.h - 2);
    const double ay = std::clamp(sy - y0, 0.0, 1.0);
    for (int x = 0; x < w; ++x) {
      const double sx = (x + 0.5) * s.w / w - 0.5;
      const int x0 = std::clamp(int(sx), 0, s.w - 2);
      const double ax = std::clamp(sx - x0, 0.0, 1.0);
      for (int c = 0; c < 3; ++c) {
        auto v = [&](int xx, int yy) { return double(s.rgb[(size_t(yy) * s.w + xx) * 3 + size_t(c)]); };
        o.rgb[(size_t(y) * w + x) * 3 + size_t(c)] =
            float((1 - ax) * (1 - ay) * v(x0, y0) + ax * (1 - ay) * v(x0 + 1, y0) + (1 - ax) * ay * v(x0, y0 + 1) +
                  ax * ay * v(x0 + 1, y0 + 1));
      }
    }
  }
  return o;
}

double srgb(double v) {
  v = std::clamp(v, 0.0, 1.0);
  return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}
double s_curve(double v) { return 0.5 + 0.5 * std::tanh(3 * (srgb(v) - 0.5)) / std::tanh(1.5); }

// The exposure that puts the image's median luminance at 0.18.
double middle_exposure(const Hdr &h) {
  std::vector<double> l;
  for (size_t i = 0; i < size_t(h.w) * h.h; i += 7) l.push_back(h.lum(i));
  std::nth_element(l.begin(), l.begin() + ptrdiff_t(l.size() / 2), l.end());
  return 0.18 / std::max(l[l.size() / 2], 1e-6);
}

void add_exif(const std::string &path, double seconds) {
  auto img = Exiv2::ImageFactory::open(path);
  img->readMetadata();
  Exiv2::ExifData &exif = img->exifData();
  exif["Exif.Image.Make"] = "Brightloom";
  exif["Exif.Image.Model"] = "Bench";
  exif["Exif.Photo.ExposureTime"] = Exiv2::Rational(int(std::lround(seconds * 1e6)), 1000000);
  exif["Exif.Photo.FNumber"] = Exiv2::Rational(8, 1);
  exif["Exif.Photo.ISOSpeedRatings"] = uint16_t(100);
  img->writeMetadata();
}

// Writes frame k: 8-bit JPEG through curve, or 16-bit linear TIFF.
std::string write_frame(const Hdr &h, double exposure, double (*curve)(double), bool tiff16, const std::string &path) {
  Picture pic;
  pic.width = h.w;
  pic.height = h.h;
  pic.spp = 3;
  pic.bits = tiff16 ? 16 : 8;
  const size_t n = size_t(h.w) * h.h * 3;
  pic.pixels = Buffer::allocate(int64_t(n), tiff16 ? 2 : 1);
  for (size_t i = 0; i < n; ++i) {
    const double v = std::clamp(h.rgb[i] * exposure, 0.0, 1.0);
    if (tiff16)
      pic.pixels.as<uint16_t>()[i] = uint16_t(std::lround(v * 65535));
    else
      pic.pixels.data()[i] = uint8_t(std::lround(curve(v) * 255));
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const Status s = tiff16 ? write_tiff(fd, pic) : write_jpeg(fd, pic, 90);
  if (!s) std::fprintf(stderr, "%s: %s\n", path.c_str(), s.failure().reason.c_str());
  return path;
}

// Mean |log2| error of the luminance after the best global scale, over pixels some frame
// exposed well; the file's data window says where it sits in the frames.
double error_of(const std::string &path, const Hdr &truth, const std::vector<double> &exposures) {
  auto img = read_exr(path, 2);
  if (!img) return NAN;
  Imf::InputFile in(path.c_str());
  const auto dw = in.header().dataWindow();
  const auto disp = in.header().displayWindow();
  const int ox = dw.min.x - disp.min.x, oy = dw.min.y - disp.min.y;
  const float *p = img->pixels.as<float>();
  std::vector<double> d;
  for (int y = 0; y < img->height; ++y)
    for (int x = 0; x < img->width; ++x) {
      const size_t t = size_t(y + oy) * truth.w + size_t(x + ox);
      const double l = truth.lum(t);
      double top = 0;
      for (int c = 0; c < 3; ++c) top = std::max(top, double(truth.rgb[3 * t + size_t(c)]));
      bool seen = false;
      for (double e : exposures) seen = seen || (l * e >= 0.02 && top * e <= 0.9);
      if (!seen || l <= 0) continue;
      const float *q = p + (size_t(y) * img->width + x) * 3;
      const double got = 0.2126 * q[0] + 0.7152 * q[1] + 0.0722 * q[2];
      d.push_back(std::log2(std::max(got, 1e-12) / l));
    }
  if (d.empty()) return NAN;
  std::vector<double> s = d;
  std::nth_element(s.begin(), s.begin() + ptrdiff_t(s.size() / 2), s.end());
  const double off = s[s.size() / 2];
  double sum = 0;
  for (double v : d) sum += std::fabs(v - off);
  return sum / double(d.size());
}

struct Run {
  double seconds = NAN;
  double cpu = NAN;  // user + system seconds: the machine may be shared
  double peak_mb = NAN;
  bool ok = false;
};

// Runs a command under /usr/bin/time: wall seconds and peak resident memory.
Run timed(const std::string &cmd, const std::string &dir) {
  const std::string stats = dir + "/time.txt";
  const std::string full = "/usr/bin/time -f '%e %U %S %M' -o '" + stats + "' " + cmd + " > '" + dir + "/log.txt' 2>&1";
  Run r;
  r.ok = std::system(full.c_str()) == 0;
  std::ifstream in(stats);
  double kb = 0, user = 0, sys = 0;
  in >> r.seconds >> user >> sys >> kb;
  r.cpu = user + sys;
  r.peak_mb = kb / 1024;
  return r;
}

std::string frames_arg(const std::vector<std::string> &frames) {
  std::string s;
  for (const auto &f : frames) s += " '" + f + "'";
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: brackets_peer PATH/TO/brightloom [--big] [--keep DIR]\n");
    return 2;
  }
  const std::string program = argv[1];
  bool big = false;
  std::string keep;
  for (int i = 2; i < argc; ++i) {
    if (std::string(argv[i]) == "--big") big = true;
    if (std::string(argv[i]) == "--keep" && i + 1 < argc) keep = argv[++i];
  }
  if (std::system("command -v luminance-hdr-cli > /dev/null") != 0) {
    std::fprintf(stderr, "luminance-hdr-cli is not installed (scripts/install-deps.sh installs it)\n");
    return 1;
  }
  const std::string peer = "env QT_QPA_PLATFORM=offscreen luminance-hdr-cli";
  const std::string work = keep.empty() ? fs::temp_directory_path().string() + "/brackets-peer" : keep;
  fs::create_directories(work);

  std::vector<std::string> sources;
  const std::string shared = BRIGHTLOOM_SHARED_DATA;
  for (const char *name : {"sunset.exr", "city.exr", "forest.exr", "interior.exr", "night.exr", "studio.exr"})
    if (fs::exists(shared + "/" + name)) sources.push_back(shared + "/" + name);
  if (sources.empty()) sources.push_back(std::string(BRIGHTLOOM_SOURCE_DIR) + "/samples/sunset.exr");

  std::printf("merge error (mean |log2| luminance after one global scale, well-exposed pixels), 5 JPEG q90 frames "
              "1.5 EV apart with EXIF:\n");
  std::printf("%-14s %-8s %12s %12s %14s %14s\n", "image", "curve", "brightloom", "luminance", "cpu/wall ours",
              "cpu/wall peer");
  for (const auto &src : sources) {
    const Hdr h = load(src);
    if (h.rgb.empty()) continue;
    const double mid = middle_exposure(h);
    for (int curve = 0; curve < 2; ++curve) {
      const std::string dir = work + "/" + fs::path(src).stem().string() + (curve ? "-scurve" : "-srgb");
      fs::create_directories(dir);
      std::vector<std::string> frames;
      std::vector<double> exposures;
      for (int k = 0; k < 5; ++k) {
        const double e = mid * std::exp2(1.5 * (k - 2));
        exposures.push_back(e);
        frames.push_back(write_frame(h, e, curve ? s_curve : srgb, false, dir + "/f" + std::to_string(k) + ".jpg"));
        add_exif(frames.back(), e / 400);  // shutter times around 1/400 s .. 1/25 s
      }
      const Run ours = timed("'" + program + "' merge -q --float -o '" + dir + "/ours.exr'" + frames_arg(frames), dir);
      const Run theirs = timed(peer + " -s '" + dir + "/peer.exr'" + frames_arg(frames), dir);
      std::printf("%-14s %-8s %12.4f %12.4f %6.2f/%5.2fs %6.2f/%5.2fs\n", fs::path(src).stem().c_str(),
                  curve ? "S-curve" : "sRGB", ours.ok ? error_of(dir + "/ours.exr", h, exposures) : NAN,
                  theirs.ok ? error_of(dir + "/peer.exr", h, exposures) : NAN, ours.cpu, ours.seconds, theirs.cpu,
                  theirs.seconds);
      std::fflush(stdout);
    }
  }

  if (big) {
    const Hdr h = upscale(load(sources.front()), 6000, 4000);
    const double mid = middle_exposure(h);
    for (int tiff = 0; tiff < 2; ++tiff) {
      const std::string dir = work + (tiff ? "/big-tiff16" : "/big-jpeg");
      fs::create_directories(dir);
      std::vector<std::string> frames;
      for (int k = 0; k < 5; ++k) {
        const double e = mid * std::exp2(1.5 * (k - 2));
        frames.push_back(write_frame(h, e, srgb, tiff, dir + "/f" + std::to_string(k) + (tiff ? ".tif" : ".jpg")));
        add_exif(frames.back(), e / 400);
      }
      const double decoded_mb = 5.0 * 6000 * 4000 * 3 * (tiff ? 2 : 1) / (1024.0 * 1024);
      const Run ours = timed("'" + program + "' merge -q -o '" + dir + "/ours.exr'" + frames_arg(frames), dir);
      const Run theirs = timed(peer + " -s '" + dir + "/peer.exr'" + frames_arg(frames), dir);
      std::printf("5 x 24 MP %s (decoded %.0f MB): brightloom %.1f s cpu %.1f s wall, peak %.0f MB%s; "
                  "luminance-hdr-cli %.1f s cpu %.1f s wall, peak %.0f MB%s\n",
                  tiff ? "16-bit TIFF" : "JPEG", decoded_mb, ours.cpu, ours.seconds, ours.peak_mb,
                  ours.ok ? "" : " (failed)", theirs.cpu, theirs.seconds, theirs.peak_mb, theirs.ok ? "" : " (failed)");
      std::fflush(stdout);
    }
  }
  if (keep.empty()) fs::remove_all(work);
  return 0;
}
