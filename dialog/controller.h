// SPDX-License-Identifier: MIT
// ToneMappingPluginController: the dialog. DoCocoaUI creates one per call, asks it for its
// window, runs the window modally and deletes the controller. Its methods keep the names of the
// dialog's operations; the work is done by plain classes it owns (the preview driver, the
// settings store) and the controller wires them to the widgets of the form.
#pragma once

#include <QDialog>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

#include "brightloom/plugin.h"
#include "export.h"
#include "preview_driver.h"
#include "settings_store.h"
#include "panel_folding.h"
#include "undo_stacks.h"
#include "platform/translation.h"

namespace Ui {
class BrightloomFilter;
}
class BLView;
class HistoLumView;
class QTimer;

namespace brightloom::dialog {

struct ParameterControl;

// The dialog window: closing it (the close box, Escape) is the Cancel button.
class FilterWindow : public QDialog {
  Q_OBJECT
 public:
  using QDialog::QDialog;
  void reject() override { Q_EMIT cancelRequested(); }
 Q_SIGNALS:
  void cancelRequested();
  void shown();

 protected:
  void showEvent(QShowEvent *e) override {
    QDialog::showEvent(e);
    Q_EMIT shown();
  }
};

// The processor count as the dialog uses it: 0..32.
BRIGHTLOOM_DIALOG_EXPORT int clamp_processor_count(long count);

// Writes a frame (y up or down, as the caller's platform gives it) into UserSettings, each value
// truncated toward zero.
BRIGHTLOOM_DIALOG_EXPORT void store_frame(UserSettings &settings, double x, double y, double width, double height);
// Whether UserSettings holds a frame to restore: all four values positive, the width above 200
// and the height above 100.
BRIGHTLOOM_DIALOG_EXPORT bool frame_is_restorable(const UserSettings &settings);

// One item of the preset popup (a separator has no title). The title is what the user reads,
// translated; the key is the item's English text for the commands and the built-in presets, and
// empty for the user's own presets, so that a choice never depends on the language shown (a
// user's file may well be named like a translated command).
struct PresetItem {
  QString title;
  bool separator = false;
  QString key;
  // A user's preset: the file listed, in the preset folder ("X.XMP" is listed as "X" and is the
  // file read, whatever the case of its extension).
  QString file = {};
};

class BRIGHTLOOM_DIALOG_EXPORT ToneMappingPluginController : public QObject {
  Q_OBJECT

 public:
  // init: processor count, camera curve, the store from the host's record or the defaults,
  // the profile copy. Reads the call state.
  ToneMappingPluginController();
  ~ToneMappingPluginController() override;

  // The window, loaded from the form on the first request (which runs windowDidLoad).
  QDialog *window();
  // The controller of the dialog on screen, or null (for tests and tools).
  static ToneMappingPluginController *active();

  // Lifecycle.
  void windowDidLoad();
  void initSettings();
  void saveWindowPosAndSize();
  void releaseMainObjects();

  // Preview.
  void setDimFromSizeType(int type);
  int sizeTypeFromDim() const;
  void changePreviewSize(int type);
  int setSourceForPreview(int unused);
  void sendUpdateTMPreviewNotif(int unused);
  void toneMappedPreviewImage(int kind);
  void ChangeActivation(bool flag);

