// SPDX-License-Identifier: MIT
// Switching between the two methods' tabs.
#include <QComboBox>
#include <QLayout>
#include <QPushButton>
#include <QToolButton>

#include <cmath>

#include <tmlib/tmlib.h>

#include "controller.h"
#include "platform/panel_frames.h"
#include "ui_BrightloomFilter.h"

namespace brightloom::dialog {
namespace {

// QComboBox marks its separators by their accessible description.
bool is_separator(const QComboBox *popup, int i) {
  return popup->itemData(i, Qt::AccessibleDescriptionRole).toString() == QLatin1String("separator");
}

}  // namespace

void ToneMappingPluginController::recordPanelFrames() {
  if (frames_ || !ui_) return;
  QWidget *page = ui_->tabDetails;
  frames_ = std::make_unique<QtPanelFrames>(
      ui_->tabMethod, page,
      std::array<QWidget *, 7>{ui_->boxTone, ui_->boxColor, ui_->boxSmoothing, ui_->btnColor, ui_->disclColor,
                               ui_->btnSmoothing, ui_->disclSmoothing});
  // The second tab's page has the first one's size; its lowest control decides how much of it
  // is kept. The form gives that page's layout no bottom margin and a stretch with no height of
  // its own, so that the 10 pixels kept below the control are room enough: the layout is never
  // squeezed below the height it needs, which would move its controls up.
  ui_->layoutCompressor->setGeometry(QRect(0, 0, page->width(), page->height()));
  folding_.record(*frames_, QtPanelFrames::frameOf(ui_->sldSaturation2, page->height()).origin.y);
}

namespace {
void show_open(QToolButton *disclosure, QPushButton *title, bool open) {
  disclosure->setChecked(open);
  disclosure->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
  title->setChecked(open);
}
}  // namespace

void ToneMappingPluginController::changeTabTone(bool open) {
  show_open(ui_->disclTone, ui_->btnTone, open);
  if (frames_) folding_.changeTabTone(*frames_, open);
}

void ToneMappingPluginController::changeTabColor(bool open) {
  show_open(ui_->disclColor, ui_->btnColor, open);
  if (frames_) folding_.changeTabColor(*frames_, open);
}

void ToneMappingPluginController::changeTabSmoothing(bool open) {
  show_open(ui_->disclSmoothing, ui_->btnSmoothing, open);
  if (frames_) folding_.changeTabSmoothing(*frames_, open);
}

void ToneMappingPluginController::tabViewDidSelect(int index) {
  if (index != 0 && index != 1) return;
  // The tab view keeps a frame per method: the first tab's boxes as the user left them, the
  // second tab ending below its last control.
  if (frames_) folding_.willSelectTab(*frames_, _curMethod, index + 1);
  QComboBox *popup = ui_->cmbPreset;
  // Keep the menu of the method being left, "Custom" item included.
  std::vector<PresetItem> left;
  for (int i = 0; i < popup->count(); ++i)
    left.push_back({popup->itemText(i), is_separator(popup, i), popup->itemData(i).toString(), presetFile(i)});
  _presetMenus[size_t(_curMethod)] = std::move(left);

  if (index == 0) {
    _curMethod = TMLIB_METHOD_DETAILS;
    _valPower = std::log(0.025) / std::log(0.3);
    _invPower = 1.0 / _valPower;
  } else {
    _curMethod = TMLIB_METHOD_COMPRESSOR;
    _valPower = _invPower = 1.0;
  }
  const std::vector<PresetItem> &menu = _presetMenus[size_t(_curMethod)];
  if (menu.empty()) {
    buildPresetList(0);
  } else {
    fillPresetPopup(menu);
    const QSignalBlocker quiet(popup);
    popup->setCurrentIndex(0);
  }
  sendUpdateTMPreviewNotif(0);
}

}  // namespace brightloom::dialog
