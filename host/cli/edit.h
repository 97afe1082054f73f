// SPDX-License-Identifier: MIT
// brightloom edit: one image in the tone-mapping dialog, then the full-size picture with what the
// user confirmed there.
#pragma once

#include <cstdio>
#include <string>

namespace brightloom {

struct EditRequest {
  std::string input;
  std::string output;  // -o; default: beside the input, named as render names it
  std::string format;  // "png", "tiff", "jpeg" or empty (from -o's extension, else png)
  int bits = 8;
  int quality = 92;
  bool quiet = false;
};

// The exit code of an edit the user cancelled: nothing was written, and a script must not
// go on as if a picture existed.
enum : int { kExitCancelled = 3 };

// Shows the dialog; on OK renders and writes the picture and remembers the settings (the
// dialog's state for the next edit, the last settings for render --last); on Cancel writes no
// picture. Every failure names the file and the reason on err.
int run_edit(const EditRequest &req, FILE *out = stdout, FILE *err = stderr);

}  // namespace brightloom
