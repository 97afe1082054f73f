// SPDX-License-Identifier: MIT
// The parameter controls, undo and redo, driven through the dialog's widgets as a user drives
// them: slider moves, typed values, clicks; the preview runs are counted.
#include <gtest/gtest.h>

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSlider>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>

#include <tmlib/tmlib.h>

#include "brightloom/pipeline.h"
#include "support/dialog_host.h"

namespace {

using namespace brightloom;
using namespace brightloom::dialog;
using dialog_test::Records;

int runs = 0;
pipeline::Outcome counting(pipeline::Source &s, const pipeline::Request &r) {
  ++runs;
  return pipeline::run(s, r);
}

QString text(QDialog &d, const char *name) { return d.findChild<QLineEdit *>(QString::fromLatin1(name))->text(); }
int position(QDialog &d, const char *name) { return d.findChild<QSlider *>(QString::fromLatin1(name))->value(); }

// Opens a small float document and runs `drive` with preview runs counted from then on.
Records with_dialog(const dialog_test::Drive &drive, int width = 20) {
  dialog_test::RecordingServices alerts;
  dialog_test::Document doc = dialog_test::float_document(width, 200, 3);
  Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    c.driver().runner = &counting;
    runs = 0;
    drive(d, c);
  });
  for (const QString &m : alerts.messages) ADD_FAILURE() << m.toStdString();
  return r;
}

TEST(TypedValues, AreClampedToTheFieldsRange) {
  with_dialog([](QDialog &d, ToneMappingPluginController &c) {
    dialog_test::type_into(d, "txtStrength", QStringLiteral("0"));
    EXPECT_EQ(text(d, "txtStrength"), QStringLiteral("1"));
    EXPECT_EQ(c.values()._valForce, 1);
    EXPECT_EQ(position(d, "sldStrength"), 10);
    dialog_test::type_into(d, "txtStrength", QStringLiteral("150"));
    EXPECT_EQ(text(d, "txtStrength"), QStringLiteral("100"));
    EXPECT_EQ(c.values()._valForce, 100);

    dialog_test::type_into(d, "txtSmooth2", QStringLiteral("12"));
    EXPECT_EQ(c.values()._valNS, 12.0f);
    dialog_test::type_into(d, "txtSmooth2", QStringLiteral("-3"));
    EXPECT_EQ(c.values()._valNS, 0.0f);
    EXPECT_EQ(text(d, "txtSmooth2"), QStringLiteral("0.0"));
    dialog_test::type_into(d, "txtSmooth2", QStringLiteral("31"));
    EXPECT_EQ(c.values()._valNS, 30.0f);
    // The whole part is what is clamped: 10.7 stands in a -10..10 field.
    dialog_test::type_into(d, "txtDRI", QStringLiteral("10.7"));
    EXPECT_EQ(c.values()._valLum, 10.7f);

    dialog_test::type_into(d, "txtWP", QStringLiteral("11"));
    EXPECT_EQ(text(d, "txtWP"), QStringLiteral("10"));
    EXPECT_EQ(c.values()._valWP, 10.0f);
    EXPECT_EQ(position(d, "sldWP"), 100);

    dialog_test::type_into(d, "txtGamma", QStringLiteral("1.0"));
    EXPECT_EQ(c.values()._valGamma, 50.0f);
    EXPECT_EQ(position(d, "sldGamma"), 500);
    dialog_test::type_into(d, "txtGamma", QStringLiteral("0.1"));
    EXPECT_EQ(text(d, "txtGamma"), QStringLiteral("0.25"));
    EXPECT_FLOAT_EQ(c.values()._valGamma, 150.0f);
    EXPECT_EQ(position(d, "sldGamma"), 1500);
    EXPECT_EQ(runs, 8) << "one preview per changed value";
  });
}

// The user's locale for one dialog, as QLocale() reports it to the bundle.
struct UserLocale {
  explicit UserLocale(const QLocale &locale) { QLocale::setDefault(locale); }
  ~UserLocale() { QLocale::setDefault(QLocale::system()); }
};

