// SPDX-License-Identifier: MIT
#include "edit_choosers.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "commands.h"
#include "dialog_call.h"
#include "folders.h"
#include "formats.h"
#include "io/replace_file.h"
#include "settings.h"

namespace brightloom {
namespace fs = std::filesystem;
namespace {

void report(FILE *err, const std::string &msg) {
  std::fprintf(err, "brightloom: %s\n", msg.c_str());
  std::fflush(err);
}

std::string upper(std::string s) {
  for (char &c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string patterns(const FormatDescriptor &f) {
  std::string out;
  for (const char *e : f.extensions) out += std::string(out.empty() ? "" : " ") + "*" + e + " *" + upper(e);
  return out;
}

// The folder a chooser opens in: the remembered one while it exists, else `fallback`.
std::string folder_or(const std::string &remembered, const std::string &fallback) {
  std::error_code ec;
  return !remembered.empty() && fs::is_directory(remembered, ec) ? remembered : fallback;
}

}  // namespace

std::string chooser_folders_path() {
  const std::string dir = config_folder();
  return dir.empty() ? std::string() : (fs::path(dir) / "chooser-folders").string();
}

ChooserFolders load_chooser_folders(const std::string &path) {
  ChooserFolders f;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    // Only absolute folders: anything else is not a line this program wrote.
    if (line.rfind("open=/", 0) == 0) f.open = line.substr(5);
    if (line.rfind("save=/", 0) == 0) f.save = line.substr(5);
  }
  return f;
}

Status save_chooser_folders(const std::string &path, const ChooserFolders &folders) {
  if (path.empty()) return fail("", "no config folder (neither XDG_CONFIG_HOME nor HOME is set)");
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::string text;
  for (const auto &[key, value] : {std::pair{"open", folders.open}, std::pair{"save", folders.save}})
    if (!value.empty() && value.find('\n') == std::string::npos) text += std::string(key) + '=' + value + '\n';
  // Replaced as the edit state is, so a failure keeps the previous folders.
  const tmlib::ReplaceResult r =
      tmlib::replace_file(path, [&](int fd) { return tmlib::write_all(fd, text.data(), text.size()); });
  if (!r.ok()) return fail(path, "cannot save the chooser folders: " + tmlib::replace_fault_reason(r));
  return Status::success();
}

std::string open_filters() {
  std::string all, each;
  for (const FormatDescriptor &f : all_formats()) {
    if (f.read == nullptr) continue;
    all += (all.empty() ? "" : " ") + patterns(f);
    each += std::string(";;") + f.label + " (" + patterns(f) + ")";
  }
  return "HDR images (" + all + ")" + each + ";;All files (*)";
}

std::string save_filters(int bits) {
  std::string out;
  const FormatDescriptor &first = default_output_format();
  if (first.holds_bits(bits)) out = std::string(first.label) + " (" + patterns(first) + ")";
  for (const FormatDescriptor &f : all_formats())
    if (f.write != nullptr && &f != &first && f.holds_bits(bits))
      out += std::string(out.empty() ? "" : ";;") + f.label + " (" + patterns(f) + ")";
  return out;
}

int run_edit_choosing(const EditRequest &req, FILE *out, FILE *err) {
  if (const std::string why = missing_display(); !why.empty()) {
    report(err, "cannot show the file chooser: " + why + "; name the image: brightloom edit IMAGE");
    return kExitSomeFailed;
  }
  auto bundle = load_dialog_bundle();
  if (!bundle) {
    report(err, bundle.failure().message());
    return kExitSomeFailed;
  }
  // The bundle stays loaded for the process: edit then shows the dialog from the same one.
  const DoFileChooserFn chooser = bundle->doFileChooser;
  if (chooser == nullptr) {
    report(err, bundle->path +
                    ": the dialog bundle has no file chooser (DoFileChooser); name the image: "
                    "brightloom edit IMAGE");
    return kExitSomeFailed;
  }

  const std::string folders_path = chooser_folders_path();
  ChooserFolders folders = load_chooser_folders(folders_path);
  std::error_code ec;
  const std::string here = fs::current_path(ec).string();
  std::vector<char> chosen(8192);
  const int r = chooser(0, "Open an HDR image - Brightloom", open_filters().c_str(),
                        folder_or(folders.open, here).c_str(), chosen.data(), int32_t(chosen.size()));
  if (r == 0) {
    report(err, "no image chosen; nothing written");
    return kExitCancelled;
  }
  if (r != 1) return kExitSomeFailed;
  EditRequest with_file = req;
  with_file.input = chosen.data();
  folders.open = fs::path(with_file.input).parent_path().string();
  if (Status st = save_chooser_folders(folders_path, folders); !st) report(err, "warning: " + st.failure().message());

  // The proposal is the name render gives the picture, in the folder saved to last (beside the
  // image the first time); the chosen name's extension picks the format.
  if (!req.output.empty()) return run_edit(with_file, out, err);
  with_file.choose_output = [&](std::string &path) {
    const fs::path proposed =
        fs::path(folder_or(folders.save, fs::path(path).parent_path().string())) / fs::path(path).filename();
    const int s = chooser(1, "Save the picture - Brightloom", save_filters(req.bits).c_str(), proposed.string().c_str(),
                          chosen.data(), int32_t(chosen.size()));
    if (s != 1) return s;
    path = chosen.data();
    folders.save = fs::path(path).parent_path().string();
    if (Status st = save_chooser_folders(folders_path, folders); !st) report(err, "warning: " + st.failure().message());
    return 1;
  };
  return run_edit(with_file, out, err);
}

}  // namespace brightloom
