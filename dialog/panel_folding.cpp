// SPDX-License-Identifier: MIT
#include "panel_folding.h"

#include <initializer_list>

namespace brightloom::dialog {

void PanelFolding::record(const PanelFrames &f, float secondTabLowestY) {
  _tabFrameMethod1 = _tabFrameMethod2 = f.frame(PanelView::TabView);
  _tabFrameMethod2.size.height -= secondTabLowestY - 10.0f;
  _toneBoxOrigin = f.frame(PanelView::BoxTone).origin;
  _colorBoxOrigin = f.frame(PanelView::BoxColor).origin;
  _smoothingBoxOrigin = f.frame(PanelView::BoxSmoothing).origin;
  _toneBoxOpened = _colorBoxOpened = _smoothingBoxOpened = true;
}

void PanelFolding::repositionView(PanelFrames &f, PanelView v, float dy) {
  NSRect r = f.frame(v);
  r.origin.y += dy;
  f.setFrame(v, r);
}

void PanelFolding::showOrHideBox(PanelFrames &f, PanelView box, bool show) {
  const float h = f.frame(box).size.height;
  NSRect t = f.frame(PanelView::TabView);
  // The top edge of the tab view stays where it is.
  t.size.height += show ? h : -h;
  t.origin.y += show ? -h : h;
  f.setHidden(box, !show);
  positionBoxes(f);
  f.setFrame(PanelView::TabView, t);
}

void PanelFolding::positionBoxes(PanelFrames &f) const {
  NSPoint tone = _toneBoxOrigin, color = _colorBoxOrigin;
  if (!_smoothingBoxOpened) {
    const float h = f.frame(PanelView::BoxSmoothing).size.height;
    tone.y -= h;
    color.y -= h;
  }
  if (!_colorBoxOpened) tone.y -= f.frame(PanelView::BoxColor).size.height;
  auto place = [&f](PanelView v, NSPoint at) {
    NSRect r = f.frame(v);
    r.origin = at;
    f.setFrame(v, r);
  };
  place(PanelView::BoxTone, tone);
  place(PanelView::BoxColor, color);
  place(PanelView::BoxSmoothing, _smoothingBoxOrigin);
}

void PanelFolding::changeTabTone(PanelFrames &f, bool open) {
  showOrHideBox(f, PanelView::BoxTone, open);
  _toneBoxOpened = open;
}

void PanelFolding::changeTabColor(PanelFrames &f, bool open) {
  const float dy = (open ? 1.0f : -1.0f) * f.frame(PanelView::BoxColor).size.height;
  repositionView(f, PanelView::BtnColor, dy);
  repositionView(f, PanelView::DisclColor, dy);
  _colorBoxOpened = open;
  showOrHideBox(f, PanelView::BoxColor, open);
}

void PanelFolding::changeTabSmoothing(PanelFrames &f, bool open) {
  const float dy = (open ? 1.0f : -1.0f) * f.frame(PanelView::BoxSmoothing).size.height;
  for (PanelView v : {PanelView::BtnColor, PanelView::DisclColor, PanelView::BtnSmoothing, PanelView::DisclSmoothing})
    repositionView(f, v, dy);
  _smoothingBoxOpened = open;
  showOrHideBox(f, PanelView::BoxSmoothing, open);
}

void PanelFolding::willSelectTab(PanelFrames &f, int oldMethod, int newMethod) {
  if (oldMethod == 1) _tabFrameMethod1 = f.frame(PanelView::TabView);
  if (oldMethod == 2) _tabFrameMethod2 = f.frame(PanelView::TabView);
  if (newMethod == 1) f.setFrame(PanelView::TabView, _tabFrameMethod1);
  if (newMethod == 2) f.setFrame(PanelView::TabView, _tabFrameMethod2);
}

}  // namespace brightloom::dialog
