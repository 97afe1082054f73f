// SPDX-License-Identifier: MIT
// The first tab's collapsible boxes and each tab's frame: the arithmetic on a table of frames,
// and the same clicks on the dialog's widgets.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QToolButton>

#include <map>

#include "panel_folding.h"
#include "support/dialog_host.h"

// Frames compare exactly: the arithmetic adds and subtracts whole heights.
static bool operator==(const NSRect &a, const NSRect &b) {
  return a.origin.x == b.origin.x && a.origin.y == b.origin.y && a.size.width == b.size.width &&
         a.size.height == b.size.height;
}

namespace {

using namespace brightloom::dialog;

// A tab view at y = 0, 900 high, holding from the top: Tone (200), the Color header and box
// (120), the Smoothing header and box (80).
struct TableFrames : PanelFrames {
  std::map<PanelView, NSRect> f{
      {PanelView::TabView, {{0, 0}, {300, 900}}},         {PanelView::BoxTone, {{10, 480}, {280, 200}}},
      {PanelView::BtnColor, {{30, 450}, {100, 20}}},      {PanelView::DisclColor, {{10, 450}, {16, 20}}},
      {PanelView::BoxColor, {{10, 320}, {280, 120}}},     {PanelView::BtnSmoothing, {{30, 290}, {100, 20}}},
      {PanelView::DisclSmoothing, {{10, 290}, {16, 20}}}, {PanelView::BoxSmoothing, {{10, 200}, {280, 80}}}};
  std::map<PanelView, bool> hidden;
  NSRect frame(PanelView v) const override { return f.at(v); }
  void setFrame(PanelView v, const NSRect &r) override { f[v] = r; }
  void setHidden(PanelView v, bool h) override { hidden[v] = h; }
};

TEST(PanelFolding, ClosingBoxesShortensTheTabViewUnderAFixedTopEdge) {
  TableFrames t;
  const TableFrames start = t;
  PanelFolding folding;
  folding.record(t, 400);

  folding.changeTabColor(t, false);
  EXPECT_EQ(t.f[PanelView::TabView], (NSRect{{0, 120}, {300, 780}}));
  EXPECT_TRUE(t.hidden[PanelView::BoxColor]);
  EXPECT_EQ(t.f[PanelView::BtnColor].origin.y, 330.0f);
  EXPECT_EQ(t.f[PanelView::DisclColor].origin.y, 330.0f);
  EXPECT_EQ(t.f[PanelView::BoxTone].origin.y, 360.0f);
  folding.changeTabColor(t, true);
  EXPECT_EQ(t.f, start.f) << "a second click restores the layout";

  folding.changeTabSmoothing(t, false);
  folding.changeTabColor(t, false);
  EXPECT_EQ(t.f[PanelView::BoxTone].origin.y, 280.0f);
  EXPECT_EQ(t.f[PanelView::BoxColor].origin.y, 240.0f);
  EXPECT_EQ(t.f[PanelView::BoxSmoothing].origin.y, 200.0f);
  EXPECT_EQ(t.f[PanelView::TabView], (NSRect{{0, 200}, {300, 700}}));

  // Each tab keeps its frame: the second ends 10 below its lowest control (at y 400).
  folding.willSelectTab(t, 1, 2);
  EXPECT_EQ(t.f[PanelView::TabView], (NSRect{{0, 0}, {300, 510}}));
  folding.willSelectTab(t, 2, 1);
  EXPECT_EQ(t.f[PanelView::TabView], (NSRect{{0, 200}, {300, 700}}));
}

TEST(PanelFolding, TheDialogsBoxesFoldAndEachTabKeepsItsHeight) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  dialog_test::Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [](QDialog &d, ToneMappingPluginController &c) {
    auto *tabs = d.findChild<QTabWidget *>(QStringLiteral("tabMethod"));
    QWidget *color = d.findChild<QWidget *>(QStringLiteral("boxColor"));
    QWidget *smoothing = d.findChild<QWidget *>(QStringLiteral("boxSmoothing"));
    QWidget *header = d.findChild<QWidget *>(QStringLiteral("btnColor"));
    QWidget *toneHeader = d.findChild<QWidget *>(QStringLiteral("btnTone"));
    const int height = tabs->height(), h = color->height();
    const int smoothingTop = smoothing->y(), headerTop = header->y(), toneTop = toneHeader->y();
    ASSERT_GT(h, 0);

    dialog_test::click(d, "disclColor");
    EXPECT_FALSE(c.folding().colorOpened());
    EXPECT_FALSE(color->isVisibleTo(&d));
    EXPECT_EQ(tabs->maximumHeight(), height - h);
    // Seen from the top: the Color header stays under Tone, the Smoothing box moves up.
    EXPECT_EQ(header->y(), headerTop);
    EXPECT_EQ(toneHeader->y(), toneTop);
    EXPECT_EQ(smoothing->y(), smoothingTop - h);
    EXPECT_EQ(d.findChild<QToolButton *>(QStringLiteral("disclColor"))->arrowType(), Qt::RightArrow);

    // The second tab is shorter; coming back gives the first its folded height again.
    tabs->setCurrentIndex(1);
    EXPECT_LT(tabs->maximumHeight(), height - h);
    tabs->setCurrentIndex(0);
    EXPECT_EQ(tabs->maximumHeight(), height - h);

    dialog_test::click(d, "btnColor");
    EXPECT_TRUE(color->isVisibleTo(&d));
    EXPECT_EQ(tabs->maximumHeight(), height);
    EXPECT_EQ(smoothing->y(), smoothingTop);
  });
}

// The Tone Compressor's page ends 10 pixels below its lowest slider, without squeezing its
// layout (which would move the controls up and leave more).
TEST(PanelFolding, TheSecondTabEndsTenBelowItsLowestControl) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  dialog_test::Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [](QDialog &d, ToneMappingPluginController &) {
    QWidget *slider = d.findChild<QWidget *>(QStringLiteral("sldSaturation2"));
    const int fullTop = slider->mapTo(&d, QPoint(0, 0)).y();
    d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(1);
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    QWidget *page = d.findChild<QWidget *>(QStringLiteral("tabCompressor"));
    EXPECT_EQ(page->height() - (slider->geometry().bottom() + 1), 10);
    EXPECT_EQ(slider->mapTo(&d, QPoint(0, 0)).y(), fullTop) << "the controls stay where the full page had them";
  });
}

// The five level buttons share the panel's width: with them shown, the value fields and the
// last button stay inside the control panel's visible width, with the scroll bar and without it.
TEST(PanelFolding, TheFiveLevelButtonsLeaveTheFieldsInView) {
  dialog_test::Document doc = dialog_test::float_document(20, 200, 3);
  dialog_test::Records r;
  r.settings.stickySizeType = 0;
  dialog_test::call_dialog(doc, r, [](QDialog &d, ToneMappingPluginController &) {
    QWidget *viewport = d.findChild<QScrollArea *>(QStringLiteral("scrollView"))->viewport();
    auto right_edge = [&](const char *name) {
      auto *w = d.findChild<QWidget *>(QString::fromLatin1(name));
      return w->mapTo(viewport, QPoint(w->width() - 1, 0)).x();
    };
    dialog_test::click(d, "chkCont");
    for (const bool toneOpen : {true, false}) {
      if (!toneOpen) dialog_test::click(d, "disclTone");
      dialog_test::settle();
      for (const char *name : {"txtColorTemp", "txtSmooth2", "btnSmoothingVL"})
        EXPECT_LT(right_edge(name), viewport->width()) << name << (toneOpen ? "" : " with Tone closed");
    }
  });
}

}  // namespace
