// SPDX-License-Identifier: MIT
// brightloom edit without a file, as the desktop menu starts it: an open chooser for the image,
// the dialog, then a save chooser proposing the name render would give the picture. The
// choosers are the dialog bundle's (DoFileChooser), so the program needs no Qt of its own.
#pragma once

#include <cstdio>
#include <string>

#include "edit.h"
#include "result.h"

namespace brightloom {

// The folders the choosers showed last (empty: none yet), kept in the config folder.
struct ChooserFolders {
  std::string open;
  std::string save;
};
std::string chooser_folders_path();
// Missing, unreadable or damaged files give empty folders: the choosers then start beside the
// image, as on a first run.
ChooserFolders load_chooser_folders(const std::string &path);
// Replaced as every file of the system is (replace_file.h): a failure keeps the previous folders.
Status save_chooser_folders(const std::string &path, const ChooserFolders &folders);

// The choosers' name filters, from the format table: the formats read; the formats written that
// hold `bits` per sample (the default first). Each pattern in lower and upper case.
std::string open_filters();
std::string save_filters(int bits);

// Asks for the image, then runs edit with a save chooser instead of a fixed output (unless -o
// names one). Cancel in either chooser writes nothing and exits with kExitCancelled.
int run_edit_choosing(const EditRequest &req, FILE *out = stdout, FILE *err = stderr);

}  // namespace brightloom
