// SPDX-License-Identifier: MIT
// Radiance readers on arbitrary bytes: the header scan, then both pixel readers into a buffer
// of exactly the declared size. Neither may crash or read out of bounds, both give only their
// documented codes, and where the header is unambiguous they agree: the same result code, and
// on success the same pixels. The in-memory reader's two decoders always agree.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tmlib/rgbe.h"

namespace tmlib::testing {
extern bool radiance_without_avx2;  // defined by the Radiance readers
}

namespace {

constexpr std::int64_t kMaxPixels = 1 << 20;

// The readers scan the header differently (one by lines of bounded length up to a line limit,
// one over the whole buffer, which also skips an empty line before run-length data); they are
// meant to agree when the resolution line is the first line that looks like one, every line up
// to it is short, it lies within the limit, and no empty line follows it.
bool header_unambiguous(const std::uint8_t *data, std::size_t size, int width, int height) {
  const std::size_t limit = size < 12801 ? size / 128 : 100;
  std::size_t start = 0;
  for (std::size_t line = 0; line < limit && start < size; ++line) {
    const void *nl = std::memchr(data + start, '\n', size - start);
    if (nl == nullptr) return false;
    const std::size_t stop = static_cast<const std::uint8_t *>(nl) - data;
    if (stop - start >= 126) return false;
    if (std::memchr(data + start, 0, stop - start) != nullptr) return false;
    const std::string text(reinterpret_cast<const char *>(data + start), stop - start);
    int h = 0, w = 0;
    if (std::sscanf(text.c_str(), "-Y %d +X %d", &h, &w) == 2) {
      return h == height && w == width && stop + 1 < size && data[stop + 1] != '\n';
    }
    start = stop + 1;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  char path[] = "/tmp/radiance_fuzz_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) std::abort();
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  close(fd);

  float primaries[8];
  std::int32_t dims[7] = {};
  const int line = rgbe_dim2(path, primaries, dims);
  if (line < -3) std::abort();
  if (line >= 0) {
    if (dims[0] <= 0 || dims[1] <= 0 || dims[2] != static_cast<std::int32_t>(size)) std::abort();
    const std::int64_t pixels = static_cast<std::int64_t>(dims[0]) * dims[1];
    if (pixels <= kMaxPixels) {
      std::vector<unsigned char> a(static_cast<std::size_t>(4 * pixels));
      std::vector<unsigned char> b(a.size());
      const int ra = decomp_rle(path, dims, a.data());
      const int rb = decomp2(path, dims, b.data());
      // The in-memory reader's two run-length decoders (with and without AVX2) agree on every
      // input: the same code, and on success the same pixels.
      {
        std::vector<unsigned char> c(a.size());
        tmlib::testing::radiance_without_avx2 = true;
        const int rc = decomp_rle(path, dims, c.data());
        tmlib::testing::radiance_without_avx2 = false;
        if (rc != ra || (rc >= 0 && c != a)) std::abort();
      }
      if (ra < -6 || rb < -6 || (ra >= 0 && ra != dims[1]) || (rb >= 0 && rb != dims[1])) std::abort();
      if (header_unambiguous(data, size, dims[0], dims[1]) && dims[0] < 32768) {
        // Same code, except for a row header whose width byte has its top bit set: only the
        // disk reader examines that bit (-6), the other sees another width (-4).
        if (ra != rb && !(ra == -4 && rb == -6)) std::abort();
        if (ra >= 0 && a != b) std::abort();
      }
    }
  }
  unlink(path);
  return 0;
}
