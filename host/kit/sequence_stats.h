// SPDX-License-Identifier: MIT
// Time-lapse sequences: the statistics each frame is normalised with, measured in a first pass,
// kept in a small text file (one per shard, merged for the second pass), and smoothed over a
// window of neighbouring frames, so that what comes and goes within a second (a glint, a
// headlight) no longer moves the whole picture while a sunset still comes through.
#pragma once

#include <tmlib/tmlib.h>

#include <array>
#include <string>
#include <vector>

#include "image.h"
#include "render.h"
#include "result.h"

namespace brightloom {

// The statistics record of a method: the Details Enhancer's lumParam, the Tone Compressor's
// LogLumStats; both fit TMLIB_LUM_PARAMS floats.
inline constexpr int kSequenceStats = TMLIB_LUM_PARAMS;
using FrameValues = std::array<float, kSequenceStats>;

struct FrameStats {
  int index = -1;      // the frame's number in the sequence (0-based, natural order)
  std::string frame;   // the input as given
  bool measured = false;
  std::string digest;  // of the method and settings the statistics were measured with
  FrameValues values{};
  std::string error;   // why a frame could not be measured
};

struct SequenceStats {
  int method = 1;                  // 1 Details Enhancer, 2 Tone Compressor
  int frames = 0;                  // frames of the whole sequence
  std::vector<FrameStats> records;
};

// Takes the image's statistics the way render() would before rendering it, and stops there
// (the image's pixels are consumed).
Result<FrameValues> measure_statistics(Image &image, const RenderOptions &options);

// Writes the file whole under a temporary name and renames it, so that a reader never sees
// half of one.
Status write_sequence_stats(const std::string &path, const SequenceStats &stats);
Result<SequenceStats> read_sequence_stats(const std::string &path);

// The records of every frame 0 .. frames - 1 from the files of all shards: refused (naming the
// file and the frame) when the files disagree on the method or the sequence, a frame is
// missing or measured twice with other figures, or a frame's name is not `frames[i]`.
Result<std::vector<FrameStats>> merge_sequence_stats(const std::vector<SequenceStats> &parts,
                                                     const std::vector<std::string> &frames, int method);

// Each frame's statistics smoothed over the `window` frames around it (1: the frame's own).
// In the log domain a centred running median, which ignores what only some frames hold,
// followed by a centred running mean over the same window, which removes the median's steps;
// near the ends the window is cut short. Frames that were not measured take no part and get
// their neighbours' values.
std::vector<FrameValues> smooth_sequence_stats(int method, const std::vector<FrameStats> &frames, int window);

}  // namespace brightloom
