// SPDX-License-Identifier: MIT
// The preview view, the histogram view and the rectangle helpers, drawn offscreen.
#include <gtest/gtest.h>

#include <QColorSpace>
#include <QImage>

#include <cstdint>
#include <cstring>

#include "brightloom/plugin.h"
#include "support/dialog_host.h"
#include "views/bl_view.h"
#include "views/colour_conversion.h"
#include "views/histo_lum_view.h"

namespace {

NSRect rect(float x, float y, float w, float h) { return NSRect{{x, y}, {w, h}}; }

void expect_rect(NSRect r, float x, float y, float w, float h) {
  EXPECT_FLOAT_EQ(r.origin.x, x);
  EXPECT_FLOAT_EQ(r.origin.y, y);
  EXPECT_FLOAT_EQ(r.size.width, w);
  EXPECT_FLOAT_EQ(r.size.height, h);
}

TEST(RectHelpers, ReferencePointsAndAlignment) {
  const NSPoint c = NSRectPoint(rect(10, 20, 100, 50), 5);
  EXPECT_FLOAT_EQ(c.x, 60);
  EXPECT_FLOAT_EQ(c.y, 45);
  const NSPoint unknown = NSRectPoint(rect(10, 20, 100, 50), 12);
  EXPECT_FLOAT_EQ(unknown.x, 10);
  EXPECT_FLOAT_EQ(unknown.y, 20);
  expect_rect(NSRectAlignToPoint(rect(0, 0, 100, 50), 3, NSPoint{200, 200}), 100, 150, 100, 50);
  expect_rect(NSRectAlignToPoint(rect(7, 8, 100, 50), 0, NSPoint{200, 200}), 7, 8, 100, 50);
  // Every reference point of the aligned rectangle lands on the point it was aligned to.
  for (int code = 1; code <= 9; ++code) {
    const NSRect placed = NSRectAlignWithRect(rect(0, 0, 30, 20), code, rect(5, 5, 90, 70), code);
    const NSPoint a = NSRectPoint(placed, code), b = NSRectPoint(rect(5, 5, 90, 70), code);
    EXPECT_FLOAT_EQ(a.x, b.x) << code;
    EXPECT_FLOAT_EQ(a.y, b.y) << code;
  }
}

TEST(RectHelpers, ScaleToFillAndFit) {
  float factor = -1;
  expect_rect(NSRectScaleToFill2(rect(0, 0, 0, 10), rect(0, 0, 300, 200), &factor), 0, 0, 300, 200);
  EXPECT_EQ(factor, -1) << "an empty rectangle leaves the factor unset";
  expect_rect(NSRectScaleToFill2(rect(5, 5, 100, 100), rect(0, 0, 300, 200), &factor), 5, 5, 200, 200);
  EXPECT_FLOAT_EQ(factor, 2);
  expect_rect(NSRectScaleToFill2(rect(5, 5, 100, 100), rect(0, 0, 0, 200), &factor), 0, 0, 0, 0);
  // Fit never enlarges what fits, and shrinks what does not.
  expect_rect(NSRectScaleToFit(rect(0, 0, 400, 300), rect(0, 0, 600, 500)), 0, 0, 400, 300);
  expect_rect(NSRectScaleToFit(rect(0, 0, 1200, 600), rect(0, 0, 600, 500)), 0, 0, 600, 300);
  expect_rect(NSRectScale(rect(1, 2, 10, 20), 0.5f, 3), 1, 2, 5, 60);
}

TEST(BLView, ImageIsFittedAndCentredNeverEnlarged) {
  expect_rect(BLView::drawingRect({400, 300}, rect(0, 0, 600, 500)), 100, 100, 400, 300);
  expect_rect(BLView::drawingRect({1200, 600}, rect(0, 0, 600, 500)), 0, 100, 600, 300);
}

// Rows and columns of the grabbed view that hold the (red) image.
QRect red_area(const QImage &g) {
  QRect r;
  for (int y = 0; y < g.height(); ++y)
    for (int x = 0; x < g.width(); ++x) {
      const QRgb p = g.pixel(x, y);
      if (qRed(p) > 200 && qGreen(p) < 50 && qBlue(p) < 50) r |= QRect(x, y, 1, 1);
    }
  return r;
}

TEST(BLView, DrawsAtTheComputedPlaceAndNothingWithoutAnImage) {
  dialog_test::ensure_app();
  BLView view;
  view.resize(600, 500);
  const QImage empty = view.grab().toImage();
  EXPECT_TRUE(red_area(empty).isNull());

  QImage wide(1200, 600, QImage::Format_RGB32);
  wide.fill(Qt::red);
  view.setPreviewImage(wide);
  EXPECT_EQ(red_area(view.grab().toImage()), QRect(0, 100, 600, 300));

  QImage small(400, 300, QImage::Format_RGB32);
  small.fill(Qt::red);
  view.setPreviewImage(small);
  EXPECT_EQ(red_area(view.grab().toImage()), QRect(100, 100, 400, 300));
}

TEST(BLView, ConvertsLinearPreviewsToTheScreen) {
  dialog_test::ensure_app();
  BLView view;
  view.resize(40, 40);
  QImage linear(40, 40, QImage::Format_RGB32);
  linear.fill(qRgb(50, 50, 50));
  linear.setColorSpace(QColorSpace(QColorSpace::SRgbLinear));
  view.setPreviewImage(linear);
  // 50/255 of linear light is 122 in sRGB; drawn without conversion it would stay 50.
  EXPECT_NEAR(qRed(view.grab().toImage().pixel(20, 20)), 122, 1);
  // An image without a colour space is drawn as it is.
  linear.setColorSpace(QColorSpace());
  view.setPreviewImage(linear);
  EXPECT_EQ(qRed(view.grab().toImage().pixel(20, 20)), 50);
}

TEST(ColourConversion, TablesOnlyWhenChannelsStaySeparateAndThenAgreeWithQt) {
  dialog_test::ensure_app();
  using brightloom::dialog::ColourConversion;
  const QColorSpace srgb(QColorSpace::SRgb);
  QImage ramp(256, 3, QImage::Format_RGB32);
  for (int x = 0; x < 256; ++x) {
    ramp.setPixel(x, 0, qRgb(x, 255 - x, x / 2));
    ramp.setPixel(x, 1, qRgb(x, 0, 0));
    ramp.setPixel(x, 2, qRgb(x / 3, x, 200));
  }
  for (const QColorSpace &from : {QColorSpace(QColorSpace::SRgbLinear), QColorSpace(QColorSpace::DisplayP3)}) {
    const ColourConversion c(from, srgb);
    EXPECT_EQ(c.by_tables(), from == QColorSpace(QColorSpace::SRgbLinear)) << "P3 mixes channels";
    QImage ours = ramp;
    c.apply(ours);
    QImage tagged = ramp;
    tagged.setColorSpace(from);
    const QImage qt = tagged.convertedToColorSpace(srgb).convertToFormat(QImage::Format_RGB32);
    int worst = 0;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 256; ++x) {
        const QRgb a = ours.pixel(x, y), b = qt.pixel(x, y);
        worst = std::max(
            {worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
      }
    EXPECT_LE(worst, 1);
  }
}

// Heights of the drawn columns of a grabbed histogram view (non-white pixels per column).
std::vector<int> column_heights(HistoLumView &view) {
  const QImage g = view.grab().toImage();
  std::vector<int> heights(size_t(g.width()), 0);
  for (int x = 0; x < g.width(); ++x)
    for (int y = 0; y < g.height(); ++y)
      if (g.pixel(x, y) != qRgb(255, 255, 255)) ++heights[size_t(x)];
  return heights;
}

QByteArray bins(std::initializer_list<std::pair<int, int32_t>> set) {
  int32_t b[256] = {};
  for (auto [i, v] : set) b[i] = v;
  return QByteArray(reinterpret_cast<const char *>(b), sizeof b);
}

TEST(HistoLumView, ColumnHeightsFollowTheMaximum) {
  dialog_test::ensure_app();
  HistoLumView view;
  view.resize(256, 101);
  view.setHistMax(1000);
  view.setHistoData(bins({{10, 1000}, {20, 10}, {30, 0}, {40, 5000}}));
  const std::vector<int> h = column_heights(view);
  EXPECT_EQ(h[10], 101);
  EXPECT_EQ(h[20], 2);
  EXPECT_EQ(h[30], 0);
  EXPECT_EQ(h[40], 101) << "a bin above the maximum is clipped at the top";
  EXPECT_EQ(h[11], 0);
}

TEST(HistoLumView, ColumnsSampleTheBinsAcrossTheWidth) {
  dialog_test::ensure_app();
  HistoLumView view;
  view.setHistMax(100);
  view.setHistoData(bins({{2, 100}, {3, 100}, {7, 100}}));
  view.resize(128, 50);
  std::vector<int> h = column_heights(view);
  EXPECT_EQ(h[1], 50) << "column 1 shows bin 2";
  EXPECT_EQ(h[3], 0) << "column 3 shows bin 6; bin 7 is never drawn";
  view.resize(512, 50);
  h = column_heights(view);
  EXPECT_EQ(h[4], 50);
  EXPECT_EQ(h[5], 50);
  EXPECT_EQ(h[6], 50);
  EXPECT_EQ(h[7], 50);
  EXPECT_EQ(h[8], 0);
}

TEST(HistoLumView, EmptyOrSwitchedOffViews) {
  dialog_test::ensure_app();
  HistoLumView view;
  view.resize(64, 40);
  view.setHistoData(bins({{0, 10}}));
  const std::vector<int> noMax = column_heights(view);
  EXPECT_EQ(*std::max_element(noMax.begin(), noMax.end()), 0) << "a zero maximum leaves the white background";
  view.setDrawHisto(0);
  view.setHistMax(10);
  const QImage off = view.grab().toImage();
  EXPECT_NE(off.pixel(30, 30), qRgb(255, 255, 255)) << "switched off, not even the background is painted";
}

}  // namespace
