// SPDX-License-Identifier: MIT
#include "platform/panel_frames.h"

#include <QEvent>
#include <QLayout>
#include <QTabWidget>
#include <QWidget>

namespace brightloom::dialog {

NSRect QtPanelFrames::frameOf(const QWidget *w, int parentHeight) {
  const QRect g = w->geometry();
  return NSRect{{float(g.x()), float(parentHeight - (g.y() + g.height()))}, {float(g.width()), float(g.height())}};
}

QtPanelFrames::QtPanelFrames(QTabWidget *tabView, QWidget *page, const std::array<QWidget *, 7> &views)
    : tabView_(tabView), page_(page), views_(views) {
  top_ = tabView_->height();
  pageMargin_ = tabView_->height() - page_->height();
  for (size_t i = 0; i < views_.size(); ++i) {
    frames_[i] = frameOf(views_[i], page_->height());
    rightMargin_[i] = page_->width() - views_[i]->geometry().right();
  }
  if (page_->layout() != nullptr) page_->layout()->setEnabled(false);
  tabView_->setFixedHeight(tabView_->height());
  page_->installEventFilter(this);
}

int QtPanelFrames::pageHeight() const { return tabView_->maximumHeight() - pageMargin_; }

void QtPanelFrames::place(int i) {
  const NSRect &r = frames_[size_t(i)];
  const int h = int(r.size.height);
  views_[size_t(i)]->setGeometry(int(r.origin.x), pageHeight() - (int(r.origin.y) + h), int(r.size.width), h);
}

NSRect QtPanelFrames::frame(PanelView v) const {
  if (v == PanelView::TabView) {
    const float h = float(tabView_->maximumHeight());
    return NSRect{{0, float(top_) - h}, {float(tabView_->width()), h}};
  }
  return frames_[size_t(v) - 1];
}

void QtPanelFrames::setFrame(PanelView v, const NSRect &r) {
  if (v == PanelView::TabView) {
    // The top edge is the document's top in the scroll view: only the height is the widget's.
    tabView_->setFixedHeight(int(r.size.height));
    for (int i = 0; i < int(views_.size()); ++i) place(i);
    return;
  }
  frames_[size_t(v) - 1] = r;
  place(int(v) - 1);
}

void QtPanelFrames::setHidden(PanelView v, bool hidden) {
  if (v != PanelView::TabView) views_[size_t(v) - 1]->setVisible(!hidden);
}

bool QtPanelFrames::eventFilter(QObject *watched, QEvent *event) {
  if (watched == page_ && event->type() == QEvent::Resize) {
    // The boxes keep their margins to the page's right edge as the window's width changes.
    for (size_t i = 0; i < 3; ++i)
      frames_[i].size.width = float(page_->width() - rightMargin_[i] - frames_[i].origin.x + 1);
    for (int i = 0; i < int(views_.size()); ++i) place(i);
  }
  return false;
}

}  // namespace brightloom::dialog
