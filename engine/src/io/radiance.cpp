// SPDX-License-Identifier: MIT
// Radiance picture files: the header scan and the two pixel readers, one working on the
// whole file in memory and one working straight from the file.
//
// Every byte of the file is hostile. Both readers check each count against what is left
// before they copy, so a truncated or malformed file ends in a negative code, never in a
// read past the data; all offsets are 64-bit, so a header that declares a huge picture
// cannot wrap an index. On truncated pixel data both readers give the same codes: -1 where
// a packet code is expected, -2 anywhere else (row header, literal bytes, repeated byte,
// flat row).
#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <memory>
#include <new>

#include "core/checked_size.h"
#include "core/scratch_file.h"
#include "core/status.h"
#include "tmlib/rgbe.h"

namespace tmlib {
namespace testing {
// Test seam: when set, the in-memory reader behaves as if the file buffer could not be
// allocated, so the fall-back to the disk reader can be exercised.
bool fail_radiance_file_buffer = false;
// Test seam: when set, the in-memory reader decodes run-length rows as on processors without
// AVX2, so that both decoders are tested on any machine.
bool radiance_without_avx2 = false;
}  // namespace testing

namespace {

constexpr int kHeaderLineSmallFileBytes = 12801;  // below this the line limit follows the size
constexpr int kHeaderBytesPerLine = 128;
constexpr int kHeaderMaxLines = 100;
// A small valid picture (16 x 16 run-length pixels fit in 239 bytes) would otherwise get a
// single header line; its magic, format, blank and resolution lines need at least four.
constexpr int kHeaderMinLines = 16;
constexpr int kDimLineBuffer = 128;   // rgbe_dim2 reads at most 127 characters per line
constexpr int kDiskLineBuffer = 129;  // decomp2 reads at most 128
constexpr int kRleMaxLiteral = 128;   // codes 1..128 are literals, 129..255 repeats
constexpr int kBlock = 16;
constexpr int kPrimariesFlag = 32;

constexpr float kDefaultPrimaries[8] = {0.648431f, 0.330856f, 0.321152f, 0.597871f,
                                        0.155886f, 0.066044f, 0.3101f,   0.3162f};

using scratch::File;

// Only regular files are pictures: a directory opens for reading on Linux and would fail
// later with a confusing code, a pipe cannot be positioned.
File open_picture(const char *path) {
  if (path == nullptr) return nullptr;
  File f(std::fopen(path, "rb"));
  if (!f) return nullptr;
  struct stat st;
  if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  return f;
}

// Size of the file by seeking to its end, then back to the start; -1 when either seek fails.
std::int64_t measure_file(std::FILE *f) {
  if (fseeko(f, 0, SEEK_END) != 0) return -1;
  const off_t size = ftello(f);
  if (size < 0 || fseeko(f, 0, SEEK_SET) != 0) return -1;
  return static_cast<std::int64_t>(size);
}

int header_lines_by_size(std::int64_t fileSize) {
  return fileSize < kHeaderLineSmallFileBytes ? static_cast<int>(fileSize / kHeaderBytesPerLine) : kHeaderMaxLines;
}

int header_line_limit(std::int64_t fileSize) {
  const int bySize = header_lines_by_size(fileSize);
  return bySize > kHeaderMinLines ? bySize : kHeaderMinLines;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A decimal integer as scanf's %d reads it (leading white space, optional sign, digits), but
// a number outside the int range is refused instead of wrapping.
bool scan_int(const char *&p, const char *end, int &value) {
  while (p < end && is_space(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  if (p == end || *p < '0' || *p > '9') return false;
  std::int64_t v = 0;
  while (p < end && *p >= '0' && *p <= '9') {
    v = v * 10 + (*p++ - '0');
    if (v > static_cast<std::int64_t>(INT_MAX) + 1) return false;
  }
  if (negative) v = -v;
  if (v > INT_MAX || v < INT_MIN) return false;
  value = static_cast<int>(v);
  return true;
}

// The resolution line "-Y <height> +X <width>" matched as scanf matches that pattern: the
// spaces of the pattern stand for any white space, none included. [p, end) bounds the text.
bool scan_resolution(const char *p, const char *end, int &height, int &width) {
  auto literal = [&](char c) {
    if (p == end || *p != c) return false;
    ++p;
    return true;
  };
  auto spaces = [&] {
    while (p < end && is_space(*p)) ++p;
  };
  if (!literal('-') || !literal('Y')) return false;
  if (!scan_int(p, end, height)) return false;
  spaces();
  if (!literal('+') || !literal('X')) return false;
  return scan_int(p, end, width);
}

// Numbers in header lines are written with a decimal point whatever locale the host runs in.
locale_t c_numeric_locale() {
  static const locale_t loc = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

// "PRIMARIES=" followed by eight numbers, as scanf's %f reads them.
bool scan_primaries(const char *line, float (&values)[8]) {
  static constexpr char kTag[] = "PRIMARIES=";
  if (std::strncmp(line, kTag, sizeof kTag - 1) != 0) return false;
  const char *p = line + sizeof kTag - 1;
  const locale_t loc = c_numeric_locale();
  if (loc == static_cast<locale_t>(nullptr)) return false;
  float read[8];
  for (float &v : read) {
    char *next = nullptr;
    v = strtof_l(p, &next, loc);
    if (next == p) return false;
    p = next;
  }
  std::memcpy(values, read, sizeof read);
  return true;
}

struct HeaderInfo {
  int line = -1;  // index of the resolution line among the lines read
  int width = 0;
  int height = 0;
  bool primaries = false;
  float primaryValues[8] = {};
};

// Reads header lines from the start of f up to the line limit, at most lineBuffer - 1
// characters per read. Gives 0, kErrShortIo when a line cannot be read, or kErrDims when no
// resolution line with two positive sizes lies within the limit. Leaves f just after the
// characters of the resolution line's read.
int scan_header(std::FILE *f, std::int64_t fileSize, int lineBuffer, HeaderInfo &info) {
  char buf[kDiskLineBuffer];
  const int limit = header_line_limit(fileSize);
  for (int line = 0; line < limit; ++line) {
    // A file that ends within the lines granted beyond the size rule has no resolution line
    // where that rule looks for one, as before.
    if (std::fgets(buf, lineBuffer, f) == nullptr)
      return line >= header_lines_by_size(fileSize) ? kErrDims : kErrShortIo;
    if (scan_primaries(buf, info.primaryValues)) info.primaries = true;
    int h = 0, w = 0;
    if (scan_resolution(buf, buf + std::strlen(buf), h, w)) {
      if (h <= 0 || w <= 0) return kErrDims;
      info.line = line;
      info.height = h;
      info.width = w;
      return kOk;
    }
  }
  return kErrDims;
}

struct FileSource {
  std::FILE *f;
  bool byte(unsigned char &b) {
    const int c = getc_unlocked(f);
    if (c == EOF) return false;
    b = static_cast<unsigned char>(c);
    return true;
  }
  bool bytes(unsigned char *dst, std::size_t n) { return fread_unlocked(dst, 1, n, f) == n; }
};

bool is_rle_start(const unsigned char *p, std::int64_t available) {
  return available >= 3 && p[0] == 2 && p[1] == 2 && p[2] < 128;
}

// New-style run-length rows, read from the file. Each row's components are laid out one
// after the other, which is exactly the scanline-planar row, so packets land directly in the
// output. Unlike the in-memory reader, this one refuses a row header whose width byte has its
// top bit set.
int read_rle_rows(FileSource &src, int width, int height, unsigned char *out) {
  const std::int64_t w = width;
  for (std::int64_t y = 0; y < height; ++y) {
    unsigned char header[4];
    if (!src.bytes(header, 4)) return kErrShortIo;
    if ((header[2] & 0x80) != 0) return kErrRunCode;
    if (((static_cast<int>(header[2]) << 8) | header[3]) != width) return kErrNoMemory;
    unsigned char *dst = out + 4 * w * y;
    for (int component = 0; component < 4; ++component) {
      std::int64_t left = w;
      while (left > 0) {
        unsigned char code;
        if (!src.byte(code)) return kErrOpen;
        if (code == 0) return kErrRunCode;
        if (code > kRleMaxLiteral) {
          const int count = code - kRleMaxLiteral;
          if (count > left) return kErrRunRepeat;
          unsigned char value;
          if (!src.byte(value)) return kErrShortIo;
          std::memset(dst, value, static_cast<std::size_t>(count));
          dst += count;
          left -= count;
        } else {
          if (code > left) return kErrRunCode;
          if (!src.bytes(dst, code)) return kErrShortIo;
          dst += code;
          left -= code;
        }
      }
    }
  }
  return height;
}

// The in-memory reader's run-length rows on processors without AVX2: the checks of
// read_rle_rows, with packets copied in whole 16-byte blocks (the first two always) wherever both the data and the
// output have a full packet's 128 bytes left. Blocks may run past their packet into bytes of the output that later
// packets write in order, so on success every byte holds its own packet's value; copies of variable length cost several
// times more on the short packets that photographs are made of.
int read_rle_rows_blocks(const unsigned char *p, const unsigned char *end, int width, int height, unsigned char *out) {
  const std::int64_t w = width;
  const unsigned char *const outEnd = out + 4 * w * height;
  for (std::int64_t y = 0; y < height; ++y) {
    if (end - p < 4) return kErrShortIo;
    if (((static_cast<int>(p[2]) << 8) | p[3]) != width) return kErrNoMemory;
    p += 4;
    unsigned char *dst = out + 4 * w * y;
    for (int component = 0; component < 4; ++component) {
      std::int64_t left = w;
      while (left > 0) {
        if (p == end) return kErrOpen;
        const int code = *p++;
        if (code == 0) return kErrRunCode;
        const bool roomy = outEnd - dst >= kRleMaxLiteral;
        if (code > kRleMaxLiteral) {
          const int count = code - kRleMaxLiteral;
          if (count > left) return kErrRunRepeat;
          if (p == end) return kErrShortIo;
          const unsigned char value = *p++;
          if (roomy) {
            std::memset(dst, value, 2 * kBlock);
            for (int i = 2 * kBlock; i < count; i += kBlock) std::memset(dst + i, value, kBlock);
          } else {
            std::memset(dst, value, static_cast<std::size_t>(count));
          }
          dst += count;
          left -= count;
        } else {
          if (code > left) return kErrRunCode;
          if (end - p < code) return kErrShortIo;
          if (roomy && end - p >= kRleMaxLiteral) {
            std::memcpy(dst, p, 2 * kBlock);
            for (int i = 2 * kBlock; i < code; i += kBlock) std::memcpy(dst + i, p + i, kBlock);
          } else {
            std::memcpy(dst, p, static_cast<std::size_t>(code));
          }
          p += code;
          dst += code;
          left -= code;
        }
      }
    }
  }
  return height;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TMLIB_RLE_WIDE 1
#else
#define TMLIB_RLE_WIDE 0
#endif

#if TMLIB_RLE_WIDE
using Wide = unsigned char __attribute__((vector_size(32)));

// The code after a packet's: two bytes on for a repeat, code + 1 for a literal. Chosen with a
// conditional move straight on the code: the packet kind is unpredictable, compilers turn a
// plain selection back into a branch, whose mispredictions cost more than the whole step, and
// this choice is the chain that every packet waits for.
[[gnu::always_inline]] inline const unsigned char *next_packet(const unsigned char *p, unsigned code) {
  const unsigned char *next = p + code + 1;
  const unsigned char *const afterRepeat = p + 2;
  __asm__("cmp %[lit], %[c]\n\tcmova %[a], %[n]"
          : [n] "+r"(next)
          : [c] "r"(code), [lit] "i"(kRleMaxLiteral), [a] "r"(afterRepeat)
          : "cc");
  return next;
}

// The in-memory reader's run-length rows with AVX2: the checks of read_rle_rows, with a fast
// step for every component that lies far from both the end of the data and the end of the
// output.
// Photographs are made of short packets, literals and repeats mixed in no order the processor
// can predict, so the fast step does not branch on the packet kind or length: it always loads
// the 128 bytes after the code, always stores 128 bytes, either those bytes or the first one
// repeated, and advances by the real count. Stores run past their packet into bytes of the
// output that later packets write in order, so on success every byte holds its own packet's
// value. Near either end each packet is checked and copied byte-exactly.
__attribute__((target("avx2"))) int read_rle_rows_wide(const unsigned char *p, const unsigned char *end, int width,
                                                       int height, unsigned char *out) {
  const std::int64_t w = width;
  const unsigned char *const outEnd = out + 4 * w * height;
  for (std::int64_t y = 0; y < height; ++y) {
    if (end - p < 4) return kErrShortIo;
    if (((static_cast<int>(p[2]) << 8) | p[3]) != width) return kErrNoMemory;
    p += 4;
    unsigned char *dst = out + 4 * w * y;
    for (int component = 0; component < 4; ++component) {
      unsigned char *const componentEnd = dst + w;
      // A component's packets take at most two bytes of data per pixel, and the fast step
      // reads up to 1 + kRleMaxLiteral bytes from its code on and writes kRleMaxLiteral bytes
      // from its position on: when both fit, no packet of this component needs its own bound.
      if (end - p > 2 * w + kRleMaxLiteral + 1 && outEnd - componentEnd >= kRleMaxLiteral) {
        while (dst < componentEnd) {
          // Arithmetic rather than comparisons, so that the compiler cannot turn the packet
          // kind into a branch: codes 129..255 are repeats, 0..128 literals.
          const unsigned code = p[0];
          const unsigned repeat = (code + (255 - kRleMaxLiteral)) >> 8;
          const unsigned count = code - (repeat << 7);
          // count - 1 wraps for code 0, so one comparison refuses both faults.
          if (count - 1 >= static_cast<std::uint64_t>(componentEnd - dst)) {
            return repeat != 0 ? kErrRunRepeat : kErrRunCode;
          }
          const Wide same = Wide{} + p[1];
          const Wide kind = Wide{} + static_cast<unsigned char>(0u - repeat);  // all ones: repeat
          for (int i = 0; i < kRleMaxLiteral; i += static_cast<int>(sizeof(Wide))) {
            Wide literal;
            std::memcpy(&literal, p + 1 + i, sizeof literal);
            const Wide v = kind ? same : literal;
            std::memcpy(dst + i, &v, sizeof v);
          }
          p = next_packet(p, code);
          dst += count;
        }
        continue;
      }
      while (dst < componentEnd) {
        if (p == end) return kErrOpen;
        const int code = *p++;
        if (code == 0) return kErrRunCode;
        const std::int64_t left = componentEnd - dst;
        if (code > kRleMaxLiteral) {
          const int count = code - kRleMaxLiteral;
          if (count > left) return kErrRunRepeat;
          if (p == end) return kErrShortIo;
          std::memset(dst, *p++, static_cast<std::size_t>(count));
          dst += count;
        } else {
          if (code > left) return kErrRunCode;
          if (end - p < code) return kErrShortIo;
          std::memcpy(dst, p, static_cast<std::size_t>(code));
          p += code;
          dst += code;
        }
      }
    }
  }
  return height;
}
#endif

// Both run-length decoders give the same codes and pixels. With AVX2 the branch-free one
// decodes photographs a sixth to a quarter faster; without it the block decoder is the faster,
// as the branch-free step needs one instruction per 32-byte move to pay off.
int read_rle_rows_memory(const unsigned char *p, const unsigned char *end, int width, int height, unsigned char *out) {
#if TMLIB_RLE_WIDE
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2 && !testing::radiance_without_avx2) return read_rle_rows_wide(p, end, width, height, out);
#endif
  return read_rle_rows_blocks(p, end, width, height, out);
}

// Flat pixels are interleaved R, G, B, E; the buffer wants each row's four planes.
void spread_flat_row(const unsigned char *pixels, std::int64_t w, unsigned char *row) {
  unsigned char *r = row;
  unsigned char *g = row + w;
  unsigned char *b = row + 2 * w;
  unsigned char *e = row + 3 * w;
  for (std::int64_t x = 0; x < w; ++x) {
    r[x] = pixels[4 * x];
    g[x] = pixels[4 * x + 1];
    b[x] = pixels[4 * x + 2];
    e[x] = pixels[4 * x + 3];
  }
}

bool dims_usable(const std::int32_t *dims) {
  return dims != nullptr && dims[TMLIB_RD_WIDTH] > 0 && dims[TMLIB_RD_HEIGHT] > 0;
}

int dim2_impl(const char *path, float *primaries, std::int32_t *dims) {
  File f = open_picture(path);
  if (!f) return kErrOpen;
  const std::int64_t size = measure_file(f.get());
  if (size < 0) return kErrOpen;
  HeaderInfo info;
  const int rc = scan_header(f.get(), size, kDimLineBuffer, info);
  if (rc != kOk) return rc;
  if (dims != nullptr) {
    dims[TMLIB_RD_WIDTH] = info.width;
    dims[TMLIB_RD_HEIGHT] = info.height;
    // The record holds 32 bits; a larger file is marked by the largest value, which the
    // in-memory reader takes as "measure the file yourself".
    dims[TMLIB_RD_FILE_SIZE] = size > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(size);
    if (info.primaries) dims[TMLIB_RD_PRIMARIES_FLAG] = kPrimariesFlag;
  }
  if (primaries != nullptr) {
    const bool flagged = dims != nullptr ? dims[TMLIB_RD_PRIMARIES_FLAG] > 0 : info.primaries;
    for (int i = 0; i < 8; ++i) {
      primaries[i] = !flagged ? 0.0f : info.primaries ? info.primaryValues[i] : kDefaultPrimaries[i];
    }
  }
  return info.line;
}

int decomp2_impl(const char *path, const std::int32_t *dims, unsigned char *out) {
  File file = open_picture(path);
  if (!file) return kErrOpen;
  std::FILE *f = file.get();
  if (!dims_usable(dims) || out == nullptr) return kErrDims;
  const int width = dims[TMLIB_RD_WIDTH];
  const int height = dims[TMLIB_RD_HEIGHT];
  const std::int64_t size = measure_file(f);
  if (size < 0) return kErrOpen;
  HeaderInfo info;
  const int rc = scan_header(f, size, kDiskLineBuffer, info);
  if (rc != kOk) return rc;
  if (info.width != width || info.height != height) return kErrDims;

  const off_t dataStart = ftello(f);
  if (dataStart < 0) return kErrOpen;
  auto peek = try_new<unsigned char>(4);
  if (!peek) return kErrNoMemory;
  if (std::fread(peek.get(), 1, 4, f) != 4) return kErrShortIo;
  if (fseeko(f, dataStart, SEEK_SET) != 0) return kErrOpen;

  if (is_rle_start(peek.get(), 4)) {
    FileSource src{f};
    return read_rle_rows(src, width, height, out);
  }

  const std::int64_t rowBytes = 4 * static_cast<std::int64_t>(width);
  // A row the file cannot hold is a short read; checking first keeps a hostile width from
  // allocating more than the file's size.
  if (size - dataStart < rowBytes) return kErrShortIo;
  auto row = try_new<unsigned char>(rowBytes);
  if (!row) return kErrNoMemory;
  for (std::int64_t y = 0; y < height; ++y) {
    if (std::fread(row.get(), 1, static_cast<std::size_t>(rowBytes), f) != static_cast<std::size_t>(rowBytes)) {
      return kErrShortIo;
    }
    spread_flat_row(row.get(), width, out + rowBytes * y);
  }
  return height;
}

// The first resolution line of the buffer: at its start or right after a newline.
const char *find_resolution(const char *buf, const char *end, int &height, int &width) {
  const char *p = buf;
  while (p < end) {
    if (*p == '-' && scan_resolution(p, end, height, width)) return p;
    const void *nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    if (nl == nullptr) return nullptr;
    p = static_cast<const char *>(nl) + 1;
  }
  return nullptr;
}

int decode_memory(const unsigned char *buf, std::int64_t n, int width, int height, unsigned char *out) {
  const char *text = reinterpret_cast<const char *>(buf);
  const char *end = text + n;
  int h = 0, w = 0;
  const char *res = find_resolution(text, end, h, w);
  if (res == nullptr || h != height || w != width) return kErrDims;

  // The data begins after the newline that ends the resolution line.
  const char *from = res + 5;
  if (from >= end) return kErrShortIo;
  const void *nl = std::memchr(from, '\n', static_cast<std::size_t>(end - from));
  if (nl == nullptr) return kErrShortIo;
  const unsigned char *data = reinterpret_cast<const unsigned char *>(nl) + 1;
  const unsigned char *dataEnd = buf + n;
  const std::int64_t pixelBytes = 4 * static_cast<std::int64_t>(width) * height;
  // Some writers leave an empty line after the resolution line. A newline there is skipped
  // only when what follows it is pixel data; a flat picture whose first red mantissa
  // happens to be 10 keeps that byte.
  if (data < dataEnd && *data == '\n') {
    const unsigned char *next = data + 1;
    if (is_rle_start(next, dataEnd - next) || dataEnd - next >= pixelBytes) data = next;
  }

  if (is_rle_start(data, dataEnd - data)) {
    return read_rle_rows_memory(data, dataEnd, width, height, out);
  }
  const std::int64_t rowBytes = 4 * static_cast<std::int64_t>(width);
  for (std::int64_t y = 0; y < height; ++y) {
    if (dataEnd - data < rowBytes) return kErrShortIo;
    spread_flat_row(data, width, out + rowBytes * y);
    data += rowBytes;
  }
  return height;
}

int decomp_rle_impl(const char *path, const std::int32_t *dims, unsigned char *out) {
  File file = open_picture(path);
  if (!file) return kErrOpen;
  if (!dims_usable(dims) || out == nullptr) return kErrDims;
  std::int64_t n = dims[TMLIB_RD_FILE_SIZE];
  if (n <= 0) return kErrDims;
  struct stat st;
  if (fstat(fileno(file.get()), &st) != 0) return kErrOpen;
  if (n == INT32_MAX && st.st_size > n) n = st.st_size;
  // A file shorter than the record cannot be read whole; finding that out before allocating
  // keeps a wrong record from costing up to 2 GB.
  if (st.st_size < n) return kErrShortIo;

  std::unique_ptr<unsigned char[]> buf;
  if (!testing::fail_radiance_file_buffer && static_cast<std::uint64_t>(n) <= SIZE_MAX) {
    buf = try_new<unsigned char>(n);
  }
  if (!buf) {
    std::printf("could not allocate %lld bytes - will try reading from disk\n", static_cast<long long>(n));
    file.reset();
    return decomp2_impl(path, dims, out);
  }
  if (std::fread(buf.get(), 1, static_cast<std::size_t>(n), file.get()) != static_cast<std::size_t>(n)) {
    return kErrShortIo;
  }
  file.reset();
  return decode_memory(buf.get(), n, dims[TMLIB_RD_WIDTH], dims[TMLIB_RD_HEIGHT], out);
}

}  // namespace
}  // namespace tmlib

extern "C" {

TMLIB_API int rgbe_dim2(const char *path, float *primaries, int32_t *dims) {
  try {
    return tmlib::dim2_impl(path, primaries, dims);
  } catch (...) {
    return tmlib::kErrNoMemory;
  }
}

TMLIB_API int decomp_rle(const char *path, const int32_t *dims, unsigned char *out) {
  try {
    return tmlib::decomp_rle_impl(path, dims, out);
  } catch (...) {
    return tmlib::kErrNoMemory;
  }
}

TMLIB_API int decomp2(const char *path, const int32_t *dims, unsigned char *out) {
  try {
    return tmlib::decomp2_impl(path, dims, out);
  } catch (...) {
    return tmlib::kErrNoMemory;
  }
}

}  // extern "C"
