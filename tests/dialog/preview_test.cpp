// SPDX-License-Identifier: MIT
// The preview loop through a real dialog: sizes, the bitmap and its profile, the histograms,
// "Show Original", the failure alerts, and what a float document looks like on screen.
#include <gtest/gtest.h>

#include <QColorSpace>
#include <QCoreApplication>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <vector>

#include <tmlib/tmlib.h>

#include "brightloom/pipeline.h"
#include "support/dialog_host.h"
#include "views/bl_view.h"
#include "views/histo_lum_view.h"

namespace {

using namespace brightloom;
using namespace brightloom::dialog;
using dialog_test::Records;

TEST(PreviewSize, DimensionsOfEachSizeType) {
  struct Case {
    int w, h, type, qvW, qvH;
  } cases[] = {{3000, 2000, 1, 858, 572}, {4000, 1000, 0, 600, 150}, {1000, 3000, 0, 133, 400}};
  for (const Case &c : cases) {
    PreviewDriver d(Document{c.w, c.h, 3, 0, nullptr}, 1, {});
    d.setDimFromSizeType(c.type);
    d.computeDimensions();
    EXPECT_EQ(d._qvW, c.qvW) << c.w << "x" << c.h;
    EXPECT_EQ(d._qvH, c.qvH) << c.w << "x" << c.h;
  }
  PreviewDriver d(Document{300, 200, 3, 0, nullptr}, 1, {});
  d.setDimFromSizeType(8);
  d.setDimFromSizeType(9);
  d.setDimFromSizeType(-1);
  EXPECT_EQ(d._qvDim, 1152) << "types above 8, taken unsigned, change nothing";
  EXPECT_EQ(size_type_from_dim(400), 0);
  EXPECT_EQ(size_type_from_dim(572), 1);
  EXPECT_EQ(size_type_from_dim(1152), 8);
  EXPECT_EQ(size_type_from_dim(500), 0);
}

const HistoLumView *hist(QDialog &d, const char *name) {
  return d.findChild<HistoLumView *>(QString::fromLatin1(name));
}

int64_t total(const QByteArray &bins) {
  if (bins.size() != 1024) return -1;
  const int32_t *b = reinterpret_cast<const int32_t *>(bins.constData());
  return std::accumulate(b, b + 256, int64_t(0));
}

void select_method(QDialog &d, int method) {
  d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(method - 1);
}

TEST(PreviewBitmap, CarriesTheDocumentsProfileUntilACallWithout) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  doc.icc = dialog_test::linear_srgb_profile();
  Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [&](QDialog &, ToneMappingPluginController &c) {
    const BitmapPtr &b = c.tmPreviewRep();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->width, 40);
    EXPECT_EQ(b->height, 400);
    EXPECT_EQ(b->spp, 3);
    EXPECT_STREQ(b->colorSpaceName(), "NSCalibratedRGBColorSpace");
    EXPECT_EQ(b->profile, QByteArray(reinterpret_cast<const char *>(doc.icc.data()), int(doc.icc.size())));
    // Its samples are encoded with the pure 2.2 curve, in the profile's primaries.
    EXPECT_EQ(b->viewImage().colorSpace(),
              QColorSpace::fromIccProfile(b->profile).withTransferFunction(QColorSpace::TransferFunction::Gamma, 2.2f));
  });
  // The next call hands no profile (length 0) although the pointer is still there.
  doc.info.lenProfile = 0;
  Records again;
  again.settings.stickySizeType = 0;
  dialog_test::Document noProfile = doc;
  noProfile.icc.clear();
  dialog_test::call_dialog(noProfile, again, [&](QDialog &, ToneMappingPluginController &c) {
    ASSERT_TRUE(c.tmPreviewRep());
    EXPECT_TRUE(c.tmPreviewRep()->profile.isEmpty());
    EXPECT_TRUE(c.colorSyncProfileData().isEmpty());
    // Without a profile a float document has sRGB primaries (its samples the 2.2 encoding).
    EXPECT_EQ(c.tmPreviewRep()->viewImage().colorSpace(), QColorSpace(QColorSpace::Primaries::SRgb, 2.2f));
  });
}

