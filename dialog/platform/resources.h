// SPDX-License-Identifier: MIT
// Where the bundle finds its shipped files, the user's presets and the user's defaults.
#pragma once

#include <QString>

#include "export.h"

namespace brightloom::dialog {

// share/brightloom beside the folder of the loaded library (lib/../share/brightloom), which the
// build tree mirrors: the help page, the built-in presets, the images.
BRIGHTLOOM_DIALOG_EXPORT QString resource_folder();
// The help page (help/Help.html under the resource folder), or empty when it is missing.
BRIGHTLOOM_DIALOG_EXPORT QString help_page();

// "Brightloom" in the user's data folder (the temporary folder when there is none), and its
// "Presets" folder.
BRIGHTLOOM_DIALOG_EXPORT QString app_folder();
BRIGHTLOOM_DIALOG_EXPORT QString preset_folder();

// Organisation and application of the user defaults (QSettings).
inline constexpr const char *kOrganisation = "Brightloom";
inline constexpr const char *kApplication = "BrightloomFilter";

}  // namespace brightloom::dialog
