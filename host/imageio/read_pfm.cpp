// SPDX-License-Identifier: MIT
// Portable float map reader. The header is three whitespace-separated tokens after the magic
// ("PF" colour, "Pf" grey): width, height and a scale whose sign gives the byte order
// (negative: little-endian). Rows are stored bottom to top.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "image.h"
#include "rgbe_rows.h"

namespace brightloom {
namespace {

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Reads one token of at most 63 characters starting at pos, skipping leading white space.
bool next_token(const unsigned char *d, size_t n, size_t &pos, char (&tok)[64]) {
  while (pos < n && is_space(d[pos])) ++pos;
  size_t len = 0;
  while (pos < n && !is_space(d[pos])) {
    if (len + 1 >= sizeof tok) return false;
    tok[len++] = char(d[pos++]);
  }
  tok[len] = '\0';
  return len > 0;
}

bool parse_int(const char *s, int &out) {
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 10);
  if (errno != 0 || *end != '\0' || v <= 0 || v > INT32_MAX) return false;
  out = int(v);
  return true;
}

}  // namespace

Result<PfmHeader> parse_pfm_header(const unsigned char *d, size_t n) {
  PfmHeader h;
  if (n < 3 || d[0] != 'P' || (d[1] != 'F' && d[1] != 'f') || !is_space(d[2]))
    return fail("", "not a PFM file (no \"PF\" or \"Pf\" magic)");
  h.channels = d[1] == 'F' ? 3 : 1;
  size_t pos = 2;
  char tok[64];
  if (!next_token(d, n, pos, tok) || !parse_int(tok, h.width)) return fail("", "the PFM header has no valid width");
  if (!next_token(d, n, pos, tok) || !parse_int(tok, h.height)) return fail("", "the PFM header has no valid height");
  if (!next_token(d, n, pos, tok)) return fail("", "the PFM header has no scale");
  char *end = nullptr;
  double scale = std::strtod(tok, &end);
  if (*end != '\0' || !std::isfinite(scale) || scale == 0.0) return fail("", "the PFM header has an invalid scale");
  h.little_endian = scale < 0.0;
  // Exactly one white-space byte separates the header from the samples.
  if (pos >= n || !is_space(d[pos])) return fail("", "the PFM header is truncated");
  h.data_offset = pos + 1;
  return h;
}

Result<Image> read_pfm(const std::string &path, bool as_rgbe, int threads) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(path, std::string("cannot open: ") + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return fail(path, "not a regular file");

  // The header is short; 256 bytes hold any sensible one.
  unsigned char head[256];
  ssize_t got = ::pread(fd, head, sizeof head, 0);
  if (got < 0) return fail(path, std::string("cannot read: ") + std::strerror(errno));
  auto parsed = parse_pfm_header(head, size_t(got));
  if (!parsed) return fail(path, parsed.failure().reason);
  const PfmHeader h = parsed.value();

  const int64_t row_floats = int64_t(h.width) * h.channels;
  int64_t need = 0;
  if (__builtin_mul_overflow(row_floats * 4, int64_t(h.height), &need) ||
      need > int64_t(st.st_size) - int64_t(h.data_offset))
    return fail(path, "the PFM file is shorter than its " + std::to_string(h.width) + " x " + std::to_string(h.height) +
                          " header says");
  if (Status size = check_declared_size("PFM", h.width, h.height, 0, 0, 0); !size)
    return fail(path, size.failure().reason);

  Image img;
  img.width = h.width;
  img.height = h.height;
  img.spp = h.channels;
  img.type = SampleType::F32;
  img.kind = h.channels == 3 ? "PFM float RGB" : "PFM float grey";

  const bool swap = h.little_endian != (std::endian::native == std::endian::little);
  const size_t row_bytes = size_t(row_floats) * 4;
  // Image row y (row 0 at the top) is stored as the file's row height − 1 − y.
  auto read_row = [&](int y, unsigned char *dst) -> bool {
    const off_t off = off_t(h.data_offset) + off_t(h.height - 1 - y) * off_t(row_bytes);
    size_t done = 0;
    while (done < row_bytes) {
      ssize_t k = ::pread(fd, dst + done, row_bytes - done, off + off_t(done));
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) return false;
      done += size_t(k);
    }
    if (swap) {
      uint32_t *p = reinterpret_cast<uint32_t *>(dst);
      for (int64_t i = 0; i < row_floats; ++i) p[i] = __builtin_bswap32(p[i]);
    }
    return true;
  };
  auto truncated = [&](int y) { return fail(path, "the PFM file is truncated at row " + std::to_string(y)); };

  if (as_rgbe && h.width > 4 && h.height > 4) {
    img.type = SampleType::RGBE;
    img.pixels = Buffer::allocate(int64_t(h.width) * h.height, 4, true);
    Buffer strip = Buffer::allocate(kRgbeStripCapacity, int64_t(row_bytes), true);
    if (!img.pixels || !strip) return fail(path, "not enough memory for the image");
    for (int64_t y0 = 0; y0 < h.height;) {
      const int64_t rows = rgbe_strip_rows(y0, h.height);
      for (int64_t y = y0; y < y0 + rows; ++y)
        if (!read_row(int(y), strip.data() + size_t(y - y0) * row_bytes)) return truncated(int(y));
      const auto t0 = std::chrono::steady_clock::now();
      const int r = encode_rgbe_rows(strip.as<float>(), h.width, int(rows), h.channels,
                                     img.pixels.data() + y0 * h.width * 4, threads);
      img.encode_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (r < 0) return fail(path, "cannot encode the image as RGBE (code " + std::to_string(r) + ")");
      y0 += rows;
    }
    return img;
  }

  img.pixels = Buffer::allocate(int64_t(h.width) * h.height, int64_t(h.channels) * 4);
  if (!img.pixels) return fail(path, "not enough memory for the image");
  for (int y = 0; y < h.height; ++y)
    if (!read_row(y, img.pixels.data() + size_t(y) * row_bytes)) return truncated(y);
  return img;
}

}  // namespace brightloom