TEST(PreviewBitmap, GreyDocumentsGiveAGreyBitmapAndOneByteAPixelHistogram) {
  dialog_test::Document doc = dialog_test::u16_document(20, 200, 1);
  Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    const BitmapPtr &b = c.tmPreviewRep();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->spp, 1);
    EXPECT_STREQ(b->colorSpaceName(), "NSCalibratedWhiteColorSpace");
    EXPECT_EQ(b->viewImage().format(), QImage::Format_Grayscale8);
    EXPECT_FALSE(b->viewImage().colorSpace().isValid()) << "no profile, not a float document";
    EXPECT_EQ(total(hist(d, "histView1")->histoData()), int64_t(b->width) * b->height);
  });
}

// 8-bit documents go through the 16-bit path with the 65,536-entry curve: their previews are those
// of a 16-bit document holding the same bytes widened x256, for both methods.
TEST(PreviewBitmap, EightBitDocumentsArePreviewedLikeTheirWidenedSamples) {
  dialog_test::Document bytes = dialog_test::u8_document(20, 200, 3);
  dialog_test::Document widened = bytes;
  widened.info.docType = 1;
  widened.pixels.resize(bytes.pixels.size() * 2);
  for (size_t i = 0; i < bytes.pixels.size(); ++i)
    reinterpret_cast<uint16_t *>(widened.pixels.data())[i] = uint16_t(bytes.pixels[i] * 256);
  std::vector<unsigned char> previews[2][2];
  dialog_test::Document *docs[2] = {&bytes, &widened};
  for (int k = 0; k < 2; ++k) {
    Records r;
    r.settings.stickySizeType = 0;
    dialog_test::call_dialog(*docs[k], r, [&](QDialog &d, ToneMappingPluginController &c) {
      for (int method = 1; method <= 2; ++method) {
        select_method(d, method);
        ASSERT_TRUE(c.tmPreviewRep());
        const Buffer &px = c.tmPreviewRep()->pixels;
        previews[k][method - 1].assign(px.data(), px.data() + px.size());
      }
    });
  }
  for (int m = 0; m < 2; ++m) {
    ASSERT_FALSE(previews[0][m].empty());
    EXPECT_EQ(previews[0][m], previews[1][m]) << "method " << m + 1;
    const double mean = std::accumulate(previews[0][m].begin(), previews[0][m].end(), 0.0) / previews[0][m].size();
    EXPECT_GT(mean, 20.0);
    EXPECT_LT(mean, 235.0);
  }
}

TEST(PreviewHistogram, EachMethodsViewShowsItsOwnPreview) {
  dialog_test::Document doc = dialog_test::u16_document(20, 200, 3);
  Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    const QByteArray details = hist(d, "histView1")->histoData();
    EXPECT_EQ(total(details), 40 * 400);
    EXPECT_TRUE(hist(d, "histView2")->histoData().isEmpty());

    select_method(d, 2);
    ASSERT_EQ(c.curMethod(), 2);
    const BitmapPtr b = c.tmPreviewRep();
    ASSERT_TRUE(b);
    int32_t expected[256];
    histo4preview(b->width, b->height, b->spp, b->pixels.data(), expected);
    EXPECT_EQ(hist(d, "histView2")->histoData(), QByteArray(reinterpret_cast<const char *>(expected), 1024));
    EXPECT_EQ(hist(d, "histView2")->histMax(), getHistoMax(expected));
    EXPECT_EQ(hist(d, "histView1")->histoData(), details) << "the other method's view is left alone";
  });
}

// A runner that fails with a chosen code, and one that counts the runs.
int failWith = 0;
int runs = 0;
pipeline::Outcome failing(pipeline::Source &, const pipeline::Request &) {
  pipeline::Outcome o;
  o.code = failWith;
  return o;
}
pipeline::Outcome counting(pipeline::Source &s, const pipeline::Request &r) {
  ++runs;
  return pipeline::run(s, r);
}

