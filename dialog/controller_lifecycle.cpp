// SPDX-License-Identifier: MIT
// The dialog's creation, window set-up, the two ways out, and teardown.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>
#include <QUrl>
#include <QtDebug>

#include <cmath>

#include <tmlib/tmlib.h>

#include "call_state.h"
#include "controller.h"
#include "platform/application.h"
#include "platform/resources.h"
#include "platform/panel_frames.h"
#include "platform/services.h"
#include "ui_BrightloomFilter.h"
#include "views/bl_view.h"
#include "views/histo_lum_view.h"

namespace brightloom::dialog {
namespace {

ToneMappingPluginController *activeController = nullptr;

}  // namespace

int clamp_processor_count(long count) {
  if (count < 0) return 0;
  return count > TMLIB_MAX_WORKERS ? TMLIB_MAX_WORKERS : int(count);
}

void store_frame(UserSettings &s, double x, double y, double width, double height) {
  // int() truncates toward zero, as the stored frame is defined.
  s.winX = int32_t(x);
  s.winY = int32_t(y);
  s.winWidth = int32_t(width);
  s.winHeight = int32_t(height);
}

bool frame_is_restorable(const UserSettings &s) {
  return s.winX > 0 && s.winY > 0 && s.winWidth > 200 && s.winHeight > 100;
}

ToneMappingPluginController::ToneMappingPluginController() {
  const CallState &cs = call_state();
  ensure_application();
  // Before the first text is looked up (the smoothing titles below, the form's texts).
  translation_ = std::make_unique<DialogTranslation>();
  _nbProc = processor_count();
  qInfo("ToneMappingPluginController nbProc: %d", _nbProc);
  _curMethod = TMLIB_METHOD_DETAILS;
  _docType = cs._docType;

  if (cs._lenProfile > 0 && cs._ptrIccProfile != nullptr)
    _colorSyncProfileData = QByteArray(reinterpret_cast<const char *>(cs._ptrIccProfile), cs._lenProfile);
  // The driver holds the preview sizes, the source and the camera curve of the document.
  Document doc{cs._iMax, cs._jMax, cs._spp, cs._docType, cs._ptrOriginalHDRsourceBuf};
  driver_ = std::make_unique<PreviewDriver>(doc, std::max(1, _nbProc), _colorSyncProfileData);
  setDimFromSizeType(cs._prefSizeType);

  _valPower = std::log(0.025) / std::log(0.3);
  _invPower = 1.0 / _valPower;
  _toneBoxOpened = _colorBoxOpened = _smoothingBoxOpened = true;
  _strSmoothingArr = {tr("Max"), tr("High"), tr("Med"), tr("Low"), tr("Min")};

  // The host's last record becomes the "Details Enhancer" settings when it is plausible and was
  // confirmed with that method; otherwise both methods start from their defaults.
  const bool sticky = cs._ptrTmParam != nullptr && cs._ptrUserSettings != nullptr &&
                      host_record_is_plausible(cs._ptrTmParam) && cs._ptrUserSettings->method == TMLIB_METHOD_DETAILS;
  saveTmSettingsDico(sticky ? QStringLiteral("Sticky") : QStringLiteral("Default"));
  activeController = this;
}

ToneMappingPluginController::~ToneMappingPluginController() {
  releaseMainObjects();
  if (activeController == this) activeController = nullptr;
}

ToneMappingPluginController *ToneMappingPluginController::active() { return activeController; }

QDialog *ToneMappingPluginController::window() {
  if (window_) return window_.get();
  window_ = std::make_unique<FilterWindow>();
  ui_ = std::make_unique<Ui::BrightloomFilter>();
  ui_->setupUi(window_.get());
  // The refresh label keeps its place in the layout while hidden, so nothing moves when it shows.
  QSizePolicy keep = ui_->txtRefresh->sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  ui_->txtRefresh->setSizePolicy(keep);

  connect(ui_->_doneButton, &QPushButton::clicked, this, &ToneMappingPluginController::clickOK);
  connect(ui_->_cancelButton, &QPushButton::clicked, this, &ToneMappingPluginController::clickCancel);
  connect(window_.get(), &FilterWindow::cancelRequested, this, &ToneMappingPluginController::clickCancel);
  connect(ui_->btnHelp, &QPushButton::clicked, this, &ToneMappingPluginController::showHelp);
  connect(ui_->stpPreviewSize, qOverload<int>(&QSpinBox::valueChanged), this,
          &ToneMappingPluginController::setPreviewSize);
  connect(ui_->btnPreview, &QPushButton::clicked, this, &ToneMappingPluginController::setPreviewState);
  connect(ui_->tabMethod, &QTabWidget::currentChanged, this, &ToneMappingPluginController::tabViewDidSelect);
  connect(ui_->cmbPreset, qOverload<int>(&QComboBox::activated), this, &ToneMappingPluginController::setPreset);
  connect(ui_->btnUndo, &QPushButton::clicked, this, &ToneMappingPluginController::setUndo);
  connect(ui_->btnRedo, &QPushButton::clicked, this, &ToneMappingPluginController::setRedo);
  connectControls();
  connect(window_.get(), &FilterWindow::shown, this, &ToneMappingPluginController::recordPanelFrames);
  connect(ui_->disclTone, &QToolButton::clicked, this, [this] { changeTabTone(ui_->disclTone->isChecked()); });
  connect(ui_->btnTone, &QPushButton::clicked, this, [this] { changeTabTone(ui_->btnTone->isChecked()); });
  connect(ui_->disclColor, &QToolButton::clicked, this, [this] { changeTabColor(ui_->disclColor->isChecked()); });
  connect(ui_->btnColor, &QPushButton::clicked, this, [this] { changeTabColor(ui_->btnColor->isChecked()); });
  connect(ui_->disclSmoothing, &QToolButton::clicked, this,
          [this] { changeTabSmoothing(ui_->disclSmoothing->isChecked()); });
  connect(ui_->btnSmoothing, &QPushButton::clicked, this,
          [this] { changeTabSmoothing(ui_->btnSmoothing->isChecked()); });
  windowDidLoad();
  return window_.get();
}

QWidget *ToneMappingPluginController::outlet(const char *name) const {
  return window_ ? window_->findChild<QWidget *>(QString::fromLatin1(name)) : nullptr;
}

void ToneMappingPluginController::windowDidLoad() {
  const CallState &cs = call_state();
  driver_->computeDimensions();
  // A document this small gets the empty dialog. A preview size that rounds to nothing (a
  // 20000 x 12 panorama) is a preview that cannot be made: the settings are set up all the
  // same, and the first preview reports its failure below, as for any preview too thin to
  // have statistics.
  if (cs._iMax <= 4 || cs._jMax <= 4) return;
  _isInit = 1;

  if (cs._ptrUserSettings != nullptr && frame_is_restorable(*cs._ptrUserSettings)) {
    const UserSettings &u = *cs._ptrUserSettings;
    window_->move(u.winX, u.winY);
    window_->resize(u.winWidth, u.winHeight);
  }
  // The control panel scrolls vertically only; the form makes the tab view its document.
  ui_->scrollView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ui_->scrollView->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  ui_->btnPreview->setChecked(true);
  _toneBoxOpened = _colorBoxOpened = _smoothingBoxOpened = true;

  initSettings();
  buildPresetList(0);
  updateControlsAndStaticSettings();
  showRefreshLabel(false);

  ui_->stpPreviewSize->setToolTip(
      tr("Increments or decrements the size of the above preview. Note that increasing the preview size "
         "increases refreshing times exponentially."));
  {
    const QSignalBlocker quiet(ui_->stpPreviewSize);
    ui_->stpPreviewSize->setValue(sizeTypeFromDim());
  }
  ui_->lblPreviewSize->setText(tr("Preview size: %1").arg(sizeTypeFromDim()));

  const int r = setSourceForPreview(0);
  _isInit = 0;
  if (r < 0) alertError(tr("Error while generating initial preview - error code: %1").arg(r));
}

void ToneMappingPluginController::initSettings() {
  TmParam defaults{};
  tmparam_default(_curMethod, _docType, defaults.data());
  values_from_defaults(values_, defaults);
  showControls();
}

void ToneMappingPluginController::clickOK() {
  finishPendingSliderMoves();
  continueClickOK();
}

void ToneMappingPluginController::continueClickOK() {
  const CallState &cs = call_state();
  if (_previousParam && cs._ptrTmParam != nullptr) {
    const float *chosen = _previousParam->param.data() + (_curMethod == TMLIB_METHOD_COMPRESSOR ? 20 : 0);
    for (int i = 0; i < TMLIB_TMPARAM_SLOTS; ++i) cs._ptrTmParam[i] = chosen[i];
  }
  if (cs._ptrUserSettings != nullptr) {
    cs._ptrUserSettings->method = _curMethod;
    cs._ptrUserSettings->stickySizeType = sizeTypeFromDim();
  }
  saveWindowPosAndSize();
  window_->done(1);
}

void ToneMappingPluginController::clickCancel() {
  const CallState &cs = call_state();
  if (cs._ptrUserSettings != nullptr) cs._ptrUserSettings->stickySizeType = sizeTypeFromDim();
  saveWindowPosAndSize();
  window_->done(0);
}

void ToneMappingPluginController::saveWindowPosAndSize() {
  UserSettings *u = call_state()._ptrUserSettings;
  if (u == nullptr || !window_) return;
  // The frame's top-left corner and the window's own size: what move() and resize() take back.
  const QRect frame = window_->frameGeometry();
  store_frame(*u, frame.x(), frame.y(), window_->width(), window_->height());
}

void ToneMappingPluginController::showHelp() {
  if (resource_folder().isEmpty()) {
    qWarning("bundle nil");
    return;
  }
  const QString page = help_page();
  if (page.isEmpty()) return;
  ui_services().openUrl(QUrl::fromLocalFile(page));
}

void ToneMappingPluginController::releaseMainObjects() {
  _tmPreviewRep.reset();
  _savedPreviewRep.reset();
  shownPreviewRep_.reset();
  _tmSettingsDico.reset();
  _colorSyncProfileData.clear();
  _strSmoothingArr.clear();
  _presetMenus.assign(3, {});
  _previousParam.reset();
}

void ToneMappingPluginController::alertError(const QString &message) {
  ui_services().alert(window_.get(), tr("Error"), message, tr("OK"));
}

}  // namespace brightloom::dialog
