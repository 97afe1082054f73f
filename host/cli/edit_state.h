// SPDX-License-Identifier: MIT
// What `edit` remembers between runs: the dialog's user settings (the method of the last
// confirmed edit, the preview size, the window frame) and the last confirmed parameter record,
// handed back to the dialog on the next run so that it starts where the user left it.
#pragma once

#include <string>

#include "brightloom/plugin.h"
#include "result.h"
#include "settings.h"

namespace brightloom {

struct EditState {
  // method 1 with an all-zero record: the dialog starts from the defaults. Size type 1 is the
  // dialog's own first preview size; a zero frame is never restored.
  UserSettings settings{1, 1, 0, 0, 0, 0, 0};
  TmParam param{};
};

// The state file in the config folder; empty when there is no config folder.
std::string edit_state_path();

struct LoadedEditState {
  EditState state;
  std::string warning;  // why a state file that exists was not used; empty otherwise
};
// The saved state, or the first-run state when there is none. A file that is damaged,
// truncated or holds values the dialog could not have written is not used, and the warning
// says why.
LoadedEditState load_edit_state(const std::string &path);

// Writes the state as every file of the system is replaced (replace_file.h): through a link to
// where the user keeps it, keeping its permissions, never half-written; a failure leaves the
// previous state as it was.
Status save_edit_state(const std::string &path, const EditState &state);

}  // namespace brightloom