TEST(PreviewFailure, OneAlertWithItsTextAndTheOldPreviewStays) {
  const struct {
    int code;
    const char *text;
  } cases[] = {{-2, "Calculation Tone Mapping preview failed in calc_tm2.\r\n\r\n"},
               {-4, "Insufficient memory to generate tone mapping preview.\r\n\r\n"},
               {-101, "Error when generating tone mapping preview.\r\n\r\n"}};
  for (const auto &k : cases) {
    dialog_test::RecordingServices alerts;
    dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
    Records r;
    r.settings.stickySizeType = 0;
    dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
      ASSERT_TRUE(alerts.messages.empty());
      const BitmapPtr before = c.tmPreviewRep();
      const qint64 shown = d.findChild<BLView *>(QStringLiteral("_previewView"))->previewImage().cacheKey();
      const QByteArray histogram = hist(d, "histView2")->histoData();
      failWith = k.code;
      c.driver().runner = &failing;
      select_method(d, 2);  // a refresh of the Tone Compressor
      ASSERT_EQ(alerts.messages.size(), 1u) << k.code;
      EXPECT_EQ(alerts.messages[0], QString::fromLatin1(k.text));
      EXPECT_EQ(alerts.titles[0], QStringLiteral("Error"));
      EXPECT_EQ(alerts.buttons[0], QStringLiteral("OK"));
      EXPECT_EQ(c.tmPreviewRep(), before);
      EXPECT_EQ(d.findChild<BLView *>(QStringLiteral("_previewView"))->previewImage().cacheKey(), shown);
      EXPECT_EQ(hist(d, "histView2")->histoData(), histogram);
    });
  }
}

TEST(PreviewFailure, APreviewTooSmallForTheDetailsEnhancerIsReportedNotReadAsSizes) {
  dialog_test::RecordingServices alerts;
  dialog_test::Document doc = dialog_test::float_document(4000, 40, 3);  // 600 x 6 at size type 0
  Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    ASSERT_EQ(alerts.messages.size(), 1u);
    EXPECT_TRUE(alerts.messages[0].contains(QStringLiteral("too small"))) << alerts.messages[0].toStdString();
    EXPECT_FALSE(c.tmPreviewRep());
    select_method(d, 2);  // the Tone Compressor has no such limit
    EXPECT_EQ(alerts.messages.size(), 1u);
    ASSERT_TRUE(c.tmPreviewRep());
    EXPECT_EQ(c.tmPreviewRep()->height, 6);
  });
}

TEST(PreviewSize, ARefusedSizeKeepsThePreviewAndTheStepperShowsTheSizeInUse) {
  dialog_test::RecordingServices alerts;
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  doc.info.spp = 0;  // a source the extraction refuses, from the first cut on
  Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    ASSERT_EQ(alerts.messages.size(), 1u);
    EXPECT_EQ(alerts.messages[0], QStringLiteral("Error while generating initial preview - error code: -1"));
    auto *stepper = d.findChild<QSpinBox *>(QStringLiteral("stpPreviewSize"));
    stepper->setValue(2);
    ASSERT_EQ(alerts.messages.size(), 2u);
    EXPECT_EQ(alerts.messages[1], QStringLiteral("Error while generating preview - error code: -1"));
    EXPECT_EQ(c.sizeTypeFromDim(), 0);
    EXPECT_EQ(stepper->value(), 0);
    dialog_test::click(d, "_cancelButton");
  });
  EXPECT_EQ(r.settings.stickySizeType, 0);
}

// A document so long and thin that the preview rounds to no row: the first preview's alert, as
// for any preview too thin for its statistics, and the defaults handed back on OK.
TEST(PreviewSize, ADocumentTooThinForAnyPreviewGetsTheAlertAndTheDefaults) {
  dialog_test::RecordingServices alerts;
  dialog_test::Document doc = dialog_test::float_document(20000, 12, 3);
  Records r;
  r.settings.stickySizeType = 0;
  const int result = dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    ASSERT_EQ(alerts.messages.size(), 1u);
    EXPECT_EQ(alerts.messages[0], QStringLiteral("Error while generating initial preview - error code: -1"));
    EXPECT_EQ(c.values()._valForce, 70);
    dialog_test::click(d, "_doneButton");
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(r.settings.method, 1);
  EXPECT_EQ(r.tm[TMLIB_DE_STRENGTH], 70.0f);
  EXPECT_EQ(r.tm[TMLIB_DE_GAMMA], 50.0f);
}

