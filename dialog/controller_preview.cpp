// SPDX-License-Identifier: MIT
// The preview loop's widget side: sizes, refreshes, "Show Original", the views and the alerts.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <tmlib/tmlib.h>

#include "controller.h"
#include "parameter_table.h"
#include "ui_BrightloomFilter.h"
#include "views/bl_view.h"
#include "views/histo_lum_view.h"

namespace brightloom::dialog {
void ToneMappingPluginController::setDimFromSizeType(int type) { driver_->setDimFromSizeType(type); }

int ToneMappingPluginController::sizeTypeFromDim() const { return driver_->sizeTypeFromDim(); }

void ToneMappingPluginController::setPreviewSize(int type) { changePreviewSize(type); }

void ToneMappingPluginController::changePreviewSize(int type) {
  PreviewDriver &d = *driver_;
  const int dim = d._qvDim, w = d._qvW, h = d._qvH;
  setDimFromSizeType(type);
  ui_->lblPreviewSize->setText(tr("Preview size: %1").arg(ui_->stpPreviewSize->value()));
  d.computeDimensions();
  const int r = setSourceForPreview(0);
  if (r < 0) {
    alertError(tr("Error while generating preview - error code: %1").arg(r));
    d._qvDim = dim;
    d._qvW = w;
    d._qvH = h;
    // The stepper and its label show the size in use, which is also the one handed back.
    const QSignalBlocker quiet(ui_->stpPreviewSize);
    ui_->stpPreviewSize->setValue(sizeTypeFromDim());
    ui_->lblPreviewSize->setText(tr("Preview size: %1").arg(sizeTypeFromDim()));
  }
  ui_->_previewView->update();
}

int ToneMappingPluginController::setSourceForPreview(int) {
  const int r = driver_->makeSource();
  if (r < 0) return r;
  toneMappedPreviewImage(2);
  if (_tmPreviewRep) showPreview();
  return 1;
}

void ToneMappingPluginController::sendUpdateTMPreviewNotif(int kind) {
  if (!ui_ || !ui_->btnPreview->isChecked()) return;
  // Undo bookkeeping: the differences from the last snapshot become undo entries; the new
  // snapshot is also what OK hands back.
  if (!_isInit) compareParam();
  savePreviousParam();
  if (_isPreset) return;
  // Kind 0 follows an edit of the user's: the popup shows "Custom". Settings applied from a
  // preset or a file (kind 1) and a preview brought back (kind 2) keep the popup as it is.
  if (kind == 0) {
    if ((_customPreset & _curMethod) == 0)
      buildPresetList(1);
    else
      buildPresetList(2);
    shownPreset_ = ui_->cmbPreset->currentText();
  }
  saveTmSettingsDico(QStringLiteral("Current"));
  showRefreshLabel(true);
  toneMappedPreviewImage(0);
  showPreview();
  showRefreshLabel(false);
}

void ToneMappingPluginController::toneMappedPreviewImage(int kind) {
  const bool original = kind == 1 && !ui_->btnPreview->isChecked();
  if (!original) showRefreshLabel(true);
  const TmParam *record = _tmSettingsDico ? _tmSettingsDico->record(_curMethod) : nullptr;
  PreviewResult r = driver_->compute(_curMethod, record != nullptr ? record->data() : nullptr, original);
  showRefreshLabel(false);

  if (r.code > 0) {
    if ((kind == 0 || kind == 2) && r.hasHistogram) {
      HistoLumView *view = _curMethod == TMLIB_METHOD_COMPRESSOR ? ui_->histView2 : ui_->histView1;
      view->setHistMax(r.histMax);
      view->setHistoData(QByteArray(reinterpret_cast<const char *>(r.histogram.data()), int(sizeof r.histogram)));
      view->repaint();
    }
    _tmPreviewRep = r.bitmap;
    return;
  }
  // The preview on screen stays as it was.
  alertError(previewFailureMessage(r));
}

QString ToneMappingPluginController::previewFailureMessage(const PreviewResult &r) const {
  if (r.code == TMLIB_ERR_NO_MEMORY) return tr("Insufficient memory to generate tone mapping preview.\r\n\r\n");
  if (r.code == TMLIB_ERR_SHORT_IO) return tr("Calculation Tone Mapping preview failed in calc_tm2.\r\n\r\n");
  // The Details Enhancer needs more than 9 pixels a side at every level of its pyramid.
  if (r.tooSmall)
    return tr("The preview of %1 x %2 pixels is too small for the Details Enhancer. Choose a larger preview "
              "size.\r\n\r\n")
        .arg(driver_->_qvW)
        .arg(driver_->_qvH);
  return tr("Error when generating tone mapping preview.\r\n\r\n");
}

void ToneMappingPluginController::setPreviewState() {
  QPushButton *sender = ui_->btnPreview;
  if (!sender->isChecked()) {
    _savedPreviewRep = _tmPreviewRep;
    savedMethod_ = _curMethod;
    sender->setText(tr("Show Preview"));
    ui_->stpPreviewSize->setEnabled(false);
    ChangeActivation(false);
    toneMappedPreviewImage(1);
  } else {
    ui_->stpPreviewSize->setEnabled(true);
    ChangeActivation(true);
    _tmPreviewRep = _savedPreviewRep;
    _savedPreviewRep.reset();
    sender->setText(tr("Show Original"));
    // A method tab switched while the original was shown: the preview put aside belongs to the
    // other method, so the preview (and the snapshot OK returns) is made for the method now
    // current.
    if (savedMethod_ != _curMethod) {
      showPreview();
      sendUpdateTMPreviewNotif(2);
      return;
    }
  }
  showPreview();
}

void ToneMappingPluginController::ChangeActivation(bool flag) {
  for (const char *name : kDetailsActivation)
    if (QWidget *w = outlet(name)) w->setEnabled(flag);
}

void ToneMappingPluginController::showPreview() {
  // The view converts each new image for the screen: a bitmap already shown is not given again.
  if (_tmPreviewRep != shownPreviewRep_) {
    ui_->_previewView->setPreviewImage(_tmPreviewRep ? _tmPreviewRep->viewImage() : QImage());
    shownPreviewRep_ = _tmPreviewRep;
  }
  ui_->_previewView->update();
}

void ToneMappingPluginController::showRefreshLabel(bool shown) {
  ui_->txtRefresh->setVisible(shown);
  ui_->txtRefresh->repaint();
}

}  // namespace brightloom::dialog
