// SPDX-License-Identifier: MIT
// The preview source: a point-sampled reduction of the host's image (extract_rgbe_preview)
// and a full-resolution window of it (extract_zoom).
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cstdint>
#include <memory>
#include <new>

#include "io/rgbe_pixel.h"
#include "core/status.h"
#include "tmlib/preview.h"

namespace {

using tmlib::kErrNoMemory;
using tmlib::kErrOpen;
// extract_zoom's code for a window that does not lie inside the source.
constexpr int kErrWindow = tmlib::kErrShortIo;

// Source kinds of the extraction functions (records.h).
enum SourceKind : int {
  kKindRgbe = TMLIB_SOURCE_RGBE,
  kKindSamples16 = TMLIB_SOURCE_16BIT,
  kKindSamples8 = TMLIB_SOURCE_8BIT,
  kKindFloat = TMLIB_SOURCE_FLOAT
};

// Sides of this many pixels or fewer are refused: such an image is of no use as a preview
// source, and no operator accepts it.
constexpr int kMinSide = 4;

// Float pixels whose largest channel is this small are stored as black rather than with
// an exponent byte near its floor.
constexpr double kFloatBlack = 1e-32;

bool too_small(int a, int b, int c, int d) { return a <= kMinSide || b <= kMinSide || c <= kMinSide || d <= kMinSide; }

// Sample offsets of red, green and blue inside a pixel of spp interleaved samples.
struct Channels {
  std::int64_t r, g, b;
};
Channels channel_choice(int spp) { return {0, (spp - 1) / 2, spp - 1}; }

// What the copy kernels need to know about both buffers. The destination is packed:
// dstWidth pixels per row.
struct Geometry {
  int srcWidth;
  int srcHeight;
  int spp;
  std::int64_t rowStride;  // samples per source row (interleaved kinds)
  int dstWidth;
  int dstHeight;
};

// Source column of each destination column; one table per call, so the inner loops do a
// lookup instead of a multiplication and truncation per pixel.
using ColumnTable = std::unique_ptr<std::int32_t[]>;

ColumnTable allocate_columns(int count) { return ColumnTable(new (std::nothrow) std::int32_t[count]); }

// Checks the sample layout of an interleaved source (kinds 1, 2 and 10) so that no offset
// computed from it can overflow 64 bits: a row shorter than its pixels is refused, and
// rows * stride must be representable on both sides of the copy.
bool usable_layout(const Geometry &g) {
  if (g.spp < 1) return false;
  if (g.rowStride < static_cast<std::int64_t>(g.srcWidth) * g.spp) return false;
  if (g.rowStride > INT64_MAX / g.srcHeight) return false;
  return static_cast<std::int64_t>(g.dstWidth) * g.spp <= INT64_MAX / g.dstHeight;
}

// RGBE scanline-planar to RGBE scanline-planar: each of the four planes of a row is
// gathered through the column table.
template <typename RowOf>
void copy_rgbe(const Geometry &g, const std::int32_t *cols, RowOf rowOf, const std::uint8_t *src, std::uint8_t *dst) {
  const std::int64_t sw = g.srcWidth;
  const std::int64_t dw = g.dstWidth;
  for (int y = 0; y < g.dstHeight; ++y) {
    const std::uint8_t *srow = src + tmlib::rgbe_row_offset(sw, rowOf(y));
    std::uint8_t *drow = dst + tmlib::rgbe_row_offset(dw, y);
    for (int c = 0; c < 4; ++c) {
      const std::uint8_t *s = srow + c * sw;
      std::uint8_t *d = drow + c * dw;
      for (int x = 0; x < g.dstWidth; ++x) d[x] = s[cols[x]];
    }
  }
}

// Interleaved 8- or 16-bit samples to packed 16-bit samples. Only the three chosen
// channels are written; the others keep what the destination held. 8-bit samples are
// widened by 256 so that every later stage sees the 16-bit range.
template <int Shift, typename Sample, typename RowOf>
void copy_samples(const Geometry &g, const std::int32_t *cols, RowOf rowOf, const Sample *src, std::uint16_t *dst) {
  const Channels ch = channel_choice(g.spp);
  const std::int64_t spp = g.spp;
  for (int y = 0; y < g.dstHeight; ++y) {
    const Sample *srow = src + g.rowStride * rowOf(y);
    std::uint16_t *d = dst + static_cast<std::int64_t>(g.dstWidth) * spp * y;
    for (int x = 0; x < g.dstWidth; ++x, d += spp) {
      const Sample *s = srow + cols[x] * spp;
      d[ch.r] = static_cast<std::uint16_t>(s[ch.r] << Shift);
      d[ch.g] = static_cast<std::uint16_t>(s[ch.g] << Shift);
      d[ch.b] = static_cast<std::uint16_t>(s[ch.b] << Shift);
    }
  }
}

// Encodes one float pixel of a preview: black when its largest (cleaned) channel is not
// above 1e-32, else exactly what tmlib::rgbe_encode gives.
//
// The encoder's scale f * 256 / M is, with M = f * 2^e split exactly by frexp, the power
// of two 2^(8 - e): the quotient is exact in double and so is its rounding to float. For
// ordinary pixels (finite, non-negative channels, exponent byte e + 128 within 255) this
// path builds that power from M's exponent bits instead of calling frexp and dividing,
// which is most of the cost of a preview; the products and truncations are the encoder's
// own, so the bytes are identical. Everything else (negative, NaN or infinite channels,
// colours too bright for the exponent byte) goes through rgbe_encode itself.
inline tmlib::RgbePixel encode_preview_pixel(float r, float g, float b) {
  const bool ordinary = r >= 0.0f && r <= FLT_MAX && g >= 0.0f && g <= FLT_MAX && b >= 0.0f && b <= FLT_MAX;
  if (ordinary) {
    float m = r > g ? r : g;
    if (b > m) m = b;
    if (!(m > kFloatBlack)) return {0, 0, 0, 0};
    // m is normal here (1e-32 is far above the subnormals): m = 0.1xxx (binary) * 2^(biased - 126).
    const std::uint32_t biased = std::bit_cast<std::uint32_t>(m) >> 23;
    constexpr std::uint32_t kLargestEncodable = 253;  // exponent byte biased + 2 <= 255
    if (biased <= kLargestEncodable) {
      // s = 2^(8 - e) with e = biased - 126; its float exponent field is 261 - biased.
      const float scale = std::bit_cast<float>((261u - biased) << 23);
      return {static_cast<std::uint8_t>(r * scale), static_cast<std::uint8_t>(g * scale),
              static_cast<std::uint8_t>(b * scale), static_cast<std::uint8_t>(biased + 2)};
    }
    return tmlib::rgbe_encode(r, g, b);
  }
  const float m = std::max({tmlib::rgbe_clean_channel(r), tmlib::rgbe_clean_channel(g), tmlib::rgbe_clean_channel(b)});
  if (!(m > kFloatBlack)) return {0, 0, 0, 0};
  return tmlib::rgbe_encode(r, g, b);
}

// Interleaved floats (rows of srcWidth * spp samples) to RGBE scanline-planar.
template <typename RowOf>
void copy_float(const Geometry &g, const std::int32_t *cols, RowOf rowOf, const float *src, std::uint8_t *dst) {
  const Channels ch = channel_choice(g.spp);
  const std::int64_t spp = g.spp;
  const std::int64_t dw = g.dstWidth;
  for (int y = 0; y < g.dstHeight; ++y) {
    const float *srow = src + g.rowStride * rowOf(y);
    std::uint8_t *d = dst + tmlib::rgbe_row_offset(dw, y);
    for (int x = 0; x < g.dstWidth; ++x) {
      const float *s = srow + cols[x] * spp;
      const tmlib::RgbePixel px = encode_preview_pixel(s[ch.r], s[ch.g], s[ch.b]);
      d[x] = px.r;
      d[dw + x] = px.g;
      d[2 * dw + x] = px.b;
      d[3 * dw + x] = px.e;
    }
  }
}

// Runs the copy of one kind; the callers have refused every other kind.
template <typename RowOf>
void copy_kind(int kind, const Geometry &g, const std::int32_t *cols, RowOf rowOf, const void *src, void *dst) {
  switch (kind) {
    case kKindRgbe:
      copy_rgbe(g, cols, rowOf, static_cast<const std::uint8_t *>(src), static_cast<std::uint8_t *>(dst));
      return;
    case kKindSamples16:
      copy_samples<0>(g, cols, rowOf, static_cast<const std::uint16_t *>(src), static_cast<std::uint16_t *>(dst));
      return;
    case kKindSamples8:
      copy_samples<8>(g, cols, rowOf, static_cast<const std::uint8_t *>(src), static_cast<std::uint16_t *>(dst));
      return;
    case kKindFloat:
      copy_float(g, cols, rowOf, static_cast<const float *>(src), static_cast<std::uint8_t *>(dst));
      return;
    default:
      return;
  }
}

}  // namespace