  // Parameter controls, by slider code (100 x method + slot; 120 the smoothing slider). A slider
  // move shows its value at once and schedules the update, which runs once the stream of moves
  // pauses; a typed value is clamped to the field's range; an update stores the value, shows it
  // on both controls and refreshes the preview when the value changed.
  void setParam(int code);
  void sliderDone(int code);
  // Runs the update of every slider whose move is still waiting for the run loop to turn: OK
  // can arrive in the same batch of events as the last move (a key press while a preview is
  // being computed), and that move belongs to what OK hands back.
  void finishPendingSliderMoves();
  void typeParam(int code);
  void updateParam(int code, float value);
  void updateStrength(float value) { updateParam(101, value); }
  void updateGamma(float value) { updateParam(108, value); }
  void updateWP(float value) { updateParam(103, value); }
  // The named actions of each parameter (slider, text field, update), one line each into the
  // shared code above; colour temperature is one set for both methods, by the current tab.
  void setDRI() { setParam(100); }
  void typeDRI() { typeParam(100); }
  void updateDRI(float value) { updateParam(100, value); }
  void setStrength() { setParam(101); }
  void typeStrength() { typeParam(101); }
  void setSaturation() { setParam(102); }
  void typeCS() { typeParam(102); }
  void updateCS(float value) { updateParam(102, value); }
  void setWP() { setParam(103); }
  void typeWP() { typeParam(103); }
  void setBP() { setParam(104); }
  void typeBP() { typeParam(104); }
  void updateBP(float value) { updateParam(104, value); }
  void setMC() { setParam(106); }
  void typeMC() { typeParam(106); }
  void updateMC(float value) { updateParam(106, value); }
  void setSmooth2() { setParam(107); }
  void typeSmooth2() { typeParam(107); }
  void updateSmooth2(float value) { updateParam(107, value); }
  void setGamma() { setParam(108); }
  void typeGamma() { typeParam(108); }
  void setHL() { setParam(109); }
  void typeHL() { typeParam(109); }
  void updateHL(float value) { updateParam(109, value); }
  void setShS() { setParam(110); }
  void typeShS() { typeParam(110); }
  void updateShS(float value) { updateParam(110, value); }
  void setShC() { setParam(111); }
  void typeShC() { typeParam(111); }
  void updateShC(float value) { updateParam(111, value); }
  void setSatHL() { setParam(113); }
  void typeSatHL() { typeParam(113); }
  void updateSatHL(float value) { updateParam(113, value); }
  void setSatSH() { setParam(114); }
  void typeSatSH() { typeParam(114); }
  void updateSatSH(float value) { updateParam(114, value); }
  void setSmoothingCont() { setParam(120); }
  void typeSmoothingCont() { typeParam(120); }
  void updateSmoothingCont(float value) { updateParam(120, value); }
  void setBrightness() { setParam(200); }
  void typeBrightness() { typeParam(200); }
  void updateBrightness(float value) { updateParam(200, value); }
  void setCompression() { setParam(201); }
  void typeCompression() { typeParam(201); }
  void updateCompression(float value) { updateParam(201, value); }
  void setContrast() { setParam(202); }
  void typeContrast() { typeParam(202); }
  void updateContrast(float value) { updateParam(202, value); }
  void setWP2() { setParam(203); }
  void typeWP2() { typeParam(203); }
  void updateWP2(float value) { updateParam(203, value); }
  void setBP2() { setParam(204); }
  void typeBP2() { typeParam(204); }
  void updateBP2(float value) { updateParam(204, value); }
  void setSaturation2() { setParam(213); }
  void typeSaturation2() { typeParam(213); }
  void updateSaturation2(float value) { updateParam(213, value); }
  int colorTempCode() const { return _curMethod == 2 ? 212 : 112; }
  void setColorTemp() { setParam(colorTempCode()); }
  void typeColorTemp() { typeParam(colorTempCode()); }
  void updateColorTemp(float value) { updateParam(colorTempCode(), value); }
  void setSmoothing(int index);
  void updateSmoothing(int index);
  void setCont();
  void updateLightMode(bool sliderMode);
  void set360();

  // Undo and redo.
  void compareParam();
  void refreshDoneUndoneStacks(int id, float value);
  void redoStep(int id, float value);
  void setUndo();
  void setRedo();
  const UndoStacks &undoStacks() const { return stacks_; }

  // Settings store, snapshot and presets.
  void saveTmSettingsDico(const QString &source);
  void updateControlsAndStaticSettings();
  void savePreviousParam();
  void buildPresetList(int kind);
  void setPreset(int index);
  void setDefault();
  void stickedSettings();
  void loadPredefinedPreset(const QString &path);
  void setLoadSettings();
  void setSaveSettings();
  void setDeleteSettings();

