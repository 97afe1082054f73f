// SPDX-License-Identifier: MIT
// The host's side of the dialog: DoCocoaUI's call state, what OK and Cancel write back, the
// host record taken over or not, and the window frame.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QScrollArea>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTabWidget>
#include <QTimer>

#include <cmath>
#include <limits>

#include <tmlib/tmlib.h>

#include "call_state.h"
#include "support/dialog_host.h"

namespace {

using namespace brightloom::dialog;
using dialog_test::Records;

HostImageInfo info(int w, int h) { return HostImageInfo{w, h, 3, 0, {0, 0}, 0}; }

TEST(CallState, StickySizeTypeIsTakenOnlyFromZeroToEight) {
  CallState s;
  HostImageInfo i = info(100, 100);
  float tm[20] = {};
  UserSettings u{1, 9, 0, 0, 0, 0, 0};
  take_call(s, i, tm, &u, nullptr, nullptr);
  EXPECT_EQ(s._prefSizeType, 1) << "9 is refused; the first call keeps 1";
  u.stickySizeType = 0;
  take_call(s, i, tm, &u, nullptr, nullptr);
  EXPECT_EQ(s._prefSizeType, 0);
  u.stickySizeType = -1;
  take_call(s, i, tm, &u, nullptr, nullptr);
  EXPECT_EQ(s._prefSizeType, 0) << "-1 is refused (compared unsigned); the previous call's type survives";
  u.stickySizeType = 8;
  take_call(s, i, tm, &u, nullptr, nullptr);
  EXPECT_EQ(s._prefSizeType, 8);
}

TEST(CallState, AProfileIsForgottenByACallWithoutOne) {
  CallState s;
  const unsigned char profile[3144] = {1, 2, 3};
  float tm[20] = {};
  UserSettings u{};
  HostImageInfo i = info(100, 100);
  i.lenProfile = 3144;
  take_call(s, i, tm, &u, profile, nullptr);
  EXPECT_EQ(s._lenProfile, 3144);
  EXPECT_EQ(s._ptrIccProfile, profile);
  i.lenProfile = 0;
  take_call(s, i, tm, &u, profile, nullptr);
  EXPECT_EQ(s._lenProfile, 0);
  EXPECT_EQ(s._ptrIccProfile, nullptr);
  i.lenProfile = 100;  // a length without bytes is no profile either
  take_call(s, i, tm, &u, nullptr, nullptr);
  EXPECT_EQ(s._lenProfile, 0);
}

// The store init builds from the host's record, for each of the rules on that record.
const SettingsStore *store_for(const std::array<float, 20> &hostRecord, int method, Records &r,
                               std::unique_ptr<ToneMappingPluginController> &keep) {
  dialog_test::ensure_app();
  r.tm = hostRecord;
  r.settings.method = method;
  HostImageInfo i = info(300, 200);
  take_call(call_state(), i, r.tm.data(), &r.settings, nullptr, nullptr);
  keep = std::make_unique<ToneMappingPluginController>();
  return keep->tmSettingsDico();
}

TEST(HostRecord, TakenOverOnlyWhenPlausibleAndConfirmedWithDetailsEnhancer) {
  std::array<float, 20> defaults1{}, defaults2{};
  tmparam_default(1, 0, defaults1.data());
  tmparam_default(2, 0, defaults2.data());
  std::array<float, 20> valid = defaults1;
  valid[1] = 55;

  struct Case {
    const char *what;
    std::array<float, 20> record;
    int method;
    bool taken;
  };
  std::array<float, 20> high = valid, low = valid, zeros{}, one{}, nan = valid;
  high[4] = 151;
  low[4] = -11;
  one[1] = 80;
  nan[7] = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {"a valid record of method 1", valid, 1, true},
      {"a slot at 151", high, 1, false},
      {"a slot at -11", low, 1, false},
      {"a NaN slot", nan, 1, false},
      {"twenty zeros", zeros, 1, false},
      {"one non-zero slot", one, 1, true},
      {"a valid record confirmed with method 2", valid, 2, false},
  };
  for (const Case &c : cases) {
    Records r;
    std::unique_ptr<ToneMappingPluginController> controller;
    const SettingsStore *store = store_for(c.record, c.method, r, controller);
    ASSERT_NE(store, nullptr);
    ASSERT_NE(store->record(1), nullptr);
    ASSERT_NE(store->record(2), nullptr);
    EXPECT_EQ(*store->record(1), c.taken ? c.record : defaults1) << c.what;
    EXPECT_EQ(*store->record(2), defaults2) << c.what;
  }
}

TEST(Lifecycle, ProcessorCountIsClampedToThirtyTwo) {
  EXPECT_EQ(clamp_processor_count(64), 32);
  EXPECT_EQ(clamp_processor_count(8), 8);
  EXPECT_EQ(clamp_processor_count(-3), 0);
}

