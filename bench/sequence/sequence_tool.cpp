// SPDX-License-Identifier: MIT
// The flicker benchmark's two halves.
//   sequence_tool make SOURCE.exr OUTDIR FRAMES SCALE SEED
//     A synthetic time-lapse from one HDR picture, enlarged SCALE times: a slow real change
//     (+1 EV from the first frame to the last) and, in the top-left corner, 0-3 glints a frame
//     (3 x 3 pixels of 5 to 500 times the scene's maximum) that come and go.
//   sequence_tool flicker PICTURE...
//     The mean log level of each picture away from the corner, its trend (a least-squares
//     parabola over the sequence), and the jitter around it: the RMS of the residuals.
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "formats.h"

using namespace brightloom;

namespace {

int make(const std::string &source, const std::string &dir, int frames, int scale, unsigned seed) {
  auto img = read_image(source, 2, false);
  if (!img || img->type != SampleType::F32 || img->spp != 3) {
    std::fprintf(stderr, "%s: not a float RGB picture\n", source.c_str());
    return 1;
  }
  const int w0 = img->width, h0 = img->height, w = w0 * scale, h = h0 * scale;
  const float *src = img->pixels.as<float>();
  std::vector<float> base(size_t(w) * h * 3);
  float peak = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        const float v = src[(size_t(y / scale) * w0 + x / scale) * 3 + c];
        base[(size_t(y) * w + x) * 3 + c] = v;
        peak = std::max(peak, v);
      }
  std::filesystem::create_directories(dir);
  std::mt19937 rng(seed);
  std::vector<float> f(base.size());
  for (int i = 0; i < frames; ++i) {
    const float gain = float(std::exp2(frames > 1 ? double(i) / (frames - 1) : 0.0));
    for (size_t k = 0; k < f.size(); ++k) f[k] = base[k] * gain;
    const int glints = int(rng() % 4);
    for (int g = 0; g < glints; ++g) {
      const int gx = int(rng() % unsigned(w / 8)), gy = int(rng() % unsigned(h / 8));
      const double u = double(rng()) / double(rng.max());
      const float v = float(peak * gain * std::exp(std::log(5.0) + u * std::log(100.0)));
      for (int y = gy; y < std::min(h, gy + 3); ++y)
        for (int x = gx; x < std::min(w, gx + 3); ++x)
          for (int c = 0; c < 3; ++c) f[(size_t(y) * w + x) * 3 + c] = v;
    }
    char name[64];
    std::snprintf(name, sizeof name, "/frame%04d.exr", i + 1);
    Imf::Header hdr(w, h);
    for (const char *c : {"R", "G", "B"}) hdr.channels().insert(c, Imf::Channel(Imf::FLOAT));
    Imf::OutputFile out((dir + name).c_str(), hdr);
    Imf::FrameBuffer fb;
    const size_t xs = 3 * sizeof(float);
    for (int c = 0; c < 3; ++c)
      fb.insert(std::string(1, "RGB"[c]), Imf::Slice(Imf::FLOAT, reinterpret_cast<char *>(f.data() + c), xs, xs * w));
    out.setFrameBuffer(fb);
    out.writePixels(h);
  }
  std::printf("%d frames of %d x %d in %s\n", frames, w, h, dir.c_str());
  return 0;
}

int flicker(int argc, char **argv) {
  std::vector<double> level;
  for (int i = 0; i < argc; ++i) {
    auto img = read_image(argv[i], 1, false);
    if (!img || img->type != SampleType::U8 || img->spp != 3) {
      std::fprintf(stderr, "%s: not an 8-bit RGB picture\n", argv[i]);
      return 1;
    }
    const int w = img->width, h = img->height;
    const unsigned char *p = img->pixels.data();
    double sum = 0;
    int64_t n = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        if (x < w / 4 && y < h / 4) continue;  // the glints' corner, with room to spare
        const unsigned char *q = p + (size_t(y) * w + x) * 3;
        const double Y = 0.2126 * q[0] + 0.7152 * q[1] + 0.0722 * q[2];
        sum += std::log((Y + 0.5) / 255.5);
        ++n;
      }
    level.push_back(sum / double(n));
  }
  // Least-squares parabola over t in [-1, 1].
  const int n = int(level.size());
  double S[5] = {}, T[3] = {};
  for (int i = 0; i < n; ++i) {
    const double t = n > 1 ? 2.0 * i / (n - 1) - 1.0 : 0.0;
    double tp = 1;
    for (int k = 0; k < 5; ++k, tp *= t) S[k] += tp;
    T[0] += level[size_t(i)];
    T[1] += level[size_t(i)] * t;
    T[2] += level[size_t(i)] * t * t;
  }
  // Solve the 3 x 3 normal equations by Cramer's rule.
  auto det = [](double a[3][3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  };
  double A[3][3] = {{S[0], S[1], S[2]}, {S[1], S[2], S[3]}, {S[2], S[3], S[4]}};
  const double D = det(A);
  double c[3];
  for (int k = 0; k < 3; ++k) {
    double B[3][3];
    for (int r = 0; r < 3; ++r)
      for (int q = 0; q < 3; ++q) B[r][q] = q == k ? T[r] : A[r][q];
    c[k] = det(B) / D;
  }
  double rss = 0, step = 0;
  for (int i = 0; i < n; ++i) {
    const double t = n > 1 ? 2.0 * i / (n - 1) - 1.0 : 0.0;
    const double r = level[size_t(i)] - (c[0] + c[1] * t + c[2] * t * t);
    rss += r * r;
    if (i > 0) step += std::pow(level[size_t(i)] - level[size_t(i - 1)], 2);
  }
  const double first = c[0] - c[1] + c[2], last = c[0] + c[1] + c[2];
  std::printf("frames %d  jitter %.4f  (frame-to-frame rms %.4f)  trend %.4f -> %.4f (change %+.4f)\n", n,
              std::sqrt(rss / n), n > 1 ? std::sqrt(step / (n - 1)) : 0.0, first, last, last - first);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 7 && std::string(argv[1]) == "make")
    return make(argv[2], argv[3], std::atoi(argv[4]), std::max(1, std::atoi(argv[5])), unsigned(std::atoi(argv[6])));
  if (argc >= 3 && std::string(argv[1]) == "flicker") return flicker(argc - 2, argv + 2);
  std::fprintf(stderr,
               "usage: sequence_tool make SOURCE.exr OUTDIR FRAMES SCALE SEED\n"
               "       sequence_tool flicker PICTURE...\n");
  return 2;
}
