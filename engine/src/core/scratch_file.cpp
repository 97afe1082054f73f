// SPDX-License-Identifier: MIT
#include "core/scratch_file.h"

#include <sys/types.h>

#include <algorithm>
#include <cstdint>

namespace tmlib::scratch {

File open(const char *path, const char *mode) { return File(path != nullptr ? std::fopen(path, mode) : nullptr); }

bool seek_element(std::FILE *f, std::int64_t element) {
  if (f == nullptr || element < 0 || element > INT64_MAX / 4) return false;
  return fseeko(f, static_cast<off_t>(element) * 4, SEEK_SET) == 0;
}

bool put_floats(std::FILE *f, const float *src, std::int64_t count) {
  return count >= 0 &&
         std::fwrite(src, sizeof(float), static_cast<std::size_t>(count), f) == static_cast<std::size_t>(count);
}

bool get_floats(std::FILE *f, float *dst, std::int64_t count) {
  return count >= 0 &&
         std::fread(dst, sizeof(float), static_cast<std::size_t>(count), f) == static_cast<std::size_t>(count);
}

WriteResult write_file(const char *path, const void *data, std::int64_t bytes) {
  File f = open(path, "wb");
  if (!f) return kCannotOpen;
  const auto *p = static_cast<const unsigned char *>(data);
  constexpr std::int64_t kChunk = std::int64_t{1} << 24;
  for (std::int64_t done = 0; done < bytes;) {
    const auto n = static_cast<std::size_t>(std::min(kChunk, bytes - done));
    if (std::fwrite(p + done, 1, n, f.get()) != n) return kShortWrite;
    done += static_cast<std::int64_t>(n);
  }
  if (std::fclose(f.release()) != 0) return kShortWrite;
  return kWritten;
}

std::int64_t file_size(const char *path) {
  File f = open(path, "rb");
  if (!f || fseeko(f.get(), 0, SEEK_END) != 0) return -1;
  const off_t size = ftello(f.get());
  return size < 0 ? -1 : static_cast<std::int64_t>(size);
}

}  // namespace tmlib::scratch