// Statistics that cannot be taken are reported as -1, whatever made them fail: -4 is the
// source itself not being allocated.
TEST(PreviewSize, StatisticsThatCannotBeTakenAreReportedAsMinusOne) {
  dialog_test::RecordingServices alerts;
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    ASSERT_TRUE(alerts.messages.empty());
    c.driver().statistics = [](const pipeline::Source &, float *) { return int(TMLIB_ERR_NO_MEMORY); };
    d.findChild<QSpinBox *>(QStringLiteral("stpPreviewSize"))->setValue(1);
    ASSERT_EQ(alerts.messages.size(), 1u);
    EXPECT_EQ(alerts.messages[0], QStringLiteral("Error while generating preview - error code: -1"));
    EXPECT_EQ(c.sizeTypeFromDim(), 0);
  });
}

// The bytes of the "Show Original" bitmap, with the dialog switched back afterwards.
struct Original {
  BitmapPtr bitmap;
  bool okEnabled = true, detailsEnabled = true, compressorEnabled = false, stepperEnabled = true;
  bool restoredWithoutRun = false;
};
Original show_original(dialog_test::Document &doc) {
  Original o;
  Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    const BitmapPtr preview = c.tmPreviewRep();
    c.driver().runner = &counting;
    runs = 0;
    auto *button = d.findChild<QPushButton *>(QStringLiteral("btnPreview"));
    button->click();
    o.bitmap = c.tmPreviewRep();
    o.okEnabled = d.findChild<QWidget *>(QStringLiteral("_doneButton"))->isEnabled();
    o.detailsEnabled = d.findChild<QWidget *>(QStringLiteral("sldStrength"))->isEnabled();
    o.compressorEnabled = d.findChild<QWidget *>(QStringLiteral("sldBrightness"))->isEnabled();
    o.stepperEnabled = d.findChild<QWidget *>(QStringLiteral("stpPreviewSize"))->isEnabled();
    // With the original shown, a change computes nothing.
    d.findChild<QSlider *>(QStringLiteral("sldBrightness"))->setValue(30);
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    button->click();
    o.restoredWithoutRun =
        runs == 0 && c.tmPreviewRep() == preview && button->text() == QStringLiteral("Show Original");
  });
  return o;
}

TEST(ShowOriginal, SixteenBitSamplesShiftedAndThePreviewRestoredWithoutRecomputing) {
  dialog_test::Document doc = dialog_test::u16_document(20, 200, 3);
  const Original o = show_original(doc);
  ASSERT_TRUE(o.bitmap);
  pipeline::Source src;
  ASSERT_GT(pipeline::make_source(1, 20, 200, 3, 60, doc.pixels.data(), 40, 400, src), 0);
  const uint16_t *s = src.pixels.as<uint16_t>();
  for (size_t i = 0; i < o.bitmap->pixels.size(); ++i)
    ASSERT_EQ(o.bitmap->pixels.data()[i], std::min(s[i] >> 7, 255)) << i;
  EXPECT_FALSE(o.okEnabled);
  EXPECT_FALSE(o.detailsEnabled);
  EXPECT_TRUE(o.compressorEnabled);
  EXPECT_FALSE(o.stepperEnabled);
  EXPECT_TRUE(o.restoredWithoutRun);
}

TEST(ShowOriginal, EightBitDocumentsShowTheirOwnBytes) {
  dialog_test::Document doc = dialog_test::u8_document(20, 200, 3);
  std::fill(doc.pixels.begin(), doc.pixels.end(), 200);
  const Original o = show_original(doc);
  ASSERT_TRUE(o.bitmap);
  for (size_t i = 0; i < o.bitmap->pixels.size(); ++i) ASSERT_EQ(o.bitmap->pixels.data()[i], 200) << i;
}

TEST(ShowOriginal, FloatDocumentsKeepTheirOwnLayoutForEverySpp) {
  for (const int spp : {1, 4}) {
    dialog_test::Document doc = dialog_test::float_document(20, 200, spp);
    float *f = reinterpret_cast<float *>(doc.pixels.data());
    for (size_t i = 0; i < doc.pixels.size() / 4; ++i) f[i] = (spp == 4 && i % 4 == 2) ? 0.0f : 0.05f;
    const Original o = show_original(doc);
    ASSERT_TRUE(o.bitmap);
    ASSERT_EQ(o.bitmap->pixels.size(), size_t(40) * 400 * spp);
    const unsigned char *p = o.bitmap->pixels.data();
    ASSERT_GT(p[0], 0);
    for (size_t px = 0; px < size_t(40) * 400; ++px) {
      const unsigned char *q = p + px * spp;
      ASSERT_EQ(q[0], p[0]) << "spp " << spp << " pixel " << px;
      if (spp == 4) {
        ASSERT_EQ(q[1], p[0]);
        ASSERT_EQ(q[2], 0) << "the extra channel stays empty";
        ASSERT_EQ(q[3], p[0]);
      }
    }
  }
}

