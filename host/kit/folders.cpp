// SPDX-License-Identifier: MIT
#include "folders.h"

#include <cstdlib>
#include <filesystem>

namespace brightloom {
namespace fs = std::filesystem;

std::string program_folder() {
  std::error_code ec;
  fs::path p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.parent_path().string();
}

std::vector<std::string> preset_folders() {
  std::vector<std::string> out;
  const std::string exe = program_folder();
  if (!exe.empty()) {
    out.push_back((fs::path(exe) / ".." / "share/brightloom/presets").lexically_normal().string());
    out.push_back((fs::path(exe) / "share/brightloom/presets").lexically_normal().string());
    out.push_back((fs::path(exe) / "../.." / "share/brightloom/presets").lexically_normal().string());
  }
#ifdef BRIGHTLOOM_SOURCE_DIR
  out.push_back((fs::path(BRIGHTLOOM_SOURCE_DIR) / "resources/presets").string());
#endif
  return out;
}

std::string config_folder() {
  const char *xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) return (fs::path(xdg) / "brightloom").string();
  const char *home = std::getenv("HOME");
  if (home && *home) return (fs::path(home) / ".config/brightloom").string();
  return {};
}

}  // namespace brightloom
