// SPDX-License-Identifier: MIT
// The merge command (bracketed frames to one OpenEXR file) and the exposure part of info.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace brightloom {

struct MergeRequest {
  std::vector<std::string> inputs;
  std::string output;          // -o; default <first frame's name>-merged.exr in the current folder
  std::vector<double> ev;      // --ev, one per frame
  bool align = true;           // --no-align
  bool deghost = true;         // --no-deghost
  bool full_float = false;     // --float: 32-bit samples instead of half
  std::string response = "auto";  // auto, srgb, linear, or a saved curve's file
  std::string save_response;   // --save-response FILE
  int threads = 0;             // 0: processors
  bool quiet = false;
};

// Merges the frames and writes the HDR file; says on out what it found (exposures and where
// they came from, response, shifts, ghosts), on err what went wrong, naming the file. Exit
// code 0, 1 (nothing written) or 2 (bad request).
int run_merge(const MergeRequest &req, FILE *out = stdout, FILE *err = stderr);

// "-2,0,2" (commas or spaces) into numbers; false for anything else.
bool parse_ev_list(const std::string &text, std::vector<double> &out);

// render --brackets: merges req.inputs (one set) into a temporary OpenEXR file named after the
// first frame and tone-maps it as render would (default picture: FIRST-merged.png here). The
// temporary file is removed in every case.
struct RenderRequest;
int run_render_brackets(const RenderRequest &req, const MergeRequest &merge, FILE *out = stdout, FILE *err = stderr);

// Whether info should describe path as a camera frame (JPEG or raw), which the HDR readers
// do not take.
bool is_camera_frame(const std::string &path);
// What a camera frame is: size, kind, profile and the exposure it was taken with.
int run_frame_info(const std::string &path, FILE *out = stdout, FILE *err = stderr);
// The exposure lines alone, for info on an 8/16-bit TIFF or PNG (nothing when it has none).
void print_exposure_info(const std::string &path, FILE *out = stdout);

}  // namespace brightloom