TEST(WindowFrame, StoredTruncatedAndRestoredOnlyWhenLargeEnough) {
  UserSettings u{};
  store_frame(u, 10.7, 20.2, 150.9, 90.2);
  EXPECT_EQ(u.winX, 10);
  EXPECT_EQ(u.winY, 20);
  EXPECT_EQ(u.winWidth, 150);
  EXPECT_EQ(u.winHeight, 90);
  EXPECT_FALSE(frame_is_restorable(u));
  EXPECT_TRUE(frame_is_restorable(UserSettings{1, 1, 0, 30, 40, 201, 101}));
  EXPECT_FALSE(frame_is_restorable(UserSettings{1, 1, 0, 30, 40, 200, 400}));
  EXPECT_FALSE(frame_is_restorable(UserSettings{1, 1, 0, 0, 40, 900, 700}));
}

// A dialog whose frame is restored comes up where the host's settings put it; Cancel writes the
// frame it has back.
TEST(WindowFrame, RestoredFrameComesBackOnCancel) {
  for (const bool large : {true, false}) {
    dialog_test::Document doc = dialog_test::float_document(20, 200, 3);  // previewed at 40 x 400
    Records r;
    r.settings = UserSettings{1, 0, 0, 30, 40, large ? 901 : 200, large ? 701 : 400};
    QRect seen;
    dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &) {
      seen = QRect(d.frameGeometry().topLeft(), d.size());
    });
    EXPECT_EQ(QRect(r.settings.winX, r.settings.winY, r.settings.winWidth, r.settings.winHeight), seen);
    if (large)
      EXPECT_EQ(seen, QRect(30, 40, 901, 701));
    else
      EXPECT_NE(seen.size(), QSize(200, 400)) << "200 x 400 is not restored";
  }
}

TEST(OkAndCancel, CancelLeavesTheParametersButWritesSizeAndFrame) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);  // previewed at 40 x 400
  Records r;
  r.tm.fill(5.0f);
  r.settings = UserSettings{1, 1, 0, 0, 0, 0, 0};  // size type 1: 57 x 572
  const std::array<float, 20> before = r.tm;
  const int code = dialog_test::call_dialog(doc, r, [](QDialog &d, ToneMappingPluginController &) {
    d.findChild<QSpinBox *>(QStringLiteral("stpPreviewSize"))->setValue(0);
    d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(1);
    dialog_test::click(d, "_cancelButton");
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(r.tm, before);
  EXPECT_EQ(r.settings.method, 1);
  EXPECT_EQ(r.settings.stickySizeType, 0);
  EXPECT_GT(r.settings.winWidth, 0);
  EXPECT_GT(r.settings.winHeight, 0);
}

TEST(OkAndCancel, OkOnToneCompressorWritesItsHalfOfTheSnapshot) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);  // previewed at 40 x 400
  Records r;
  r.tm.fill(5.0f);
  r.settings = UserSettings{1, 0, 0, 0, 0, 0, 0};
  std::array<float, 40> snapshot{};
  const int code = dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(1);
    ASSERT_TRUE(c.previousParam().has_value());
    snapshot = c.previousParam()->param;
    dialog_test::click(d, "_doneButton");
  });
  EXPECT_EQ(code, 1);
  EXPECT_EQ(r.settings.method, 2);
  EXPECT_EQ(r.settings.stickySizeType, 0);
  std::array<float, 20> expected{};
  std::copy(snapshot.begin() + 20, snapshot.end(), expected.begin());
  EXPECT_EQ(r.tm, expected) << "all 20 slots come from floats 20..39";
  std::array<float, 20> compressorDefaults{};
  tmparam_default(2, 0, compressorDefaults.data());
  EXPECT_EQ(r.tm, compressorDefaults);
}

TEST(OkAndCancel, OkOnDetailsEnhancerReturnsTheHostRecordItTookOver) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);  // previewed at 40 x 400
  Records r;
  tmparam_default(1, 0, r.tm.data());
  r.tm[1] = 55;  // Strength
  r.tm[15] = 1;  // 360-degree image
  r.tm[16] = 0;  // five smoothing levels
  r.tm[5] = 3;   // level "Low"
  const std::array<float, 20> sent = r.tm;
  EXPECT_EQ(dialog_test::call_dialog(
                doc, r, [](QDialog &d, ToneMappingPluginController &) { dialog_test::click(d, "_doneButton"); }),
            1);
  EXPECT_EQ(r.tm, sent) << "the controls took every slot and gave it back";
  EXPECT_EQ(r.settings.method, 1);
}

