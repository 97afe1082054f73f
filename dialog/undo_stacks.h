// SPDX-License-Identifier: MIT
// Step-wise undo and redo of parameter changes, without widgets. A change is recorded when the
// preview is refreshed: the values are compared with the snapshot of the previous refresh, and
// every parameter that differs gives one entry holding the value it had before. Each method has
// its own pair of stacks; nothing trims them and a new edit leaves the redo stack as it is.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "export.h"
#include "settings_store.h"

namespace brightloom::dialog {

// One recorded change: the parameter (100 x method + slot) and the value it had.
struct UndoEntry {
  int id = 0;
  float value = 0;
  bool operator==(const UndoEntry &) const = default;
};

// The parameters of the snapshot's method whose current value differs from the snapshot, in the
// order they are tracked. When the smoothing mode changed, the level and the slider value of the
// smoothing are not compared. A snapshot of another method than `method` gives nothing.
BRIGHTLOOM_DIALOG_EXPORT std::vector<UndoEntry> changed_parameters(const Snapshot &snapshot, int method,
                                                                   const ControlValues &now);

// Where a recorded change goes: 0 while the user edits and 2 while a redo step is applied (the
// undo stack), 1 while an undo step is applied (the redo stack).
enum UndoRedoStatus { kEditing = 0, kUndoing = 1, kRedoing = 2 };

class BRIGHTLOOM_DIALOG_EXPORT UndoStacks {
 public:
  // Appends an entry to the stack the status selects; any other status records nothing.
  void record(int method, int status, const UndoEntry &e);
  // The newest entry of a method's undo (redo: false) or redo stack, if any.
  std::optional<UndoEntry> last(int method, bool redo) const;
  void dropLast(int method, bool redo);
  size_t size(int method, bool redo) const;

 private:
  std::vector<UndoEntry> &stack(int method, bool redo);
  const std::vector<UndoEntry> &stack(int method, bool redo) const;
  std::array<std::vector<UndoEntry>, 3> done_, undone_;  // by method code 1, 2
};

}  // namespace brightloom::dialog
