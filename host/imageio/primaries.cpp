// SPDX-License-Identifier: MIT
#include "primaries.h"

#include "image.h"

#include <cmath>
#include <cstdio>

namespace brightloom {
namespace {

// The determinant of a 3 x 3 matrix, expanded along its first row.
double det3(const double (&a)[3][3]) {
  return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
         a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

}  // namespace

std::string implausible_primaries(const Chromaticities &c) {
  const float v[8] = {c.red_x, c.red_y, c.green_x, c.green_y, c.blue_x, c.blue_y, c.white_x, c.white_y};
  for (float f : v)
    if (!std::isfinite(f)) return "a coordinate is not a number";
  for (int i = 0; i < 6; ++i)
    if (v[i] < -0.5f || v[i] > 1.5f) return "a primary lies far outside the chromaticity diagram";
  // Daylight from about 3,000 K to well beyond 10,000 K and the usual lamp whites lie in here.
  if (c.white_x < 0.2f || c.white_x > 0.55f || c.white_y < 0.2f || c.white_y > 0.5f)
    return "the white point is not a plausible white";
  // The white must be a positive mix of the three primaries: solve M s = w, where the columns
  // of M are the primaries' xyz and w the white's XYZ at Y = 1.
  const double m[3][3] = {{c.red_x, c.green_x, c.blue_x},
                          {c.red_y, c.green_y, c.blue_y},
                          {1.0 - c.red_x - c.red_y, 1.0 - c.green_x - c.green_y, 1.0 - c.blue_x - c.blue_y}};
  const double w[3] = {c.white_x / c.white_y, 1.0, (1.0 - c.white_x - c.white_y) / c.white_y};
  const double det = det3(m);
  if (std::fabs(det) < 1e-3) return "the primaries do not span a colour space (they lie on one line or coincide)";
  // Cramer's rule, one column replaced by w at a time.
  for (int col = 0; col < 3; ++col) {
    double a[3][3];
    for (int r = 0; r < 3; ++r)
      for (int k = 0; k < 3; ++k) a[r][k] = k == col ? w[r] : m[r][k];
    if (!(det3(a) / det > 0)) return "the white point lies outside the triangle of the primaries";
  }
  return {};
}

bool same_primaries(const Chromaticities &a, const Chromaticities &b) {
  const float u[8] = {a.red_x, a.red_y, a.green_x, a.green_y, a.blue_x, a.blue_y, a.white_x, a.white_y};
  const float v[8] = {b.red_x, b.red_y, b.green_x, b.green_y, b.blue_x, b.blue_y, b.white_x, b.white_y};
  for (int i = 0; i < 8; ++i)
    if (!(std::fabs(u[i] - v[i]) <= 0.0005f)) return false;
  return true;
}

std::string describe_primaries(const Chromaticities &c) {
  if (same_primaries(c, kRec709)) return "Rec. 709/sRGB";
  char s[160];
  std::snprintf(s, sizeof s, "red %.4f %.4f, green %.4f %.4f, blue %.4f %.4f, white %.4f %.4f", double(c.red_x),
                double(c.red_y), double(c.green_x), double(c.green_y), double(c.blue_x), double(c.blue_y),
                double(c.white_x), double(c.white_y));
  return s;
}

Chromaticities chromaticities_from(const float (&xy)[8]) {
  return Chromaticities{xy[0], xy[1], xy[2], xy[3], xy[4], xy[5], xy[6], xy[7]};
}

void Image::adopt_primaries(const Chromaticities &c, const std::string &origin) {
  const std::string why = implausible_primaries(c);
  if (why.empty()) {
    primaries = c;
    primaries_origin = origin;
    return;
  }
  primaries = kRec709;
  primaries_origin = "assumed: " + origin + " names no usable primaries";
  warnings.push_back("the primaries of " + origin + " (" + describe_primaries(c) + ") are ignored: " + why +
                     "; Rec. 709/sRGB is assumed");
}

}  // namespace brightloom
