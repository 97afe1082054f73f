// SPDX-License-Identifier: MIT
// The collapsible boxes of the first tab and the tab view's frame of each method, as frame
// arithmetic in y-up coordinates (origin at the bottom left): closing a box hides it, shortens
// the tab view by the box's height with its top edge kept where it is, and moves the boxes and
// headers so that the gap closes. The frames are read and written through an adapter, so the
// arithmetic runs the same on widgets and in tests.
#pragma once

#include "brightloom/plugin.h"
#include "export.h"

namespace brightloom::dialog {

// The views whose frames the folding reads or writes.
enum class PanelView { TabView, BoxTone, BoxColor, BoxSmoothing, BtnColor, DisclColor, BtnSmoothing, DisclSmoothing };

class PanelFrames {
 public:
  virtual ~PanelFrames() = default;
  virtual NSRect frame(PanelView v) const = 0;
  virtual void setFrame(PanelView v, const NSRect &r) = 0;
  virtual void setHidden(PanelView v, bool hidden) = 0;
};

class BRIGHTLOOM_DIALOG_EXPORT PanelFolding {
 public:
  // Records the boxes' origins (all open) and the tab view's frame for both methods. The second
  // tab is shorter: its height loses (y of its lowest control - 10), so it ends 10 below that
  // control.
  void record(const PanelFrames &f, float secondTabLowestY);

  void changeTabTone(PanelFrames &f, bool open);
  void changeTabColor(PanelFrames &f, bool open);
  void changeTabSmoothing(PanelFrames &f, bool open);
  void showOrHideBox(PanelFrames &f, PanelView box, bool show);
  void positionBoxes(PanelFrames &f) const;
  static void repositionView(PanelFrames &f, PanelView v, float dy);

  // Before the tab of `newMethod` (1 or 2) is selected while `oldMethod` is current: keeps the
  // tab view's frame of the method left and gives it the frame of the method chosen.
  void willSelectTab(PanelFrames &f, int oldMethod, int newMethod);

  bool toneOpened() const { return _toneBoxOpened; }
  bool colorOpened() const { return _colorBoxOpened; }
  bool smoothingOpened() const { return _smoothingBoxOpened; }
  NSRect tabFrame(int method) const { return method == 2 ? _tabFrameMethod2 : _tabFrameMethod1; }

 private:
  NSPoint _toneBoxOrigin{}, _colorBoxOrigin{}, _smoothingBoxOrigin{};
  bool _toneBoxOpened = true, _colorBoxOpened = true, _smoothingBoxOpened = true;
  NSRect _tabFrameMethod1{}, _tabFrameMethod2{};
};

}  // namespace brightloom::dialog
