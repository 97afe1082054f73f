// SPDX-License-Identifier: MIT
#include "synth.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "image.h"

namespace synth {

float Hdr::at(double x, double y, int c) const {
  x = std::clamp(x, 0.0, double(w - 1));
  y = std::clamp(y, 0.0, double(h - 1));
  const int x0 = std::min(int(x), w - 2), y0 = std::min(int(y), h - 2);
  const double ax = x - x0, ay = y - y0;
  auto v = [&](int xx, int yy) { return double(rgb[(size_t(yy) * w + xx) * 3 + size_t(c)]); };
  return float((1 - ax) * (1 - ay) * v(x0, y0) + ax * (1 - ay) * v(x0 + 1, y0) + (1 - ax) * ay * v(x0, y0 + 1) +
               ax * ay * v(x0 + 1, y0 + 1));
}

const Hdr &sample(bool half_size) {
  static Hdr full, half;
  if (full.rgb.empty()) {
    auto img = brightloom::read_exr(std::string(BRIGHTLOOM_SOURCE_DIR) + "/samples/sunset.exr", 1);
    if (!img || img->spp != 3) throw std::runtime_error("cannot read samples/sunset.exr");
    full.w = img->width;
    full.h = img->height;
    const float *p = img->pixels.as<float>();
    full.rgb.assign(p, p + size_t(full.w) * full.h * 3);
    half.w = full.w / 2;
    half.h = full.h / 2;
    half.rgb.resize(size_t(half.w) * half.h * 3);
    for (int y = 0; y < half.h; ++y)
      for (int x = 0; x < half.w; ++x)
        for (int c = 0; c < 3; ++c) {
          auto v = [&](int xx, int yy) { return full.rgb[(size_t(yy) * full.w + xx) * 3 + size_t(c)]; };
          half.rgb[(size_t(y) * half.w + x) * 3 + size_t(c)] =
              0.25f * (v(2 * x, 2 * y) + v(2 * x + 1, 2 * y) + v(2 * x, 2 * y + 1) + v(2 * x + 1, 2 * y + 1));
        }
  }
  return half_size ? half : full;
}

double srgb(double v) {
  v = std::clamp(v, 0.0, 1.0);
  return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}

double s_curve(double v) {
  const double g = srgb(v);
  return 0.5 + 0.5 * std::tanh(3 * (g - 0.5)) / std::tanh(1.5);
}

brightloom::brackets::Frame make_frame(const Hdr &src, const Shot &s, const Curve &curve, int w, int h, int ox,
                                       int oy) {
  brightloom::brackets::Frame f;
  f.path = "synthetic";
  f.kind = s.bits == 8 ? "JPEG 8-bit RGB" : "TIFF 16-bit RGB";
  f.width = w;
  f.height = h;
  f.max_code = s.bits == 8 ? 255 : 32768;
  f.linear = s.bits != 8;
  if (s.bits == 8)
    f.codes8.resize(size_t(w) * h * 3);
  else
    f.codes16.resize(size_t(w) * h * 3);
  const double a = s.angle_deg * 3.14159265358979323846 / 180, ca = std::cos(a), sa = std::sin(a);
  const double cx = w / 2.0, cy = h / 2.0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      // Frame pixel q shows reference pixel p where q = c + R (p - c) + d: invert.
      const double qx = x - cx - s.dx, qy = y - cy - s.dy;
      const double px = cx + ca * qx + sa * qy, py = cy - sa * qx + ca * qy;
      for (int c = 0; c < 3; ++c) {
        const double light = src.at(px + ox, py + oy, c) * s.exposure;
        const double code = curve(std::clamp(light, 0.0, 1.0));
        const size_t i = (size_t(y) * w + x) * 3 + size_t(c);
        if (s.bits == 8)
          f.codes8[i] = uint8_t(std::lround(code * 255));
        else
          f.codes16[i] = uint16_t(std::lround(code * 32768));
      }
    }
  return f;
}

std::vector<uint8_t> bytes_of(const brightloom::brackets::Frame &f) { return f.codes8; }

Error log_error(const brightloom::brackets::HdrImage &merged, const brightloom::brackets::MergeReport &rep,
                const Hdr &src, int ox, int oy, const std::vector<Shot> &shots) {
  std::vector<double> diffs;
  int64_t total = 0;
  for (int y = 0; y < merged.height; ++y)
    for (int x = 0; x < merged.width; ++x) {
      ++total;
      const double px = x + rep.crop_x + ox, py = y + rep.crop_y + oy;
      double truth = 0.2126 * src.at(px, py, 0) + 0.7152 * src.at(px, py, 1) + 0.0722 * src.at(px, py, 2);
      bool seen = false;
      for (const Shot &s : shots) {
        double top = 0;
        for (int c = 0; c < 3; ++c) top = std::max(top, double(src.at(px, py, c)) * s.exposure);
        const double lum = truth * s.exposure;
        seen = seen || (lum >= 0.02 && top <= 0.9);
      }
      if (!seen || truth <= 0) continue;
      const float *m = &merged.rgb[(size_t(y) * merged.width + x) * 3];
      const double got = 0.2126 * m[0] + 0.7152 * m[1] + 0.0722 * m[2];
      diffs.push_back(std::log2(std::max(got, 1e-12) / truth));
    }
  Error e;
  if (diffs.empty()) return e;
  std::vector<double> sorted = diffs;
  std::nth_element(sorted.begin(), sorted.begin() + ptrdiff_t(sorted.size() / 2), sorted.end());
  const double offset = sorted[sorted.size() / 2];
  double sum = 0;
  for (double d : diffs) sum += std::fabs(d - offset);
  e.stops = sum / double(diffs.size());
  e.covered = double(diffs.size()) / double(total);
  e.scale = std::exp2(offset);
  return e;
}

}  // namespace synth
