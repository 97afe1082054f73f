// SPDX-License-Identifier: MIT
#include "settings_resolution.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace brightloom {
namespace fs = std::filesystem;

Result<SettingsRecipe> resolve_settings_choice(const SettingsChoice &choice) {
  // A file, a preset or the last render's settings; then the method.
  const int sources = int(!choice.settings_file.empty()) + int(!choice.preset.empty()) + int(choice.last);
  if (sources > 1) {
    std::vector<std::string> names;
    for (const std::string *n : {&choice.file_option, &choice.preset_option, &choice.last_option})
      if (!n->empty()) names.push_back(*n);
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) list += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return fail("", "use only one of " + list);
  }
  std::string file = choice.settings_file;
  if (!choice.preset.empty()) {
    auto p = find_preset(choice.preset);
    if (!p) return p.failure();
    file = *p;
  }
  if (choice.last) {
    file = last_settings_path();
    std::error_code ec;
    if (file.empty() || !fs::exists(file, ec)) return fail("", "there are no saved settings of a previous render yet");
  }
  int method = 0;
  if (!choice.method.empty()) {
    std::string m = choice.method;
    std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (m == "details" || m == "1" || m == "details-enhancer")
      method = 1;
    else if (m == "compressor" || m == "2" || m == "tone-compressor")
      method = 2;
    else if (m == "fusion-adjust" || m == "10")
      method = 10;
    else if (m == "fusion-intensive" || m == "11")
      method = 11;
    else
      return fail("", "unknown " + choice.method_option + " \"" + choice.method +
                          "\" (details, compressor, fusion-adjust or fusion-intensive)");
  }
  if (!file.empty()) {
    // The settings are read more than once, and a pipe with no writer would block for ever.
    std::error_code ec;
    const fs::file_type kind = fs::status(file, ec).type();
    if (kind == fs::file_type::fifo || kind == fs::file_type::character || kind == fs::file_type::block ||
        kind == fs::file_type::socket)
      return fail(file, "not a regular file (a pipe or device cannot be read)");
    if (method == 0) {
      auto probed = probe_settings_file(file);
      if (!probed) return probed.failure();
      method = *probed != 0 ? *probed : 1;
    }
    Status st = check_settings_file(file, method);
    if (!st) return st.failure();
  }
  SettingsRecipe recipe;
  recipe.method = method == 0 ? 1 : method;
  recipe.file = file;
  for (const std::string &s : choice.sets) {
    auto a = parse_assignment(recipe.method, s);
    if (!a) return a.failure();
    recipe.changes.push_back(*a);
  }
  return recipe;
}

}  // namespace brightloom
