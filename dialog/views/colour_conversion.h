// SPDX-License-Identifier: MIT
// Converting preview images from their colour space to the screen's, as fast as a refresh needs.
#pragma once

#include <QColorSpace>
#include <QImage>

#include <array>
#include <cstdint>

#include "export.h"

namespace brightloom::dialog {

// The colour space previews are converted to. Qt does not tell a widget its screen's profile,
// so the screen is taken to be sRGB, as an unmanaged desktop is.
QColorSpace screen_colour_space();

// Converts images of one colour space into another. When the two spaces share their primaries
// and white point (a linear profile of sRGB primaries, say), the conversion works channel by
// channel and is done through three 256-entry tables; otherwise Qt's full transform is applied.
class BRIGHTLOOM_DIALOG_EXPORT ColourConversion {
 public:
  ColourConversion(const QColorSpace &from, const QColorSpace &to);
  const QColorSpace &from() const { return from_; }
  const QColorSpace &to() const { return to_; }
  bool by_tables() const { return by_tables_; }
  // image in Format_RGB32, converted in place.
  void apply(QImage &image) const;

 private:
  QColorSpace from_, to_;
  QColorTransform transform_;
  bool by_tables_ = false;
  std::array<std::array<uint8_t, 256>, 3> lut_{};
};

}  // namespace brightloom::dialog