extern "C" {

TMLIB_API int extract_rgbe_preview(int kind, int srcWidth, int srcHeight, int spp, int64_t rowStride, int dstWidth,
                                   int dstHeight, const void *src, void *dst) {
  if (too_small(srcWidth, srcHeight, dstWidth, dstHeight)) return kErrOpen;
  if (kind != kKindRgbe && kind != kKindSamples16 && kind != kKindSamples8 && kind != kKindFloat) return kErrOpen;
  if (src == nullptr || dst == nullptr) return kErrOpen;
  // Float sources are packed: their rows are srcWidth * spp samples whatever the stride says.
  const std::int64_t stride = kind == kKindFloat ? static_cast<std::int64_t>(srcWidth) * spp : rowStride;
  const Geometry g{srcWidth, srcHeight, spp, stride, dstWidth, dstHeight};
  if (kind != kKindRgbe && !usable_layout(g)) return kErrOpen;

  // Nearest-sample point sampling: destination (x, y) takes source (ratioX * x, ratioY * y),
  // the products in single precision and truncated, clamped to the last column and row.
  const float ratioY = static_cast<float>(srcHeight) / static_cast<float>(dstHeight);
  const float ratioX = static_cast<float>(srcWidth) / static_cast<float>(dstWidth);
  ColumnTable cols = allocate_columns(dstWidth);
  if (!cols) return kErrNoMemory;
  for (int x = 0; x < dstWidth; ++x) {
    const auto sx = static_cast<std::int64_t>(ratioX * static_cast<float>(x));
    cols[x] = static_cast<std::int32_t>(sx >= srcWidth ? srcWidth - 1 : sx);
  }
  auto rowOf = [ratioY, srcHeight](int y) -> std::int64_t {
    const auto sy = static_cast<std::int64_t>(ratioY * static_cast<float>(y));
    return sy >= srcHeight ? srcHeight - 1 : sy;
  };
  copy_kind(kind, g, cols.get(), rowOf, src, dst);
  return dstHeight;
}

TMLIB_API int extract_zoom(int kind, int srcWidth, int srcHeight, int spp, int64_t rowStride, int winWidth,
                           int winHeight, int x0, int y0, const unsigned char *rgbe, const uint16_t *src16,
                           const unsigned char *src8, void *dst) {
  if (too_small(srcWidth, srcHeight, winWidth, winHeight)) return kErrOpen;
  // The whole window must lie inside the source; checking only its origin would let a
  // window near the right or bottom edge read past the source buffer.
  if (x0 < 0 || y0 < 0 || x0 >= srcWidth || y0 >= srcHeight) return kErrWindow;
  if (static_cast<std::int64_t>(x0) + winWidth > srcWidth || static_cast<std::int64_t>(y0) + winHeight > srcHeight)
    return kErrWindow;
  const void *src = nullptr;
  switch (kind) {
    case kKindRgbe:
      src = rgbe;
      break;
    case kKindSamples16:
      src = src16;
      break;
    case kKindSamples8:
      src = src8;
      break;
    default:
      return kind;  // unrecognised kind: nothing written
  }
  if (src == nullptr || dst == nullptr) return kErrOpen;
  const Geometry g{srcWidth, srcHeight, spp, rowStride, winWidth, winHeight};
  if (kind != kKindRgbe && !usable_layout(g)) return kErrOpen;

  ColumnTable cols = allocate_columns(winWidth);
  if (!cols) return kErrNoMemory;
  for (int x = 0; x < winWidth; ++x) cols[x] = x0 + x;
  auto rowOf = [y0](int y) -> std::int64_t { return static_cast<std::int64_t>(y0) + y; };
  copy_kind(kind, g, cols.get(), rowOf, src, dst);
  return winHeight;
}

}  // extern "C"