TEST(Lifecycle, TheFormHoldsEveryOutletUnderItsName) {
  static const char *const outlets[] = {
      "_previewView",   "histView1",      "histView2",     "btnPreview",     "stpPreviewSize", "lblPreviewSize",
      "txtRefresh",     "cmbPreset",      "btnUndo",       "btnRedo",        "_doneButton",    "_cancelButton",
      "btnHelp",        "scrollView",     "tabMethod",     "boxTone",        "boxColor",       "boxSmoothing",
      "btnTone",        "btnColor",       "btnSmoothing",  "disclTone",      "disclColor",     "disclSmoothing",
      "btnSmoothingVH", "btnSmoothingH",  "btnSmoothingM", "btnSmoothingL",  "btnSmoothingVL", "chkCont",
      "chkPano",        "sldStrength",    "txtStrength",   "sldSaturation",  "txtCS",          "sldDRI",
      "txtDRI",         "sldWP",          "txtWP",         "sldBP",          "txtBP",          "sldMC",
      "txtMC",          "sldSmooth2",     "txtSmooth2",    "sldGamma",       "txtGamma",       "sldHL",
      "txtHL",          "sldShS",         "txtShS",        "sldShC",         "txtShC",         "sldColorTemp",
      "txtColorTemp",   "sldSatHL",       "txtSatHL",      "sldSatSH",       "txtSatSH",       "sldSmoothingCont",
      "txtSmoothing",   "sldBrightness",  "txtBrightness", "sldCompression", "txtCompression", "sldContrast",
      "txtContrast",    "sldWP2",         "txtWP2",        "sldBP2",         "txtBP2",         "sldColorTemp2",
      "txtColorTemp2",  "sldSaturation2", "txtSaturation2"};
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  Records r;
  r.settings.stickySizeType = 0;
  std::vector<std::string> missing;
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &) {
    for (const char *name : outlets)
      if (d.findChild<QWidget *>(QString::fromLatin1(name)) == nullptr) missing.push_back(name);
    // The control panel scrolls vertically, with the tab view as its document.
    auto *scroll = d.findChild<QScrollArea *>(QStringLiteral("scrollView"));
    ASSERT_NE(scroll, nullptr);
    EXPECT_EQ(scroll->widget(), d.findChild<QWidget *>(QStringLiteral("tabMethod")));
    EXPECT_EQ(scroll->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  });
  EXPECT_TRUE(missing.empty()) << testing::PrintToString(missing);
}

TEST(Lifecycle, HelpOpensThePageShippedBesideTheLibrary) {
  dialog_test::RecordingServices services;
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [](QDialog &d, ToneMappingPluginController &) { dialog_test::click(d, "btnHelp"); });
  ASSERT_EQ(services.opened.size(), 1u);
  const QString page = services.opened[0].toLocalFile();
  EXPECT_TRUE(page.endsWith(QStringLiteral("share/brightloom/help/Help.html"))) << page.toStdString();
  EXPECT_TRUE(QFileInfo::exists(page));
}

TEST(PresetMenu, ListsTheCurrentMethodsPresetsOnly) {
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toLocal8Bit());
  qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit());
  const QString presets = home.filePath(QStringLiteral("data/Brightloom/Presets"));
  ASSERT_TRUE(QDir().mkpath(presets));
  float details[20], compressor[20];
  tmparam_default(1, 0, details);
  tmparam_default(2, 0, compressor);
  ASSERT_GT(write_xmp(QFile::encodeName(presets + QStringLiteral("/Evening.XMP")).constData(), 1, details), 0);
  ASSERT_GT(write_xmp(QFile::encodeName(presets + QStringLiteral("/Flat.xmp")).constData(), 2, compressor), 0);
  ASSERT_GT(write_xmp(QFile::encodeName(presets + QStringLiteral("/Notes.txt")).constData(), 1, details), 0);

  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  Records r;
  r.settings.stickySizeType = 0;
  std::vector<QString> first, second;
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &) {
    first = dialog_test::preset_menu(d);
    d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(1);
    second = dialog_test::preset_menu(d);
  });
  const std::vector<QString> expectedFirst = {"Default",
                                              "-",
                                              "Natural",
                                              "Smooth Skies",
                                              "Painterly",
                                              "Grunge",
                                              "-",
                                              "Evening",
                                              "-",
                                              "Load Settings...",
                                              "Save Settings...",
                                              "-",
                                              "Delete Settings..."};
  EXPECT_EQ(first, expectedFirst);
  // The Tone Compressor's menu, marked "Custom" by the refresh that follows the switch.
  const std::vector<QString> expectedSecond = {
      "Custom", "Default", "-", "Flat", "-", "Load Settings...", "Save Settings...", "-", "Delete Settings..."};
  EXPECT_EQ(second, expectedSecond);
}

}  // namespace
