// SPDX-License-Identifier: MIT
// The settings of a render as the command line states them, turned into a recipe: the method,
// the settings file (--settings, a preset or the last render's), and the --set changes on top,
// each checked against the ranges before any file is read as an image.
#pragma once

#include <string>
#include <vector>

#include "result.h"
#include "settings.h"

namespace brightloom {

struct SettingsChoice {
  std::string method;             // "details", "compressor", "fusion-adjust", "fusion-intensive" or empty
                                  // (from the settings file, else details)
  std::string settings_file;      // --settings
  std::string preset;             // --preset: a preset's file name or its menu title
  bool last = false;              // --last: the settings of the last successful render
  std::vector<std::string> sets;  // --set Name=value, applied in order on top
  // How the caller's user gives the first four, for the messages (a host without --last
  // leaves last_option empty).
  std::string method_option = "--method", file_option = "--settings", preset_option = "--preset",
              last_option = "--last";
};

// The recipe, or a usage message: more than one source of settings, an unknown method, a
// preset or saved settings that do not exist, a settings file that cannot be read or holds
// values outside the ranges, a --set that names no setting or is out of range.
Result<SettingsRecipe> resolve_settings_choice(const SettingsChoice &choice);

}  // namespace brightloom
