// SPDX-License-Identifier: MIT
// The folding's frames on the widgets of the first tab. Qt places children from the top of their
// parent; the folding works from the bottom, as views whose bottom margin is fixed do when their
// parent is resized. The adapter keeps each managed view's y-up frame and places the widget from
// it against the page's height, again whenever that height changes; the tab view's frame is its
// height in the scroll view with its top edge fixed.
#pragma once

#include <QObject>
#include <QRect>

#include <array>

#include "panel_folding.h"

class QTabWidget;
class QWidget;

namespace brightloom::dialog {

class QtPanelFrames final : public QObject, public PanelFrames {
 public:
  // `page` is the first tab's page; its layout has placed the views once and is switched off
  // here, so that the frames set by the folding stay.
  QtPanelFrames(QTabWidget *tabView, QWidget *page, const std::array<QWidget *, 7> &views);
  NSRect frame(PanelView v) const override;
  void setFrame(PanelView v, const NSRect &r) override;
  void setHidden(PanelView v, bool hidden) override;
  // The y-up frame of any widget of the tab view's pages, in its parent.
  static NSRect frameOf(const QWidget *w, int parentHeight);

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override;

 private:
  int pageHeight() const;
  void place(int i);

  QTabWidget *tabView_;
  QWidget *page_;
  std::array<QWidget *, 7> views_;  // PanelView order, from BoxTone on
  std::array<NSRect, 7> frames_{};
  int top_ = 0;         // the tab view's top edge, y up
  int pageMargin_ = 0;  // tab view height minus page height
  std::array<int, 7> rightMargin_{};
};

}  // namespace brightloom::dialog
