// SPDX-License-Identifier: MIT
// Switching between the two methods' tabs.
#include <QComboBox>

#include <cmath>

#include <tmlib/tmlib.h>

#include "controller.h"
#include "ui_BrightloomFilter.h"

namespace brightloom::dialog {
namespace {

// QComboBox marks its separators by their accessible description.
bool is_separator(const QComboBox *popup, int i) {
  return popup->itemData(i, Qt::AccessibleDescriptionRole).toString() == QLatin1String("separator");
}

}  // namespace

void ToneMappingPluginController::tabViewDidSelect(int index) {
  if (index != 0 && index != 1) return;
  QComboBox *popup = ui_->cmbPreset;
  // Keep the menu of the method being left, "Custom" item included.
  std::vector<PresetItem> left;
  for (int i = 0; i < popup->count(); ++i) left.push_back({popup->itemText(i), is_separator(popup, i)});
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
    const QSignalBlocker quiet(popup);
    popup->clear();
    for (const PresetItem &item : menu) {
      if (item.separator)
        popup->insertSeparator(popup->count());
      else
        popup->addItem(item.title);
    }
    popup->setCurrentIndex(0);
  }
  sendUpdateTMPreviewNotif(0);
}

}  // namespace brightloom::dialog