// A decimal comma is read where the user's locale has one, the dialog's own point everywhere;
// what neither reads is refused and the field shows the value in force again.
TEST(TypedValues, ReadInTheUsersLocaleOrTheDialogsOwnAndRefusedOtherwise) {
  {
    const UserLocale german(QLocale(QLocale::German, QLocale::Germany));
    with_dialog([](QDialog &d, ToneMappingPluginController &c) {
      dialog_test::type_into(d, "txtDRI", QStringLiteral("2,5"));
      EXPECT_EQ(c.values()._valLum, 2.5f);
      dialog_test::type_into(d, "txtWP", QStringLiteral("0,5"));
      EXPECT_EQ(c.values()._valWP, 0.5f);
      dialog_test::type_into(d, "txtDRI", QStringLiteral("1.5"));
      EXPECT_EQ(c.values()._valLum, 1.5f);
      // "1.000" is one in the dialog's own notation, never a German thousand.
      dialog_test::type_into(d, "txtGamma", QStringLiteral("1.000"));
      EXPECT_EQ(c.values()._valGamma, 50.0f);
      for (const char *junk : {"zwei", "", "1,5,5", "nan"}) {
        dialog_test::type_into(d, "txtDRI", QString::fromLatin1(junk));
        EXPECT_EQ(c.values()._valLum, 1.5f) << junk;
        EXPECT_EQ(text(d, "txtDRI"), QStringLiteral("1.5")) << junk;
      }
      EXPECT_EQ(runs, 3) << "the gamma typed is the one in force";
    });
  }
  // Where the comma is no decimal separator, it is refused rather than read as 0 or 25.
  const UserLocale english(QLocale(QLocale::English, QLocale::UnitedStates));
  with_dialog([](QDialog &d, ToneMappingPluginController &c) {
    dialog_test::type_into(d, "txtStrength", QStringLiteral("2,5"));
    EXPECT_EQ(c.values()._valForce, 70);
    EXPECT_EQ(text(d, "txtStrength"), QStringLiteral("70"));
    EXPECT_EQ(runs, 0);
  });
}

// Return in a field commits that field and nothing more: the dialog stays open, and only the
// test's own Cancel ends it.
TEST(TypedValues, ReturnCommitsTheFieldWithoutPressingOk) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  Records r;
  r.settings.stickySizeType = 0;
  bool open = false;
  const int result = dialog_test::call_dialog(doc, r, [&](QDialog &d, ToneMappingPluginController &c) {
    dialog_test::type_into(d, "txtStrength", QStringLiteral("37"));
    EXPECT_EQ(c.values()._valForce, 37);
    auto *stepper = d.findChild<QAbstractSpinBox *>(QStringLiteral("stpPreviewSize"));
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Enter, Qt::KeypadModifier);
    QCoreApplication::sendEvent(stepper, &press);
    open = d.isVisible();
  });
  EXPECT_TRUE(open);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(r.tm[TMLIB_DE_STRENGTH], 0.0f) << "nothing handed back";
}

TEST(SliderMoves, TheFieldFollowsAtOnceAndOneUpdateRunsPerPause) {
  with_dialog([](QDialog &d, ToneMappingPluginController &c) {
    // 49.5 while dragging shows 50; the stored value rounds a half down.
    dialog_test::move_slider(d, "sldStrength", 495);
    EXPECT_EQ(text(d, "txtStrength"), QStringLiteral("50"));
    EXPECT_EQ(c.values()._valForce, 70) << "nothing is stored before the pause";
    EXPECT_EQ(runs, 0);
    dialog_test::settle();
    EXPECT_EQ(c.values()._valForce, 49);
    EXPECT_EQ(text(d, "txtStrength"), QStringLiteral("49"));
    EXPECT_EQ(runs, 1);

    // A burst of sixty moves delivered together gives one preview, with the last value.
    runs = 0;
    for (int i = 0; i < 60; ++i) dialog_test::move_slider(d, "sldStrength", 200 + 10 * i);
    EXPECT_EQ(text(d, "txtStrength"), QStringLiteral("79"));
    dialog_test::settle();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(c.values()._valForce, 79);
    EXPECT_EQ(c.tmSettingsDico()->record(1)->at(TMLIB_DE_STRENGTH), 79.0f) << "the preview used the new value";

    // Clip sliders: position 30 is the default 0.25 on the first tab's power scale.
    dialog_test::move_slider(d, "sldWP", 31);
    dialog_test::settle();
    dialog_test::move_slider(d, "sldWP", 30);
    dialog_test::settle();
    EXPECT_EQ(c.values()._valWP, 0.25f);
    EXPECT_EQ(text(d, "txtWP"), QStringLiteral("0.25"));
    // The second tab's clip sliders are linear: position 30 gives 3.
    d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(1);
    dialog_test::move_slider(d, "sldWP2", 30);
    dialog_test::settle();
    EXPECT_FLOAT_EQ(c.values()._valWP2, 3.0f);
    d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(0);
    EXPECT_NEAR(c.valPower(), 3.063922574380088, 1e-12);
  });
}

