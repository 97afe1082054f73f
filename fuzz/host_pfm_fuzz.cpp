// SPDX-License-Identifier: MIT
// Fuzzes the host's PFM reader: the header parser on raw bytes, and the whole reader on the
// same bytes presented as a file. The fuzz build has no host library, so the reader's source
// is compiled in here.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "../host/imageio/read_pfm.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  auto header = brightloom::parse_pfm_header(data, size);
  if (header) {
    // A header that parses describes a positive size and points inside the bytes given.
    if (header->width <= 0 || header->height <= 0 || header->data_offset > size) __builtin_trap();
  }
  static int fd = memfd_create("pfm", 0);
  if (fd < 0) return 0;
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) return 0;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  auto img = brightloom::read_pfm(path);
  if (img && (img->pixels.size() != size_t(img->width) * size_t(img->height) * size_t(img->spp) * 4)) __builtin_trap();
  // The strip-by-strip RGBE path reads the same rows.
  auto rgbe = brightloom::read_pfm(path, true, 1);
  if (rgbe.ok() != img.ok()) __builtin_trap();
  return 0;
}