  // The method tabs and the first tab's collapsible boxes (on = open).
  void changeTabTone(bool open);
  void changeTabColor(bool open);
  void changeTabSmoothing(bool open);
  const PanelFolding &folding() const { return folding_; }

  // What the dialog holds, for tests and tools.
  int curMethod() const { return _curMethod; }
  int nbProc() const { return _nbProc; }
  const PreviewDriver &driver() const { return *driver_; }
  PreviewDriver &driver() { return *driver_; }
  const BitmapPtr &tmPreviewRep() const { return _tmPreviewRep; }
  const BitmapPtr &savedPreviewRep() const { return _savedPreviewRep; }
  const QByteArray &colorSyncProfileData() const { return _colorSyncProfileData; }
  const SettingsStore *tmSettingsDico() const { return _tmSettingsDico ? &*_tmSettingsDico : nullptr; }
  const std::optional<Snapshot> &previousParam() const { return _previousParam; }
  const ControlValues &values() const { return values_; }
  double valPower() const { return _valPower; }

 public Q_SLOTS:
  void clickOK();
  void continueClickOK();
  void clickCancel();
  void showHelp();
  void setPreviewSize(int type);
  void setPreviewState();
  void tabViewDidSelect(int index);

 private:
  void connectControls();
  // Return in a parameter field or the size stepper commits that field only: OK stays a
  // deliberate act.
  bool eventFilter(QObject *watched, QEvent *event) override;
  void recordPanelFrames();
  void showControls();
  void showControl(const ParameterControl &c);
  void applySource(const QString &source);
  // Replaces the current method's record from a settings file: the reader's result.
  int replaceRecordFromFile(const QString &path, int method);
  void selectPreset(const QString &title);
  // The file name of a user's preset item of the popup; empty for the other items.
  QString presetFile(int index) const;
  void showSmoothingMode();
  void showPreview();
  void showRefreshLabel(bool shown);
  void alertError(const QString &message);
  QString previewFailureMessage(const PreviewResult &r) const;
  QWidget *outlet(const char *name) const;
  // Fills the preset popup with a method's items, each with its key.
  void fillPresetPopup(const std::vector<PresetItem> &items);

  // The string table of the user's language, installed while the dialog lives (first, so that it
  // is removed last, after the window).
  std::unique_ptr<DialogTranslation> translation_;
  // Call state taken at init.
  int _docType = 0;
  // Set up by init.
  int _nbProc = 1;
  int _curMethod = 1;
  double _valPower = 0, _invPower = 0;
  bool _toneBoxOpened = true, _colorBoxOpened = true, _smoothingBoxOpened = true;
  QStringList _strSmoothingArr;
  int _undoRedoStatus = 0;
  int _currentSliderChanged = 0;
  int _isPreset = 0;
  int _isInit = 0;
  int _customPreset = 0;
  QByteArray _colorSyncProfileData;
  std::unique_ptr<PreviewDriver> driver_;  // _qvDim, _qvW, _qvH, _sourceImageData, _camCurve, statistics
  std::optional<SettingsStore> _tmSettingsDico;
  std::optional<Snapshot> _previousParam;
  ControlValues values_;
  BitmapPtr _tmPreviewRep;
  BitmapPtr _savedPreviewRep;
  BitmapPtr shownPreviewRep_;                            // the bitmap the preview view was last given
  std::vector<std::vector<PresetItem>> _presetMenus{3};  // by method code
  UndoStacks stacks_;                                    // _doneParam, _undoneParam
  std::vector<QTimer *> sliderTimers_;                   // one per control, owned by the window
  int savedMethod_ = 0;                                  // the method of _savedPreviewRep
  PanelFolding folding_;
  std::unique_ptr<class QtPanelFrames> frames_;  // set when the window is first shown
  QString shownPreset_;                          // the popup item last chosen

  // The window and its form.
  std::unique_ptr<FilterWindow> window_;
  std::unique_ptr<Ui::BrightloomFilter> ui_;
};

}  // namespace brightloom::dialog
