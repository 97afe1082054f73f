// SPDX-License-Identifier: MIT
// Fuzzes the readers of camera frames on the same bytes: the JPEG reader, the EXIF exposure
// parser (exiv2) and the raw reader (LibRaw). Built when the host libraries are part of the
// fuzz build (cmake --preset fuzz -DBRIGHTLOOM_HOST=ON).
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "exif.h"
#include "read_jpeg.h"
#include "read_raw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const brightloom::ExposureInfo e = brightloom::parse_exposure_info(data, size);
  // What the parser hands on is plausible or absent, never NaN or negative.
  if (e.exposure_time < 0 || e.f_number < 0 || e.iso < 0 || !std::isfinite(e.relative_exposure())) __builtin_trap();
  static int fd = memfd_create("frame", 0);
  if (fd < 0) return 0;
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) return 0;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (auto img = brightloom::read_jpeg(path)) {
    if (img->pixels.size() != size_t(img->width) * size_t(img->height) * size_t(img->spp)) __builtin_trap();
  }
  if (auto raw = brightloom::read_raw(path)) {
    const auto &img = raw->image;
    if (img.pixels.size() != size_t(img.width) * size_t(img.height) * size_t(img.spp) * 2) __builtin_trap();
  }
  return 0;
}
