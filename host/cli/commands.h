// SPDX-License-Identifier: MIT
// The program's commands, separate from the command-line parsing so that tests can run them:
// render (one or many files), info (what a file holds), demo (the bundled sample).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "image.h"
#include "render.h"
#include "settings.h"

namespace brightloom {

struct RenderRequest {
  std::vector<std::string> inputs;
  std::string output;   // -o: one input only
  std::string out_dir;  // --out-dir; default the current folder
  std::string format;   // "png", "tiff", "jpeg" or empty (from -o's extension, else png)
  std::string method;   // "details", "compressor" or empty (from the settings file, else details)
  std::string settings_file;
  std::string preset;
  bool last = false;  // start from the settings of the last successful render
  std::vector<std::string> sets;
  int bits = 8;
  int threads = 0;  // engine workers per file; 0: processors / jobs
  int jobs = 1;     // files rendered at the same time
  int quality = 92;
  bool quiet = false;
  bool timings = false;
  bool save_last = true;  // remember the settings in the config folder
  RenderOptions::Disk disk = RenderOptions::Disk::Auto;
  std::string temp_dir;
  int64_t disk_threshold_pixels = 0;  // 0: from the machine's memory
};

// Exit codes.
enum : int { kExitOk = 0, kExitSomeFailed = 1, kExitUsage = 2 };

// Renders every input; reports each failure by name and reason on err and goes on.
int run_render(const RenderRequest &req, FILE *out = stdout, FILE *err = stderr);
int run_info(const std::string &path, FILE *out = stdout, FILE *err = stderr);
// Renders the bundled sample into out_dir (default "out") and prints the picture's path.
int run_demo(const std::string &out_dir, bool quiet, FILE *out = stdout, FILE *err = stderr);

// The bundled sample image, or empty when it cannot be found.
std::string find_sample();

}  // namespace brightloom
