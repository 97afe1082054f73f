// SPDX-License-Identifier: MIT
// The settings store, the snapshot, the controls shown from stored values, and the preset popup.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSlider>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <tmlib/tmlib.h>

#include "call_state.h"
#include "controller.h"
#include "parameter_table.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "ui_BrightloomFilter.h"

namespace brightloom::dialog {
namespace {

// The four built-in "Details Enhancer" presets: menu title (the key of its translation, and the
// item's key whatever the language) and file name.
const char *const kBuiltinPresets[][2] = {
    {QT_TRANSLATE_NOOP("brightloom::dialog::ToneMappingPluginController", "Natural"), "Natural"},
    {QT_TRANSLATE_NOOP("brightloom::dialog::ToneMappingPluginController", "Smooth Skies"), "SmoothSkies"},
    {QT_TRANSLATE_NOOP("brightloom::dialog::ToneMappingPluginController", "Painterly"), "Painterly"},
    {QT_TRANSLATE_NOOP("brightloom::dialog::ToneMappingPluginController", "Grunge"), "Grunge"}};

// The keys of the popup's commands: their English titles.
const QString kDefaultKey = QStringLiteral("Default");
const QString kPreviousKey = QStringLiteral("Previous");
const QString kCustomKey = QStringLiteral("Custom");
const QString kLoadKey = QStringLiteral("Load Settings...");
const QString kSaveKey = QStringLiteral("Save Settings...");
const QString kDeleteKey = QStringLiteral("Delete Settings...");

// The popup item's role that holds the file name of a user's preset.
constexpr int kFileRole = Qt::UserRole + 1;

// A value from a settings file or the host held to its control's range: a file is edited
// by hand as often as by the dialog, and what the dialog hands back must be a record it
// could have made itself. The gamma control stores its slider position (0 for gamma 2.0 ..
// 150 for gamma 0.25). NaN has no place in a range and is refused before this.
float held_to_range(int code, float value) {
  const ParameterControl *c = control_of(code);
  if (c == nullptr) return value;
  if (c->scale == Scale::Gamma) return std::clamp(value, 0.0f, 150.0f);
  return std::clamp(value, c->lo, c->hi);
}

bool holds_nan(const TmParam &r) {
  return std::any_of(r.begin(), r.end(), [](float v) { return std::isnan(v); });
}

}  // namespace

void ToneMappingPluginController::saveTmSettingsDico(const QString &source) {
  _tmSettingsDico = SettingsStore::build(source.toStdString(), _docType, call_state()._ptrTmParam, values_);
}

void ToneMappingPluginController::savePreviousParam() { _previousParam = take_snapshot(_curMethod, values_); }

void ToneMappingPluginController::updateControlsAndStaticSettings() {
  _isPreset = 1;
  // Copies: each update may rebuild nothing here, but the records are read after every update.
  const std::optional<SettingsStore> store = _tmSettingsDico;
  if (const TmParam *d = store ? store->record(TMLIB_METHOD_DETAILS) : nullptr) {
    const TmParam &r = *d;
    auto set = [this](int code, float v) { updateParam(code, held_to_range(code, v)); };
    auto whole = [](int code, float v) { return float(int(held_to_range(code, v))); };
    set(101, whole(101, r[TMLIB_DE_STRENGTH]));
    set(100, r[TMLIB_DE_LUMINOSITY]);
    set(102, whole(102, r[TMLIB_DE_COLOR_SATURATION]));
    const float level = r[TMLIB_DE_SMOOTHING_LEVEL];
    updateSmoothing(std::isnan(level) ? 0 : int(std::clamp(level, 0.0f, 4.0f)));
    set(103, r[TMLIB_DE_WHITE_CLIP]);
    set(104, r[TMLIB_DE_BLACK_CLIP]);
    set(108, r[TMLIB_DE_GAMMA]);
    set(106, r[TMLIB_DE_MICROCONTRAST]);
    set(107, r[TMLIB_DE_MICROSMOOTHING]);
    set(109, whole(109, r[TMLIB_DE_HIGHLIGHTS_SMOOTHING]));
    set(110, whole(110, r[TMLIB_DE_SHADOWS_SMOOTHING]));
    set(111, whole(111, r[TMLIB_DE_SHADOWS_CLIPPING]));
    set(112, r[TMLIB_DE_COLOR_TEMPERATURE]);
    set(113, r[TMLIB_DE_SATURATION_HIGHLIGHTS]);
    set(114, r[TMLIB_DE_SATURATION_SHADOWS]);
    values_.pano = r[TMLIB_DE_PANORAMA_360] == 1.0f;
    values_.lightMode = r[TMLIB_DE_SMOOTHING_MODE] == 0.0f;
    if (ui_) {
      ui_->chkPano->setChecked(values_.pano);
      ui_->chkCont->setChecked(values_.lightMode);
      showSmoothingMode();
    }
    set(120, r[TMLIB_DE_SMOOTHING]);
  }
  if (const TmParam *c = store ? store->record(TMLIB_METHOD_COMPRESSOR) : nullptr) {
    const TmParam &r = *c;
    auto set = [this](int code, float v) { updateParam(code, held_to_range(code, v)); };
    set(200, r[TMLIB_TC_BRIGHTNESS]);
    set(202, r[TMLIB_TC_CONTRAST]);
    set(201, r[TMLIB_TC_COMPRESSION]);
    set(203, r[TMLIB_TC_WHITE_CLIP]);
    set(204, r[TMLIB_TC_BLACK_CLIP]);
    set(212, r[TMLIB_TC_COLOR_TEMPERATURE]);
    set(213, r[TMLIB_TC_SATURATION]);
  }
  _isPreset = 0;
  savePreviousParam();
}

void ToneMappingPluginController::showControls() {
  if (!ui_) return;
  for (const ParameterControl &c : kParameterControls) showControl(c);
  ui_->chkPano->setChecked(values_.pano);
  ui_->chkCont->setChecked(values_.lightMode);
  const int selected = 2 - values_._valSmooth;
  for (int i = 0; i < int(kSmoothingButtons.size()); ++i) {
    auto *button = window_->findChild<QPushButton *>(QString::fromLatin1(kSmoothingButtons[size_t(i)]));
    if (button == nullptr) continue;
    button->setChecked(i == selected);
    button->setIcon(QIcon(resource_folder() + (i == selected ? QStringLiteral("/images/SmoothingGrey.png")
                                                             : QStringLiteral("/images/SmoothingWhite.png"))));
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
    popup->insertItem(0, tr("Custom"), kCustomKey);
    _customPreset |= _curMethod;
    popup->setCurrentIndex(0);
    return;
  }
  if (kind != 0) {
    popup->setCurrentIndex(0);
    return;
  }
  // The rebuilt menu has no "Custom" item: the next edit inserts it again.
  _customPreset &= ~_curMethod;
  std::vector<PresetItem> items;
  items.push_back({tr("Default"), false, kDefaultKey});
  const QSettings defaults(QString::fromLatin1(kOrganisation), QString::fromLatin1(kApplication));
  const bool previous = defaults.contains(QStringLiteral("LastSettingsV32Method%1").arg(_curMethod));
  if (previous) items.push_back({tr("Previous"), false, kPreviousKey});
  if (_curMethod == TMLIB_METHOD_DETAILS) {
    items.push_back({QString(), true, QString()});
    for (const auto &p : kBuiltinPresets) items.push_back({tr(p[0]), false, QString::fromLatin1(p[0])});
  }
  std::vector<PresetItem> user;
  const QDir folder(preset_folder());
  for (const QString &name : folder.entryList(QDir::Files | QDir::Readable, QDir::NoSort)) {
    if (!name.toLower().endsWith(QStringLiteral(".xmp"))) continue;
    const QByteArray path = QFile::encodeName(folder.filePath(name));
    if (parse_xmp(path.constData(), -1, nullptr) == _curMethod)
      user.push_back({name.left(name.size() - 4), false, QString(), name});
  }
  if (!user.empty()) {
    items.push_back({QString(), true, QString()});
    items.insert(items.end(), user.begin(), user.end());
  }
  items.push_back({QString(), true, QString()});
  items.push_back({tr("Load Settings..."), false, kLoadKey});
  items.push_back({tr("Save Settings..."), false, kSaveKey});
  items.push_back({QString(), true, QString()});
  items.push_back({tr("Delete Settings..."), false, kDeleteKey});

  fillPresetPopup(items);
  _presetMenus[size_t(_curMethod)] = items;
  popup->setCurrentIndex(previous ? 1 : 0);
  // What a command chosen next shows again when it changes nothing.
  shownPreset_ = popup->currentText();
}

void ToneMappingPluginController::fillPresetPopup(const std::vector<PresetItem> &items) {
  QComboBox *popup = ui_->cmbPreset;
  const QSignalBlocker quiet(popup);
  popup->clear();
  for (const PresetItem &item : items) {
    if (item.separator)
      popup->insertSeparator(popup->count());
    else
      popup->addItem(item.title, item.key);
    if (!item.file.isEmpty()) popup->setItemData(popup->count() - 1, item.file, kFileRole);
  }
}

QString ToneMappingPluginController::presetFile(int index) const {
  return ui_->cmbPreset->itemData(index, kFileRole).toString();
}

void ToneMappingPluginController::selectPreset(const QString &title) {
  QComboBox *popup = ui_->cmbPreset;
  const QSignalBlocker quiet(popup);
  // A separator has an empty title too: it is never what the popup shows.
  int at = -1;
  for (int i = 0; i < popup->count() && at < 0; ++i)
    if (popup->itemText(i) == title &&
        popup->itemData(i, Qt::AccessibleDescriptionRole).toString() != QLatin1String("separator"))
      at = i;
  popup->setCurrentIndex(at >= 0 ? at : 0);
}

void ToneMappingPluginController::setPreset(int index) {
  QComboBox *popup = ui_->cmbPreset;
  const QString title = popup->itemText(index);
  // The item's key, not its title, says what it does: the titles are translated, and a user's
  // preset may be named like a command or a built-in in any language.
  const QString key = popup->itemData(index).toString();
  if (key == kCustomKey) return;
  // What the popup showed before a command, to show again when the command changes nothing.
  const QString before = shownPreset_;
  if (key == kDefaultKey) {
    applySource(QStringLiteral("Default"));
  } else if (key == kPreviousKey) {
    stickedSettings();
  } else if (key == kLoadKey) {
    selectPreset(before);
    setLoadSettings();
    return;
  } else if (key == kSaveKey) {
    selectPreset(before);
    setSaveSettings();
    return;
  } else if (key == kDeleteKey) {
    selectPreset(before);
    setDeleteSettings();
    return;
  } else if (key.isEmpty()) {
    // A user's preset: the file listed. One that cannot be read (gone, or holding no number
    // where one belongs) changes nothing and says so.
    if (replaceRecordFromFile(preset_folder() + QLatin1Char('/') + presetFile(index), _curMethod) <= 0) {
      alertError(tr("Error found when reading XMP file.\r\n\r\n"));
      selectPreset(before);
      return;
    }
  } else {
    for (const auto &p : kBuiltinPresets)
      if (key == QLatin1String(p[0]))
        loadPredefinedPreset(resource_folder() + QStringLiteral("/presets/") + QLatin1String(p[1]) +
                             QStringLiteral(".xmp"));
  }
  // The popup shows the preset now applied (the item chosen, wherever the menu now has it).
  const QSignalBlocker quiet(popup);
  popup->setCurrentIndex(index < popup->count() && popup->itemText(index) == title ? index : popup->findText(title));
  shownPreset_ = title;
}

void ToneMappingPluginController::applySource(const QString &source) {
  saveTmSettingsDico(source);
  updateControlsAndStaticSettings();
  sendUpdateTMPreviewNotif(1);
}

void ToneMappingPluginController::setDefault() {
  {
    QComboBox *popup = ui_->cmbPreset;
    const QSignalBlocker quiet(popup);
    popup->setCurrentIndex(std::max(0, popup->findData(kDefaultKey)));
  }
  shownPreset_ = tr("Default");
  applySource(QStringLiteral("Default"));
}

void ToneMappingPluginController::stickedSettings() { applySource(QStringLiteral("Sticky")); }

void ToneMappingPluginController::loadPredefinedPreset(const QString &path) {
  if (path.isEmpty()) return;
  TmParam r{};
  if (parse_xmp(QFile::encodeName(path).constData(), TMLIB_METHOD_DETAILS, r.data()) <= 0 || holds_nan(r)) return;
  // The built-ins are "Details Enhancer" settings, whichever method is current.
  _tmSettingsDico = _tmSettingsDico ? _tmSettingsDico->withRecord(TMLIB_METHOD_DETAILS, r) : SettingsStore();
  updateControlsAndStaticSettings();
  sendUpdateTMPreviewNotif(1);
}

int ToneMappingPluginController::replaceRecordFromFile(const QString &path, int method) {
  TmParam r{};
  const int result = parse_xmp(QFile::encodeName(path).constData(), method, r.data());
  if (result <= 0) return result;
  // A number that is not one cannot be held to a range: the file is refused.
  if (holds_nan(r)) return TMLIB_ERR_SHORT_IO;
  _tmSettingsDico = _tmSettingsDico ? _tmSettingsDico->withRecord(method, r) : SettingsStore();
  updateControlsAndStaticSettings();
  sendUpdateTMPreviewNotif(1);
  return result;
}

void ToneMappingPluginController::setLoadSettings() {
  const QString path = ui_services().openFile(window_.get(), tr("Load Tone Mapping Settings from XMP file"), tr("Load"),
                                              QString(), {QStringLiteral("xmp"), QStringLiteral("XMP")});
  if (path.isEmpty()) return;
  const int r = replaceRecordFromFile(path, _curMethod);
  if (r == TMLIB_ERR_NOT_SETTINGS) {
    alertError(tr("XMP file does not contain Tone Mapping settings.\r\n\r\n"));
  } else if (r == TMLIB_ERR_RUN_REPEAT) {  // parse_xmp: the file is for another method
    const QString method = _curMethod == TMLIB_METHOD_COMPRESSOR ? tr("Tone Compressor") : tr("Details Enhancer");
    alertError(tr("XMP file is not for settings of %1.\r\n\r\n").arg(method));
  } else if (r <= 0) {
    alertError(tr("Error found when reading XMP file.\r\n\r\n"));
  } else {
    // Settings from a file are the user's own: the popup says so.
    if ((_customPreset & _curMethod) == 0)
      buildPresetList(1);
    else
      buildPresetList(2);
    shownPreset_ = ui_->cmbPreset->currentText();
  }
}

void ToneMappingPluginController::setSaveSettings() {
  const QString folder = preset_folder();
  // A file where the presets folder belongs: the panel would open in the folder above it and
  // the settings would land there, out of the menu, without a word.
  if (const QFileInfo presets(folder); presets.exists() && !presets.isDir()) {
    alertError(tr("Could not save the settings to %1: %2.\r\n\r\n")
                   .arg(QDir::toNativeSeparators(folder), tr("it is not a folder")));
    return;
  }
  // The whole path: a first save may come before the data folder itself exists.
  if (!QDir(folder).exists()) QDir().mkpath(folder);
  QString path =
      ui_services().saveFile(window_.get(), tr("Save Tone Mapping Settings"), folder, QStringLiteral("MySettings.xmp"));
  if (path.isEmpty()) return;
  // Settings files end in .xmp: one is added, or replaces the extension given.
  const QFileInfo chosen(path);
  const int dot = chosen.fileName().lastIndexOf(QLatin1Char('.'));
  const QString base = dot > 0 ? chosen.fileName().left(dot) : chosen.fileName();
  path = chosen.dir().filePath(base + QStringLiteral(".xmp"));
  const bool inPresets = QFileInfo(path).absoluteDir() == QDir(folder);
  if (inPresets &&
      (base == QLatin1String("Default") || base == QLatin1String("Custom") || base == QLatin1String("Previous"))) {
    alertError(tr("File name %1 is reserved. Please choose another one.\r\n\r\n").arg(base));
    return;
  }
  TmParam record{};
  if (const TmParam *r = _tmSettingsDico ? _tmSettingsDico->record(_curMethod) : nullptr) record = *r;

  // The file panel asked before replacing the name typed; a name whose extension was changed to
  // .xmp here is another file, so replacing it is asked about here.
  if (QFileInfo(path).absoluteFilePath() != chosen.absoluteFilePath() && QFileInfo::exists(path) &&
      !ui_services().confirm(
          window_.get(), QString(),
          tr("%1 already exists.\r\n\r\nDo you want to replace it?").arg(QDir::toNativeSeparators(path)), tr("Replace"),
          tr("Cancel")))
    return;

  // The settings writer replaces the file the system's one way: never half-written, keeping
  // its permissions, owner, hard links and symbolic links; a read-only file is refused.
  QString reason;
  errno = 0;
  const int w = write_xmp(QFile::encodeName(path).constData(), _curMethod, record.data());
  if (w <= 0) {
    const QFileInfo target(path);
    const auto anyWrite = QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    if (target.exists() && (!target.isWritable() || (target.permissions() & anyWrite) == 0))
      reason = tr("the file is read-only");
    else
      reason = errno != 0 ? QString::fromLocal8Bit(std::strerror(errno)) : tr("the settings could not be written");
  }
  if (!reason.isEmpty()) {
    alertError(tr("Could not save the settings to %1: %2.\r\n\r\n").arg(QDir::toNativeSeparators(path), reason));
    return;
  }
  if (inPresets) {
    buildPresetList(0);
    selectPreset(base);
    shownPreset_ = base;
  }
}

void ToneMappingPluginController::setDeleteSettings() {
  const QString folder = preset_folder();
  if (!QDir(folder).exists()) {
    alertError(tr("Presets folder does not exist.\r\n\r\n"));
    return;
  }
  const QString path = ui_services().openFile(window_.get(), tr("Delete Tone Mapping Settings"), tr("Delete"), folder,
                                              {QStringLiteral("xmp"), QStringLiteral("XMP")});
  if (path.isEmpty()) return;
  if (!ui_services().confirm(window_.get(), QString(),
                             tr("Are you sure you want to delete %1? \r\n\r\n").arg(QFileInfo(path).fileName()),
                             tr("Delete"), tr("Cancel")))
    return;
  if (!QFile::remove(path)) {
    alertError(tr("Could not delete %1").arg(path));
    return;
  }
  // The deleted preset leaves the menu at once.
  if (QFileInfo(path).absoluteDir() == QDir(folder)) {
    const QString shown = shownPreset_;
    const bool custom = (_customPreset & _curMethod) != 0;
    buildPresetList(0);
    if (custom) buildPresetList(1);
    selectPreset(shown);
  }
}

}  // namespace brightloom::dialog
