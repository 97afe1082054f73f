// SPDX-License-Identifier: MIT
#include "views/colour_conversion.h"

#include <QColorTransform>

#include <cstdlib>

namespace brightloom::dialog {

QColorSpace screen_colour_space() { return QColorSpace(QColorSpace::SRgb); }

ColourConversion::ColourConversion(const QColorSpace &from, const QColorSpace &to)
    : from_(from), to_(to), transform_(from.transformationToColorSpace(to)) {
  for (int v = 0; v < 256; ++v) {
    const QRgb m = transform_.map(qRgb(v, v, v));
    lut_[0][v] = uint8_t(qRed(m));
    lut_[1][v] = uint8_t(qGreen(m));
    lut_[2][v] = uint8_t(qBlue(m));
  }
  // Tables are exact only when no channel leaks into another: check saturated and mixed colours.
  static const int probes[][3] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255},   {255, 128, 0},
                                  {30, 200, 90}, {10, 10, 240}, {128, 0, 255}, {200, 180, 20}};
  by_tables_ = true;
  for (const auto &p : probes) {
    const QRgb m = transform_.map(qRgb(p[0], p[1], p[2]));
    if (std::abs(qRed(m) - lut_[0][p[0]]) > 1 || std::abs(qGreen(m) - lut_[1][p[1]]) > 1 ||
        std::abs(qBlue(m) - lut_[2][p[2]]) > 1) {
      by_tables_ = false;
      break;
    }
  }
}

void ColourConversion::apply(QImage &image) const {
  if (!by_tables_) {
    image.applyColorTransform(transform_);
    return;
  }
  for (int y = 0; y < image.height(); ++y) {
    QRgb *row = reinterpret_cast<QRgb *>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      const QRgb c = row[x];
      row[x] = qRgb(lut_[0][qRed(c)], lut_[1][qGreen(c)], lut_[2][qBlue(c)]);
    }
  }
}

}  // namespace brightloom::dialog
