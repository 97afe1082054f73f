// SPDX-License-Identifier: MIT
// Undo and redo: the differences from the last refresh's snapshot become entries of the current
// method's stacks, and a step re-applies one value through its control's update.
#include <QPushButton>

#include <algorithm>

#include <tmlib/tmlib.h>

#include "controller.h"
#include "ui_BrightloomFilter.h"

namespace brightloom::dialog {

void ToneMappingPluginController::compareParam() {
  if (!_previousParam) return;
  for (const UndoEntry &e : changed_parameters(*_previousParam, _curMethod, values_))
    refreshDoneUndoneStacks(e.id, e.value);
  if (!ui_) return;
  ui_->btnUndo->setEnabled(stacks_.size(_curMethod, false) > 0);
  ui_->btnRedo->setEnabled(stacks_.size(_curMethod, true) > 0);
}

void ToneMappingPluginController::refreshDoneUndoneStacks(int id, float value) {
  stacks_.record(_curMethod, _undoRedoStatus, {id, value});
}

void ToneMappingPluginController::redoStep(int id, float value) {
  const float whole = float(int(value));
  switch (id) {
    case 101:
    case 102:
    case 109:
    case 110:
    case 111:
      updateParam(id, whole);
      break;
    case 100 + TMLIB_DE_SMOOTHING_MODE:
      updateLightMode(int(value) == 1);
      break;
    case 100 + TMLIB_DE_SMOOTHING_LEVEL:
      updateSmoothing(std::clamp(int(value), 0, 4));
      break;
    case 100 + TMLIB_DE_SMOOTHING:
      updateParam(120, value);  // the smoothing slider
      break;
    default:
      // Any other tracked parameter has a control of its own code; an unknown one is ignored.
      updateParam(id, value);
      break;
  }
}

void ToneMappingPluginController::setUndo() {
  const std::optional<UndoEntry> e = stacks_.last(_curMethod, false);
  if (!e) return;
  _undoRedoStatus = kUndoing;
  redoStep(e->id, e->value);
  stacks_.dropLast(_curMethod, false);
  ui_->btnUndo->setEnabled(stacks_.size(_curMethod, false) > 0);
  _undoRedoStatus = kEditing;
}

void ToneMappingPluginController::setRedo() {
  const std::optional<UndoEntry> e = stacks_.last(_curMethod, true);
  if (!e) return;
  _undoRedoStatus = kRedoing;
  redoStep(e->id, e->value);
  stacks_.dropLast(_curMethod, true);
  ui_->btnRedo->setEnabled(stacks_.size(_curMethod, true) > 0);
  _undoRedoStatus = kEditing;
}

}  // namespace brightloom::dialog
