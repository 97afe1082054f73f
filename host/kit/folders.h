// SPDX-License-Identifier: MIT
// Where a host finds what is installed beside it and where it keeps the user's files.
#pragma once

#include <string>
#include <vector>

namespace brightloom {

// The folder of the running program, where its installed or built data is found beside it;
// empty when the system does not say.
std::string program_folder();
// The folders searched for built-in presets, best first: share/brightloom/presets beside the
// program (installed or build tree), then resources/presets of the source tree.
std::vector<std::string> preset_folders();
// The user's config folder ($XDG_CONFIG_HOME/brightloom or ~/.config/brightloom); empty
// when neither variable is set.
std::string config_folder();

}  // namespace brightloom
