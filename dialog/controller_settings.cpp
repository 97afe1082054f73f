// SPDX-License-Identifier: MIT
// The settings store, the snapshot, the controls shown from stored values, and the preset popup.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSlider>

#include <cmath>

#include <tmlib/tmlib.h>

#include "call_state.h"
#include "controller.h"
#include "parameter_table.h"
#include "platform/resources.h"
#include "ui_BrightloomFilter.h"

namespace brightloom::dialog {
namespace {

// The four built-in "Details Enhancer" presets: menu title and file name.
const char *const kBuiltinPresets[][2] = {
    {"Natural", "Natural"}, {"Smooth Skies", "SmoothSkies"}, {"Painterly", "Painterly"}, {"Grunge", "Grunge"}};

}  // namespace

void ToneMappingPluginController::saveTmSettingsDico(const QString &source) {
  _tmSettingsDico = SettingsStore::build(source.toStdString(), _docType, call_state()._ptrTmParam, values_);
}

void ToneMappingPluginController::savePreviousParam() { _previousParam = take_snapshot(_curMethod, values_); }

void ToneMappingPluginController::updateControlsAndStaticSettings() {
  _isPreset = 1;
  const SettingsStore *store = tmSettingsDico();
  values_from_records(values_, store ? store->record(TMLIB_METHOD_DETAILS) : nullptr,
                      store ? store->record(TMLIB_METHOD_COMPRESSOR) : nullptr);
  showControls();
  _isPreset = 0;
  savePreviousParam();
}

void ToneMappingPluginController::showControls() {
  if (!ui_) return;
  for (const ParameterControl &c : kParameterControls) {
    auto *slider = window_->findChild<QSlider *>(QString::fromLatin1(c.slider));
    auto *text = window_->findChild<QLineEdit *>(QString::fromLatin1(c.text));
    if (slider == nullptr || text == nullptr) continue;
    const QSignalBlocker quietSlider(slider), quietText(text);
    if (c.scale == Scale::Integer) {
      const int v = values_.*c.intValue;
      slider->setValue(v);
      text->setText(QString::number(v));
      continue;
    }
    const float v = values_.*c.value;
    switch (c.scale) {
      case Scale::Tenths:
        slider->setValue(int(std::lround(double(v) * 10.0)));
        text->setText(QString::asprintf("%1.1f", double(v)));
        break;
      case Scale::Clip: {
        // The clip scale of the method the slider belongs to: a power for "Details Enhancer",
        // linear for "Tone Compressor".
        const double inv = c.code < 200 ? 1.0 / (std::log(0.025) / std::log(0.3)) : 1.0;
        slider->setValue(paramf2slider(double(v), inv));
        text->setText(QString::number(double(v), 'g', 3));
        break;
      }
      case Scale::Gamma:
        slider->setValue(int(std::lround(double(v))));
        text->setText(QString::asprintf("%1.2f", std::exp(std::log(2.0) * (50.0 - double(v)) / 50.0)));
        break;
      case Scale::Integer:
        break;
    }
  }
  ui_->chkPano->setChecked(values_.pano);
  ui_->chkCont->setChecked(values_.lightMode);
  const int selected = 2 - values_._valSmooth;
  for (int i = 0; i < int(kSmoothingButtons.size()); ++i) {
    auto *button = window_->findChild<QPushButton *>(QString::fromLatin1(kSmoothingButtons[size_t(i)]));
    if (button == nullptr) continue;
    button->setChecked(i == selected);
    if (i < _strSmoothingArr.size()) button->setText(_strSmoothingArr[i]);
  }
  showSmoothingMode();
}

void ToneMappingPluginController::showSmoothingMode() {
  const bool sliderMode = !values_.lightMode;
  ui_->sldSmoothingCont->setEnabled(sliderMode);
  ui_->sldSmoothingCont->setVisible(sliderMode);
  ui_->txtSmoothing->setVisible(sliderMode);
  ui_->lblSmoothing->setVisible(sliderMode);
  for (const char *name : kSmoothingButtons)
    if (QWidget *b = outlet(name)) {
      b->setEnabled(!sliderMode);
      b->setVisible(!sliderMode);
    }
}

void ToneMappingPluginController::buildPresetList(int kind) {
  QComboBox *popup = ui_->cmbPreset;
  const QSignalBlocker quiet(popup);
  if (kind == 1) {
    popup->insertItem(0, tr("Custom"));
    _customPreset |= _curMethod;
    popup->setCurrentIndex(0);
    return;
  }
  if (kind != 0) {
    popup->setCurrentIndex(0);
    return;
  }
  std::vector<PresetItem> items;
  items.push_back({tr("Default")});
  const QSettings defaults(QString::fromLatin1(kOrganisation), QString::fromLatin1(kApplication));
  const bool previous = defaults.contains(QStringLiteral("LastSettingsV32Method%1").arg(_curMethod));
  if (previous) items.push_back({tr("Previous")});
  if (_curMethod == TMLIB_METHOD_DETAILS) {
    items.push_back({QString(), true});
    for (const auto &p : kBuiltinPresets) items.push_back({tr(p[0])});
  }
  std::vector<PresetItem> user;
  const QDir folder(preset_folder());
  for (const QString &name : folder.entryList(QDir::Files | QDir::Readable, QDir::NoSort)) {
    if (!name.toLower().endsWith(QStringLiteral(".xmp"))) continue;
    const QByteArray path = QFile::encodeName(folder.filePath(name));
    if (parse_xmp(path.constData(), -1, nullptr) == _curMethod) user.push_back({name.left(name.size() - 4)});
  }
  if (!user.empty()) {
    items.push_back({QString(), true});
    items.insert(items.end(), user.begin(), user.end());
  }
  items.push_back({QString(), true});
  items.push_back({tr("Load Settings...")});
  items.push_back({tr("Save Settings...")});
  items.push_back({QString(), true});
  items.push_back({tr("Delete Settings...")});

  popup->clear();
  for (const PresetItem &item : items) {
    if (item.separator)
      popup->insertSeparator(popup->count());
    else
      popup->addItem(item.title);
  }
  _presetMenus[size_t(_curMethod)] = items;
  popup->setCurrentIndex(previous ? 1 : 0);
}

}  // namespace brightloom::dialog
