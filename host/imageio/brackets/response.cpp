// SPDX-License-Identifier: MIT
#include "response.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace brightloom::brackets {
namespace {

double srgb_to_linear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

// Debevec & Malik's hat: codes near the ends tell least about the light.
double hat(int z, int max_code) {
  const int mid = max_code / 2;
  return z <= mid ? z + 1 : max_code - z + 1;
}

// Solves M x = b for a symmetric positive definite M (n x n, row-major) in place by Cholesky.
bool cholesky_solve(std::vector<double> &m, std::vector<double> &b, size_t n) {
  for (size_t j = 0; j < n; ++j) {
    double d = m[j * n + j];
    for (size_t k = 0; k < j; ++k) d -= m[j * n + k] * m[j * n + k];
    if (!(d > 0)) return false;
    d = std::sqrt(d);
    m[j * n + j] = d;
    for (size_t i = j + 1; i < n; ++i) {
      double s = m[i * n + j];
      for (size_t k = 0; k < j; ++k) s -= m[i * n + k] * m[j * n + k];
      m[i * n + j] = s / d;
    }
  }
  for (size_t i = 0; i < n; ++i) {
    double s = b[i];
    for (size_t k = 0; k < i; ++k) s -= m[i * n + k] * b[k];
    b[i] = s / m[i * n + i];
  }
  for (size_t i = n; i-- > 0;) {
    double s = b[i];
    for (size_t k = i + 1; k < n; ++k) s -= m[k * n + i] * b[k];
    b[i] = s / m[i * n + i];
  }
  return true;
}

}  // namespace

Response linear_response(int max_code) {
  Response r;
  r.max_code = max_code;
  r.source = "linear";
  for (auto &ch : r.light) {
    ch.resize(size_t(max_code) + 1);
    for (int z = 0; z <= max_code; ++z) ch[size_t(z)] = float(double(z) / max_code);
  }
  return r;
}

Response srgb_response(int max_code) {
  Response r;
  r.max_code = max_code;
  r.source = "sRGB (assumed)";
  for (auto &ch : r.light) {
    ch.resize(size_t(max_code) + 1);
    for (int z = 0; z <= max_code; ++z) ch[size_t(z)] = float(srgb_to_linear(double(z) / max_code));
  }
  return r;
}