// A method chosen while the original is shown takes effect when the preview comes back: one
// computation for that method, and OK then returns that method's settings.
TEST(ShowOriginal, AMethodChosenMeanwhileIsPreviewedOnReturn) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    const BitmapPtr details = c.tmPreviewRep();
    d.findChild<QSlider *>(QStringLiteral("sldBrightness"))->setValue(25);
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    c.driver().runner = &counting;
    runs = 0;
    auto *button = d.findChild<QPushButton *>(QStringLiteral("btnPreview"));
    button->click();
    select_method(d, 2);
    EXPECT_EQ(runs, 0) << "the switch itself computes nothing";
    button->click();
    EXPECT_EQ(runs, 1);
    ASSERT_TRUE(c.tmPreviewRep());
    EXPECT_NE(c.tmPreviewRep(), details);
    EXPECT_EQ(c.previousParam()->method, 2);
    dialog_test::click(d, "_doneButton");
  });
  EXPECT_EQ(r.settings.method, 2);
  EXPECT_EQ(r.tm[TMLIB_TC_BRIGHTNESS], 2.5f);
  EXPECT_EQ(r.tm[TMLIB_DE_STRENGTH], 0.0f) << "slot 1 of the Tone Compressor, not the Details Enhancer's Strength";
}

// Mean sRGB level of a grabbed widget's pixels inside r.
double mean_level(const QImage &g, QRect r) {
  double sum = 0;
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) {
      const QRgb p = g.pixel(x, y);
      sum += 0.2126 * qRed(p) + 0.7152 * qGreen(p) + 0.0722 * qBlue(p);
    }
  return sum / double(r.width() * r.height());
}

double srgb_level(double linear) {
  linear = std::clamp(linear, 0.0, 1.0);
  const double e = linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
  return 255.0 * e;
}

TEST(FloatPreview, OnScreenItIsAsBrightAsTheWrittenPicture) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  doc.icc = dialog_test::linear_srgb_profile();
  Records r;
  r.settings.stickySizeType = 0;
  double onScreen = 0;
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    auto *view = d.findChild<BLView *>(QStringLiteral("_previewView"));
    const BitmapPtr b = c.tmPreviewRep();
    ASSERT_TRUE(b);
    const NSRect at = BLView::drawingRect({float(b->width), float(b->height)},
                                          NSRect{{0, 0}, {float(view->width()), float(view->height())}});
    ASSERT_EQ(at.size.width, 40.0f) << "drawn at its own size";
    const QRect area(int(at.origin.x), view->height() - int(at.origin.y) - 400, 40, 400);
    onScreen = mean_level(view->grab().toImage(), area);
  });
  // The host writes the same first preview's parameters from 16-bit results encoded to sRGB.
  pipeline::Source src;
  ASSERT_GT(pipeline::make_source(10, 20, 200, 3, 60, doc.pixels.data(), 40, 400, src), 0);
  float param[20];
  tmparam_default(1, 0, param);
  pipeline::Carry carry;
  pipeline::Request req;
  req.param = param;
  req.out_bits = 16;
  req.carry = &carry;
  pipeline::Outcome out = pipeline::run(src, req);
  ASSERT_TRUE(out.ok());
  double written = 0;
  const uint16_t *p = out.pixels.as<uint16_t>();
  for (int i = 0; i < 40 * 400; ++i)
    written += 0.2126 * srgb_level(p[3 * i] / 65535.0) + 0.7152 * srgb_level(p[3 * i + 1] / 65535.0) +
               0.0722 * srgb_level(p[3 * i + 2] / 65535.0);
  written /= 40 * 400;
  EXPECT_NEAR(onScreen, written, 3.0);
}

