// SPDX-License-Identifier: MIT
#include "views/bl_view.h"

#include <QPainter>
#include <QPaintEvent>

#include "views/colour_conversion.h"

using brightloom::dialog::ColourConversion;

BLView::BLView(QWidget *parent) : QWidget(parent) {}

BLView::~BLView() = default;

void BLView::setPreviewImage(const QImage &image) {
  _previewImage = image;
  if (image.isNull()) {
    displayed_ = QImage();
    return;
  }
  displayed_ = image.convertToFormat(QImage::Format_RGB32);
  const QColorSpace from = image.colorSpace();
  const QColorSpace to = brightloom::dialog::screen_colour_space();
  if (!from.isValid() || from == to) return;
  if (!conversion_ || !(conversion_->from() == from) || !(conversion_->to() == to))
    conversion_ = std::make_unique<ColourConversion>(from, to);
  conversion_->apply(displayed_);
}

NSRect BLView::drawingRect(NSSize imageSize, NSRect r) {
  const NSRect src{{0.0f, 0.0f}, imageSize};
  const NSRect fit = NSRectScaleToFit(src, r);
  return NSRectAlignWithRect(fit, 5, r, 5);
}

void BLView::paintEvent(QPaintEvent *) {
  if (displayed_.isNull()) return;
  // The whole view, not the region Qt asks to repaint: Qt repaints parts of a widget on its own
  // (an overlapping tool tip), and fitting the image into such a part would draw it wrongly.
  const NSRect area{{0.0f, 0.0f}, {float(width()), float(height())}};
  const NSRect dst = drawingRect({float(displayed_.width()), float(displayed_.height())}, area);
  // y up to Qt's y down.
  const QRectF target(dst.origin.x, double(height()) - dst.origin.y - dst.size.height, dst.size.width, dst.size.height);
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter.drawImage(target, displayed_, QRectF(displayed_.rect()));
}
