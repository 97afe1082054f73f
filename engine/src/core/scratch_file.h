// SPDX-License-Identifier: MIT
// Files of the work-from-disk mode (raw native float32 arrays, no header) and the Radiance
// source: one owner that closes on every way out, element offsets checked before they become
// byte positions, whole-file writes that count only once the close succeeded. The messages
// each stage prints stay with the stage.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

namespace tmlib::scratch {

struct Closer {
  void operator()(std::FILE *f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, Closer>;

// fopen(path, mode); an empty handle for a null path or a failure.
File open(const char *path, const char *mode);

// Positions f at float element `element`; false when the byte position would not fit a file
// offset or the seek fails.
bool seek_element(std::FILE *f, std::int64_t element);

// count floats at the current position; false on a short transfer.
bool put_floats(std::FILE *f, const float *src, std::int64_t count);
bool get_floats(std::FILE *f, float *dst, std::int64_t count);

enum WriteResult { kWritten = 0, kCannotOpen = -1, kShortWrite = -2 };
// Writes `bytes` bytes to a new file at path, in chunks, and closes it: the data only counts
// as written once the close succeeded (a full device reports itself at the final flush).
WriteResult write_file(const char *path, const void *data, std::int64_t bytes);

// Size in bytes of the file at path, or -1.
std::int64_t file_size(const char *path);

}  // namespace tmlib::scratch
