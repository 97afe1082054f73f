// SPDX-License-Identifier: MIT
#include "edit_state.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "io/replace_file.h"

namespace brightloom {
namespace fs = std::filesystem;
namespace {

constexpr const char *kMagic = "brightloom-edit-state 1";

// Reads "key v1 v2 ..." with exactly n numbers; false on anything else.
template <class T>
bool read_line(std::istream &in, const char *key, T *values, int n) {
  std::string line;
  if (!std::getline(in, line)) return false;
  std::istringstream fields(line);
  std::string name;
  if (!(fields >> name) || name != key) return false;
  for (int i = 0; i < n; ++i)
    if (!(fields >> values[i])) return false;
  std::string extra;
  return !(fields >> extra);
}

std::string describe(const std::string &path, const std::string &why) {
  return "the saved dialog state " + path + " is not used (" + why + "); the dialog starts from its defaults";
}

}  // namespace

std::string edit_state_path() {
  const std::string dir = config_folder();
  return dir.empty() ? std::string() : (fs::path(dir) / "edit-state").string();
}

LoadedEditState load_edit_state(const std::string &path) {
  LoadedEditState out;
  std::error_code ec;
  if (path.empty() || !fs::exists(path, ec)) return out;
  if (!fs::is_regular_file(path, ec)) {
    out.warning = describe(path, "not a regular file");
    return out;
  }
  // The file is small; anything much larger is not ours.
  if (fs::file_size(path, ec) > 4096) {
    out.warning = describe(path, "too large to be a state file");
    return out;
  }
  std::ifstream in(path);
  std::string magic;
  if (!in || !std::getline(in, magic)) {
    out.warning = describe(path, "cannot be read");
    return out;
  }
  if (magic != kMagic) {
    out.warning = describe(path, "not a state file of this program");
    return out;
  }
  EditState s;
  int32_t frame[4] = {};
  if (!read_line(in, "method", &s.settings.method, 1) || !read_line(in, "previewSize", &s.settings.stickySizeType, 1) ||
      !read_line(in, "frame", frame, 4) || !read_line(in, "param", s.param.data(), int(s.param.size()))) {
    out.warning = describe(path, "damaged or truncated");
    return out;
  }
  std::string rest;
  if (in >> rest) {
    out.warning = describe(path, "unexpected text after the parameters");
    return out;
  }
  // Values the dialog never writes: the record of a damaged file must not become the user's
  // starting point.
  if (s.settings.method != 1 && s.settings.method != 2) {
    out.warning = describe(path, "unknown method " + std::to_string(s.settings.method));
    return out;
  }
  for (float v : s.param)
    if (!std::isfinite(v)) {
      out.warning = describe(path, "a parameter is not a finite number");
      return out;
    }
  s.settings.winX = frame[0];
  s.settings.winY = frame[1];
  s.settings.winWidth = frame[2];
  s.settings.winHeight = frame[3];
  out.state = s;
  return out;
}

Status save_edit_state(const std::string &path, const EditState &state) {
  if (path.empty()) return fail("", "no config folder (neither XDG_CONFIG_HOME nor HOME is set)");
  const fs::path target(path);
  std::error_code ec;
  // A folder that cannot be made is the reason, not the missing folder the file then meets.
  if (fs::create_directories(target.parent_path(), ec); ec)
    return fail(path, "cannot save the dialog state: cannot create the folder " + target.parent_path().string() + ": " +
                          ec.message());
  std::string text = std::string(kMagic) + "\n";
  char line[512];
  const UserSettings &u = state.settings;
  std::snprintf(line, sizeof line, "method %d\npreviewSize %d\nframe %d %d %d %d\nparam", u.method, u.stickySizeType,
                u.winX, u.winY, u.winWidth, u.winHeight);
  text += line;
  for (float v : state.param) {
    // Nine significant digits give every float back exactly.
    std::snprintf(line, sizeof line, " %.9g", double(v));
    text += line;
  }
  text += "\n";

  // Replaced as the settings files are: through a link to where the user keeps it, keeping its
  // permissions, never half-written.
  const tmlib::ReplaceResult r =
      tmlib::replace_file(path, [&](int fd) { return tmlib::write_all(fd, text.data(), text.size()); });
  if (!r.ok()) return fail(path, "cannot save the dialog state: " + tmlib::replace_fault_reason(r));
  return Status::success();
}

}  // namespace brightloom