TEST(NamedActions, EachParametersActionsReachItsOwnValue) {
  with_dialog([](QDialog &d, ToneMappingPluginController &c) {
    c.updateCS(55);
    c.updateBrightness(2.5f);
    c.updateSatSH(-3.0f);
    EXPECT_EQ(c.values()._valSat, 55);
    EXPECT_FLOAT_EQ(c.values()._valBrightness, 2.5f);
    EXPECT_FLOAT_EQ(c.values()._valSatSH, -3.0f);
    // Colour temperature is one set of actions for both methods, by the current tab.
    c.updateColorTemp(4.0f);
    EXPECT_FLOAT_EQ(c.values()._valColorTemp, 4.0f);
    d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(1);
    dialog_test::settle();
    c.updateColorTemp(-2.0f);
    EXPECT_FLOAT_EQ(c.values()._valColorTemp2, -2.0f);
    EXPECT_FLOAT_EQ(c.values()._valColorTemp, 4.0f);
    // A typed Strength goes through its own field's clamp.
    d.findChild<QLineEdit *>(QStringLiteral("txtStrength"))->setText(QStringLiteral("150"));
    c.typeStrength();
    EXPECT_EQ(c.values()._valForce, 100);
    dialog_test::click(d, "_cancelButton");
  });
}

TEST(SliderMoves, MovingStrengthAndPressingOkHandsTheValueBack) {
  const Records r = with_dialog([](QDialog &d, ToneMappingPluginController &) {
    dialog_test::move_slider(d, "sldStrength", 800);
    dialog_test::settle();
    dialog_test::click(d, "_doneButton");
  });
  EXPECT_EQ(r.tm[TMLIB_DE_STRENGTH], 80.0f);
  EXPECT_EQ(r.tm[TMLIB_DE_GAMMA], 50.0f);
  EXPECT_EQ(r.settings.method, 1);
}

// OK pressed while the last move's update still waits for the run loop (both in one batch of
// events, as when the interface is busy computing a preview) hands back that last move too.
TEST(SliderMoves, OkInTheSameBatchAsTheLastMoveHandsThatMoveBack) {
  const Records r = with_dialog([](QDialog &d, ToneMappingPluginController &) {
    dialog_test::move_slider(d, "sldStrength", 700);
    dialog_test::settle();
    dialog_test::move_slider(d, "sldStrength", 600);
    dialog_test::click(d, "_doneButton");
  });
  EXPECT_EQ(r.tm[TMLIB_DE_STRENGTH], 60.0f);
}

TEST(Smoothing, ButtonsModeAndPanorama) {
  const Records r = with_dialog(
      [](QDialog &d, ToneMappingPluginController &c) {
        // The default record is in slider mode: the check box switches to the five levels.
        EXPECT_FALSE(d.findChild<QWidget *>(QStringLiteral("btnSmoothingH"))->isVisibleTo(&d));
        dialog_test::click(d, "chkCont");
        EXPECT_TRUE(c.values().lightMode);
        EXPECT_TRUE(d.findChild<QWidget *>(QStringLiteral("btnSmoothingH"))->isVisibleTo(&d));
        EXPECT_FALSE(d.findChild<QWidget *>(QStringLiteral("sldSmoothingCont"))->isVisibleTo(&d));
        auto *high = d.findChild<QPushButton *>(QStringLiteral("btnSmoothingH"));
        EXPECT_TRUE(high->isChecked()) << "level code 1 of the defaults";
        EXPECT_EQ(runs, 1);
        // The selected level clicked again stays pressed and computes nothing.
        high->click();
        EXPECT_TRUE(high->isChecked());
        EXPECT_EQ(runs, 1);
        dialog_test::click(d, "btnSmoothingVL");
        EXPECT_EQ(c.values()._valSmooth, -2);
        EXPECT_FALSE(high->isChecked());
        EXPECT_TRUE(d.findChild<QPushButton *>(QStringLiteral("btnSmoothingVL"))->isChecked());
        EXPECT_FALSE(d.findChild<QPushButton *>(QStringLiteral("btnSmoothingVL"))->icon().isNull());
        dialog_test::click(d, "chkPano");
        EXPECT_EQ(runs, 3);
        dialog_test::click(d, "_doneButton");
      },
      200);  // the five levels' solver needs a preview wider than 40 pixels
  EXPECT_EQ(r.tm[TMLIB_DE_SMOOTHING_MODE], 0.0f);
  EXPECT_EQ(r.tm[TMLIB_DE_SMOOTHING_LEVEL], 4.0f);
  EXPECT_EQ(r.tm[TMLIB_DE_PANORAMA_360], 1.0f) << "OK returns the snapshot with the 360-degree flag";
}