Result<Response> recover_response(const ResponseSamples &s, const std::vector<double> &exposures, double smoothness) {
  constexpr int kLevels = 256;
  const int frames = s.frames;
  if (frames < 2 || int(exposures.size()) != frames) return fail("", "a response needs at least two frames");
  const auto [lo, hi] = std::minmax_element(exposures.begin(), exposures.end());
  if (!(*lo > 0) || *hi / *lo < 1.4) return fail("", "the exposures are too close together to tell a response");

  Response out;
  out.max_code = kLevels - 1;
  out.source = "recovered from the frames";
  for (int c = 0; c < 3; ++c) {
    const size_t points = s.points(c);
    const std::vector<int> &codes = s.codes[size_t(c)];
    // Codes the samples reach: a curve pinned by a narrow band of codes is guesswork elsewhere.
    std::vector<bool> seen(kLevels, false);
    for (int z : codes) seen[size_t(std::clamp(z, 0, kLevels - 1))] = true;
    const int distinct = int(std::count(seen.begin(), seen.end(), true));
    if (points < 20 || distinct < 96)
      return fail("", "the frames show too few distinct levels (" + std::to_string(distinct) +
                          " of 256) to tell a response");

    const size_t n = kLevels + points;
    std::vector<double> m(n * n, 0.0), b(n, 0.0);
    auto add_pair = [&](size_t i, size_t j, double v) {
      m[i * n + j] += v;
      if (i != j) m[j * n + i] += v;
    };
    for (size_t p = 0; p < points; ++p) {
      for (int f = 0; f < frames; ++f) {
        const int z = std::clamp(codes[p * size_t(frames) + size_t(f)], 0, kLevels - 1);
        const double w = hat(z, kLevels - 1), w2 = w * w, lt = std::log(exposures[size_t(f)]);
        // w (g(z) - ln E_p) = w ln t
        const size_t gz = size_t(z), ep = kLevels + p;
        add_pair(gz, gz, w2);
        add_pair(ep, ep, w2);
        add_pair(gz, ep, -w2);
        b[gz] += w2 * lt;
        b[ep] -= w2 * lt;
      }
    }
    // The curve's scale: g(128) = 0 (fixed again below, after the solve).
    add_pair(128, 128, 1e4);
    // Smoothness: lambda w(z) (g(z-1) - 2 g(z) + g(z+1)) = 0.
    for (int z = 1; z < kLevels - 1; ++z) {
      const double k = smoothness * hat(z, kLevels - 1);
      const size_t idx[3] = {size_t(z - 1), size_t(z), size_t(z + 1)};
      const double coef[3] = {k, -2 * k, k};
      for (int i = 0; i < 3; ++i)
        for (int j = i; j < 3; ++j) add_pair(idx[i], idx[j], coef[i] * coef[j]);
    }
    for (size_t i = 0; i < n; ++i) m[i * n + i] += 1e-9;
    if (!cholesky_solve(m, b, n)) return fail("", "the response could not be solved from these frames");

    // Where samples exist the curve must rise; a fall there means the exposures and the
    // frames disagree (a wrong --ev, frames from different scenes).
    int first = 0, last = kLevels - 1;
    while (first < kLevels && !seen[size_t(first)]) ++first;
    while (last > first && !seen[size_t(last)]) --last;
    for (int z = first + 1; z <= last; ++z)
      if (b[size_t(z)] < b[size_t(z - 1)] - 0.05)
        return fail("", "the recovered response is not increasing; the exposures do not match the frames");

    auto &light = out.light[size_t(c)];
    light.resize(kLevels);
    double g_prev = -1e300;
    for (int z = 0; z < kLevels; ++z) {
      double g = b[size_t(z)];
      if (g <= g_prev) g = g_prev + 1e-4;  // strictly increasing, so that light orders like codes
      g_prev = g;
      light[size_t(z)] = float(std::exp(g));
    }
  }
  // One scale for all channels such that code 128 is the light sRGB gives it: a grey at 128
  // stays grey, and the merged image has the brightness an sRGB reading would give.
  const double target = srgb_to_linear(128.0 / 255.0);
  for (auto &light : out.light) {
    const double k = target / light[128];
    for (float &v : light) v = float(v * k);
  }
  return out;
}

Status save_response(const std::string &path, const Response &r) {
  std::ofstream f(path);
  if (!f) return fail(path, std::string("cannot write: ") + std::strerror(errno));
  f << "brightloom-response 1 " << r.max_code << "\n";
  char line[96];
  for (int z = 0; z <= r.max_code; ++z) {
    std::snprintf(line, sizeof line, "%.9g %.9g %.9g\n", double(r.light[0][size_t(z)]), double(r.light[1][size_t(z)]),
                  double(r.light[2][size_t(z)]));
    f << line;
  }
  f.close();
  if (!f) return fail(path, "cannot write the response curve (disk full?)");
  return {};
}

Result<Response> load_response(const std::string &path) {
  std::ifstream f(path);
  if (!f) return fail(path, std::string("cannot open: ") + std::strerror(errno));
  std::string magic;
  int version = 0, max_code = 0;
  if (!(f >> magic >> version >> max_code) || magic != "brightloom-response" || version != 1 ||
      (max_code != 255 && max_code != 32768))
    return fail(path, "not a response curve saved by brightloom merge --save-response");
  Response r;
  r.max_code = max_code;
  r.source = "loaded from " + path;
  for (auto &ch : r.light) ch.resize(size_t(max_code) + 1);
  for (int z = 0; z <= max_code; ++z) {
    for (int c = 0; c < 3; ++c) {
      double v = 0;
      if (!(f >> v) || !std::isfinite(v) || v < 0)
        return fail(path, "the response curve is cut short or holds a value that is not a light level");
      r.light[size_t(c)][size_t(z)] = float(v);
      if (z > 0 && !(r.light[size_t(c)][size_t(z)] > r.light[size_t(c)][size_t(z - 1)]))
        return fail(path, "the response curve does not increase with the code");
    }
  }
  return r;
}

}  // namespace brightloom::brackets
