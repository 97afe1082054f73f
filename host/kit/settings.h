// SPDX-License-Identifier: MIT
// Tone-mapping settings of a render: the method, where the parameter record comes from
// (defaults, an XMP settings file or a named preset) and the user's --set changes on top.
// The record is resolved per image, because the defaults depend on the document kind.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "brightloom/tm_param.h"
#include "folders.h"
#include "result.h"

namespace brightloom {

enum class SlotKind { Number, Integer, Clip, Gamma, SmoothingMode, Smoothing, Flag };

// One settable parameter: its name (the settings-file tag), slot and accepted range.
struct SlotInfo {
  const char *name;
  int slot;
  SlotKind kind;
  float min;
  float max;
  const char *help;
};

// The settable parameters of method 1 ("Details Enhancer") or 2 ("Tone Compressor").
const std::vector<SlotInfo> &slots_of(int method);
const char *method_name(int method);  // "Details Enhancer", "Tone Compressor", "?"

// A validated --set change.
struct Assignment {
  const SlotInfo *info = nullptr;
  float value = 0;   // the number, converted to the slot's stored form
  int word = -1;     // Smoothing given as a level word: its level code 0..4; SmoothingMode: 0/1
  std::string text;  // as typed, for messages
};

// Parses "Name=value" for the method. Unknown names and values outside the range are refused
// with a message that lists the valid names or the range.
Result<Assignment> parse_assignment(int method, const std::string &text);

struct SettingsRecipe {
  int method = 1;
  std::string file;  // XMP settings file read over the defaults; empty for none
  std::vector<Assignment> changes;
};

// The record for one image: defaults for (method, docType), the file's values (held to the
// ranges of --set), the changes.
Result<TmParam> resolve(const SettingsRecipe &recipe, int docType);

// The method a settings file is for (1 or 2; 0 when it names none, so that it suits either),
// or the reason it cannot be used.
Result<int> probe_settings_file(const std::string &path);

// Reads the file as settings of `method` into a scratch record, to report problems early:
// unreadable files, and values outside the ranges --set accepts (named with the range).
Status check_settings_file(const std::string &path, int method);

// The path of the preset called name (file name without ".xmp", case-insensitive), or a
// message listing the presets that exist.
Result<std::string> find_preset(const std::string &name);
std::vector<std::string> preset_names();

// The file holding the settings of the last successful render.
std::string last_settings_path();
// Saves the record as the last settings (temporary file, then rename; never destroys the
// previous file on failure).
Status save_last_settings(int method, const TmParam &param);

}  // namespace brightloom