// A two-second drag at 60 moves a second: the field shows every move the event loop delivers,
// previews run at their own pace without a backlog, and one refresh after the release shows the
// final value.
TEST(SliderMoves, ADragKeepsUpAndEndsOnTheFinalValue) {
  for (const int method : {1, 2}) {
    with_dialog([method](QDialog &d, ToneMappingPluginController &c) {
      d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(method - 1);
      const char *slider = method == 1 ? "sldStrength" : "sldBrightness";
      const char *field = method == 1 ? "txtStrength" : "txtBrightness";
      runs = 0;
      int moves = 0, missed = 0, position = 0;
      QElapsedTimer clock;
      QEventLoop loop;
      QTimer mover;
      mover.setInterval(16);
      QObject::connect(&mover, &QTimer::timeout, [&] {
        position = method == 1 ? 200 + (moves * 70) % 600 : -60 + (moves * 7) % 120;
        dialog_test::move_slider(d, slider, position);
        ++moves;
        const QString shown =
            method == 1 ? QString::asprintf("%1.0f", position / 10.0) : QString::asprintf("%1.1f", position / 10.0);
        if (text(d, field) != shown) ++missed;
        if (clock.elapsed() >= 2000) {
          mover.stop();
          loop.quit();
        }
      });
      clock.start();
      mover.start();
      loop.exec();
      const int during = runs;
      dialog_test::settle();
      EXPECT_EQ(missed, 0);
      EXPECT_LE(runs - during, 1) << "no backlog of previews after the release";
      const float expected = method == 1 ? float(position / 10) : float(position) / 10.0f;
      EXPECT_EQ(c.tmSettingsDico()->record(method)->at(method == 1 ? int(TMLIB_DE_STRENGTH) : int(TMLIB_TC_BRIGHTNESS)),
                expected);
      EXPECT_GE(during, 1);
      EXPECT_LE(during, moves);
      std::printf(
          "method %d, preview %d x %d: %d moves (%d fields missed), %d previews in %.2f s (%.1f previews a "
          "second), %d after the release\n",
          method, c.driver()._qvW, c.driver()._qvH, moves, missed, during, clock.elapsed() / 1000.0,
          during / (clock.elapsed() / 1000.0), runs - during);
    });
  }
}

std::vector<UndoEntry> stack(const ToneMappingPluginController &c, int method, bool redo) {
  std::vector<UndoEntry> out;
  // The stacks are read back by taking their entries in order.
  UndoStacks copy = c.undoStacks();
  while (auto e = copy.last(method, redo)) {
    out.insert(out.begin(), *e);
    copy.dropLast(method, redo);
  }
  return out;
}

TEST(UndoRedo, StepsMoveTheDisplacedValueToTheOtherStack) {
  with_dialog([](QDialog &d, ToneMappingPluginController &c) {
    auto *undo = d.findChild<QPushButton *>(QStringLiteral("btnUndo"));
    auto *redo = d.findChild<QPushButton *>(QStringLiteral("btnRedo"));
    EXPECT_FALSE(undo->isEnabled());
    dialog_test::move_slider(d, "sldStrength", 800);
    dialog_test::settle();
    EXPECT_EQ(stack(c, 1, false), (std::vector<UndoEntry>{{101, 70.0f}}));
    EXPECT_TRUE(undo->isEnabled());
    undo->click();
    EXPECT_EQ(c.values()._valForce, 70);
    EXPECT_EQ(text(d, "txtStrength"), QStringLiteral("70"));
    EXPECT_FALSE(undo->isEnabled());
    EXPECT_TRUE(redo->isEnabled());
    EXPECT_EQ(stack(c, 1, true), (std::vector<UndoEntry>{{101, 80.0f}}));
    redo->click();
    EXPECT_EQ(c.values()._valForce, 80);
    EXPECT_EQ(stack(c, 1, false), (std::vector<UndoEntry>{{101, 70.0f}}));
    EXPECT_FALSE(redo->isEnabled());

    // The smoothing mode alone is recorded when it changes; the level change after it is its own.
    dialog_test::click(d, "chkCont");
    EXPECT_EQ(stack(c, 1, false).back(), (UndoEntry{116, 1.0f}));
    dialog_test::click(d, "btnSmoothingL");
    EXPECT_EQ(stack(c, 1, false).back(), (UndoEntry{105, 1.0f}));
    undo->click();
    EXPECT_TRUE(d.findChild<QPushButton *>(QStringLiteral("btnSmoothingH"))->isChecked());
    undo->click();
    EXPECT_FALSE(c.values().lightMode) << "back to the smoothing slider";

    // A method switch records nothing; the buttons show the stacks of the method now current.
    const size_t entries = stack(c, 1, false).size();
    auto *tabs = d.findChild<QTabWidget *>(QStringLiteral("tabMethod"));
    tabs->setCurrentIndex(1);
    EXPECT_FALSE(undo->isEnabled());
    tabs->setCurrentIndex(0);
    EXPECT_EQ(stack(c, 1, false).size(), entries);
    EXPECT_TRUE(stack(c, 2, false).empty());
    EXPECT_TRUE(undo->isEnabled());
  });
}

}  // namespace