// The shadows of a float document's preview, pixel by pixel on screen, against the 8-bit picture
// written from the same preview-sized result (Details Enhancer: 16-bit linear encoded with 1/2.2;
// Tone Compressor: its own result), decoded through its pure 2.2 profile; the histogram stays the
// one of the linear 8-bit result.
TEST(FloatPreview, ShadowsOnScreenMatchTheWrittenPictureAndTheHistogramStays) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  // Dusk: the ground ten stops further down, far below 1/255 of the sky.
  float *f = reinterpret_cast<float *>(doc.pixels.data());
  for (size_t i = doc.pixels.size() / 4 / 3; i < doc.pixels.size() / 4; ++i) f[i] *= 1.0f / 1024.0f;
  doc.icc = dialog_test::linear_srgb_profile();
  pipeline::Source src;
  ASSERT_GT(pipeline::make_source(10, 20, 200, 3, 60, doc.pixels.data(), 40, 400, src), 0);
  const int n = 40 * 400;

  struct Grab {
    QImage screen;
    QRect area;
    QByteArray histogram;
  };
  Grab grabs[2];
  Records r;
  r.settings.stickySizeType = 0;
  int workers = 1;  // the solve's sums depend on the split
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    workers = c.driver().workers;
    auto *view = d.findChild<BLView *>(QStringLiteral("_previewView"));
    for (int method : {1, 2}) {
      select_method(d, method);
      const NSRect at =
          BLView::drawingRect({40.0f, 400.0f}, NSRect{{0, 0}, {float(view->width()), float(view->height())}});
      grabs[method - 1] = {view->grab().toImage(),
                           QRect(int(at.origin.x), view->height() - int(at.origin.y) - 400, 40, 400),
                           hist(d, method == 1 ? "histView1" : "histView2")->histoData()};
    }
  });

  for (int method : {1, 2}) {
    SCOPED_TRACE(method == 1 ? "Details Enhancer" : "Tone Compressor");
    float param[20];
    tmparam_default(method, 0, param);
    pipeline::Request req;
    req.method = method == 1 ? pipeline::Method::Details : pipeline::Method::Compressor;
    req.param = param;
    req.workers = workers;
    // The 8-bit picture as the program writes it.
    std::vector<double> written(size_t(n) * 3);
    pipeline::Carry carry16;
    req.carry = &carry16;
    req.out_bits = method == 1 ? 16 : 8;
    req.tone_compressor_display_power = false;
    pipeline::Outcome pic = pipeline::run(src, req);
    ASSERT_TRUE(pic.ok());
    for (size_t i = 0; i < written.size(); ++i) {
      const double byte = method == 1 ? std::lround(std::pow(pic.pixels.as<uint16_t>()[i] / 65535.0, 1 / 2.2) * 255.0)
                                      : pic.pixels.data()[i];
      written[i] = srgb_level(std::pow(byte / 255.0, 2.2));
    }
    // The darkest third of the picture, by the written green.
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return written[3 * a + 1] < written[3 * b + 1]; });
    const Grab &g = grabs[method - 1];
    double worst = 0;
    for (int k = 0; k < n / 3; ++k) {
      const int i = order[size_t(k)];
      const QRgb p = g.screen.pixel(g.area.left() + i % 40, g.area.top() + i / 40);
      const int shown[3] = {qRed(p), qGreen(p), qBlue(p)};
      for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(shown[c] - written[3 * size_t(i) + c]));
    }
    EXPECT_LE(worst, 2.0);
    // The Details Enhancer lifts the ground; the Tone Compressor leaves it in deep shadow.
    if (method == 2) {
      EXPECT_LT(written[3 * size_t(order[size_t(n / 3)]) + 1], 40.0) << "the scene has shadows";
    }

    // The histogram of the linear 8-bit result through the 1/2.2 table, as before.
    pipeline::Carry carry8;
    req.carry = &carry8;
    req.out_bits = 8;
    req.tone_compressor_display_power = true;
    pipeline::Outcome linear = pipeline::run(src, req);
    ASSERT_TRUE(linear.ok());
    unsigned char *b = linear.pixels.data();
    for (int i = 0; i < 3 * n; ++i) {
      const int v = int(std::pow(double(float(b[i]) * 0.00390625f), double(0.4545454680919647f)) * 256.0);
      b[i] = (unsigned char)std::clamp(v, 0, 255);
    }
    std::array<int32_t, 256> counts{};
    ASSERT_GE(histo4preview(40, 400, 3, b, counts.data()), 0);
    EXPECT_EQ(g.histogram, QByteArray(reinterpret_cast<const char *>(counts.data()), int(sizeof counts)));
  }
}

}  // namespace
