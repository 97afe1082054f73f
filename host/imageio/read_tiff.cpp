// SPDX-License-Identifier: MIT
// TIFF reader: 32-bit and 16-bit (half) float, LogLuv, 16-bit and 8-bit grey or RGB, stripped
// or tiled, contiguous or planar. Extra samples (alpha) are dropped. 16-bit samples are scaled
// to 0..32768.
#include <half.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "icc.h"
#include "image.h"
#include "rgbe_rows.h"
#include "tiff_errors.h"

namespace brightloom {
namespace {

thread_local std::string g_tiff_error;
thread_local int g_tiff_errno = 0;

void on_tiff_error(const char *module, const char *fmt, va_list ap) {
  if (g_tiff_error.empty()) g_tiff_errno = errno;
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  g_tiff_error = module ? std::string(module) + ": " + buf : std::string(buf);
}

void on_tiff_warning(const char *, const char *, va_list) {}

struct TiffCloser {
  void operator()(TIFF *t) const { TIFFClose(t); }
};

// Copies the first `keep` of `stride` interleaved samples of n pixels, converting each.
template <class In, class Out, class Conv>
void take_samples(const In *src, int64_t n, int stride, int keep, Out *dst, Conv conv) {
  for (int64_t i = 0; i < n; ++i)
    for (int c = 0; c < keep; ++c) dst[i * keep + c] = conv(src[i * stride + c]);
}

uint16_t scale16(uint16_t v) { return uint16_t((uint32_t(v) * 32768u + 32767u) / 65535u); }

// Sample i of a row of float samples of `bytes` bytes each: 4 for IEEE single, 2 for half.
float float_sample(const unsigned char *raw, int64_t i, int bytes) {
  if (bytes == 2) {
    uint16_t bits;
    std::memcpy(&bits, raw + i * 2, 2);
    half h;
    h.setBits(bits);
    return float(h);
  }
  float v;
  std::memcpy(&v, raw + i * 4, 4);
  return v;
}

// The LogLuv codec delivers CIE XYZ. Its writers (ImageMagick, pfstools, Luminance HDR) take
// XYZ relative to a D65 white, so the pixels become linear Rec. 709/sRGB by the standard matrix.
void xyz_to_rgb(float *p, int64_t n) {
  for (int64_t i = 0; i < n; ++i, p += 3) {
    const float x = p[0], y = p[1], z = p[2];
    p[0] = 3.2404542f * x - 1.5371385f * y - 0.4985314f * z;
    p[1] = -0.9692660f * x + 1.8760108f * y + 0.0415560f * z;
    p[2] = 0.0556434f * x - 0.2040259f * y + 1.0572252f * z;
  }
}

}  // namespace

void install_tiff_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(on_tiff_error);
    TIFFSetWarningHandler(on_tiff_warning);
  });
}

std::string take_tiff_error(int *error) {
  if (error) *error = g_tiff_errno;
  std::string s = std::move(g_tiff_error);
  g_tiff_error.clear();
  g_tiff_errno = 0;
  return s;
}

Result<Image> read_tiff(const std::string &path, bool as_rgbe, int threads) {
  install_tiff_handlers();
  take_tiff_error();
  std::unique_ptr<TIFF, TiffCloser> tif(TIFFOpen(path.c_str(), "r"));
  auto tiff_fail = [&](const std::string &what) {
    std::string detail = take_tiff_error();
    return fail(path, detail.empty() ? what : what + " (" + detail + ")");
  };
  if (!tif) return tiff_fail("cannot open the TIFF file");

  uint32_t w = 0, h = 0;
  uint16_t spp = 1, bps = 1, fmt = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG, photo = 0;
  TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &fmt);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_PLANARCONFIG, &planar);
  if (!TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photo))
    photo = spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  // LogLuv (colour) and LogL (grey) files: their codec decodes to 32-bit floats when asked to,
  // XYZ or Y, and then reports float samples.
  const bool logluv = photo == PHOTOMETRIC_LOGLUV || photo == PHOTOMETRIC_LOGL;
  if (logluv) {
    if (TIFFSetField(tif.get(), TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT) != 1)
      return tiff_fail("cannot decode the LogLuv TIFF file");
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &fmt);
  }

  if (w == 0 || h == 0 || w > INT32_MAX || h > INT32_MAX) return fail(path, "the TIFF file has no valid image size");
  {
    // Uncompressed samples must all be in the file; the coders with a known highest ratio
    // bound the rest (PackBits 128 bytes in 2; LZW under 4,096 bytes a code of 9 bits or more;
    // deflate 258 bytes in 2 bits). Others are held to the pixel limit alone.
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_COMPRESSION, &compression);
    int ratio = 0;
    switch (compression) {
      case COMPRESSION_NONE:
        ratio = 1;
        break;
      case COMPRESSION_PACKBITS:
        ratio = 64;
        break;
      case COMPRESSION_LZW:
        ratio = 3641;
        break;
      case COMPRESSION_ADOBE_DEFLATE:
      case COMPRESSION_DEFLATE:
        ratio = 1032;
        break;
      default:
        break;
    }
    struct stat st {};
    const int64_t file_bytes = ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : 0;
    if (Status size = check_declared_size("TIFF", w, h, double(w) * h * spp * bps / 8.0, file_bytes, ratio); !size)
      return fail(path, size.failure().reason);
  }
  const int keep = photo == PHOTOMETRIC_RGB || photo == PHOTOMETRIC_LOGLUV ? 3 : 1;
  if ((photo != PHOTOMETRIC_RGB && photo != PHOTOMETRIC_MINISBLACK && !logluv) || spp < keep)
    return fail(path, "only grey and RGB TIFF files are supported");

  Image img;
  img.width = int(w);
  img.height = int(h);
  img.spp = keep;
  std::string what = keep == 3 ? " RGB" : " grey";
  if (logluv) {
    if (fmt != SAMPLEFORMAT_IEEEFP || bps != 32) return fail(path, "the LogLuv TIFF file cannot be decoded as floats");
    img.type = SampleType::F32;
    img.kind = photo == PHOTOMETRIC_LOGLUV ? "TIFF LogLuv RGB" : "TIFF LogL grey";
  } else if (fmt == SAMPLEFORMAT_IEEEFP && (bps == 32 || bps == 16)) {
    img.type = SampleType::F32;
    img.kind = (bps == 32 ? "TIFF 32-bit float" : "TIFF 16-bit half float") + what;
  } else if (fmt == SAMPLEFORMAT_UINT && bps == 16) {
    img.type = SampleType::U16;
    img.kind = "TIFF 16-bit" + what;
  } else if (fmt == SAMPLEFORMAT_UINT && bps == 8) {
    img.type = SampleType::U8;
    img.kind = "TIFF 8-bit" + what;
  } else {
    return fail(path, "TIFF samples of " + std::to_string(bps) + " bits (format " + std::to_string(fmt) +
                          ") are not supported; use 32- or 16-bit float, 16 or 8 bits");
  }
  const int bytes = bps / 8;
  const int64_t n = img.pixel_count();

  uint32_t icc_len = 0;
  void *icc = nullptr;
  if (TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &icc_len, &icc) && icc && icc_len > 0)
    img.icc.assign(static_cast<unsigned char *>(icc), static_cast<unsigned char *>(icc) + icc_len);
  // A float file's profile (a 32-bit document's working space) gives the primaries of its
  // linear samples.
  Chromaticities named;
  if (img.type == SampleType::F32 && profile_primaries(img.icc, named))
    img.adopt_primaries(named, "the file's ICC profile");

  // Decode into one interleaved row of all samples, then keep the colour ones.
  const bool separate = planar == PLANARCONFIG_SEPARATE && spp > 1;

  // Float rows of a stripped, contiguous file go to RGBE strip by strip.
  if (as_rgbe && img.type == SampleType::F32 && !separate && !TIFFIsTiled(tif.get()) && w > 4 && h > 4) {
    const tmsize_t ssize = TIFFScanlineSize(tif.get());
    if (ssize <= 0 || ssize < tmsize_t(int64_t(w) * spp * bytes))
      return fail(path, "the TIFF scanline size is inconsistent");
    img.type = SampleType::RGBE;
    img.pixels = Buffer::allocate(n, 4, true);
    Buffer line = Buffer::allocate(ssize, 1);
    Buffer strip = Buffer::allocate(kRgbeStripCapacity * int64_t(w), int64_t(keep) * 4, true);
    if (!img.pixels || !line || !strip) return fail(path, "not enough memory for the image");
    for (int64_t y0 = 0; y0 < int64_t(h);) {
      const int64_t rows = rgbe_strip_rows(y0, h);
      for (int64_t y = y0; y < y0 + rows; ++y) {
        if (TIFFReadScanline(tif.get(), line.data(), uint32_t(y), 0) < 0)
          return tiff_fail("cannot read TIFF row " + std::to_string(y));
        float *dst = strip.as<float>() + (y - y0) * int64_t(w) * keep;
        for (int64_t x = 0; x < int64_t(w); ++x)
          for (int c = 0; c < keep; ++c) dst[x * keep + c] = float_sample(line.data(), x * spp + c, bytes);
        if (photo == PHOTOMETRIC_LOGLUV) xyz_to_rgb(dst, int64_t(w));
      }
      const auto t0 = std::chrono::steady_clock::now();
      const int r =
          encode_rgbe_rows(strip.as<float>(), int(w), int(rows), keep, img.pixels.data() + y0 * w * 4, threads);
      img.encode_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (r < 0) return fail(path, "cannot encode the image as RGBE (code " + std::to_string(r) + ")");
      y0 += rows;
    }
    return img;
  }

  // Half floats are widened: the image holds 32-bit floats whatever the file's float width.
  img.pixels = Buffer::allocate(n, int64_t(keep) * (img.type == SampleType::F32 ? 4 : bytes), true);
  if (!img.pixels) return fail(path, "not enough memory for the image");
  const int stride = separate ? 1 : spp;
  auto store_row = [&](const unsigned char *raw, int64_t x0, int64_t count, int64_t y, int plane) {
    const int k = separate ? 1 : keep;
    for (int64_t i = 0; i < count; ++i) {
      for (int c = 0; c < k; ++c) {
        const int dc = separate ? plane : c;
        const int64_t di = ((y * w) + x0 + i) * keep + dc;
        const int64_t si = i * stride + c;
        switch (img.type) {
          case SampleType::F32:
            img.pixels.as<float>()[di] = float_sample(raw, si, bytes);
            break;
          case SampleType::U16: {
            uint16_t v;
            std::memcpy(&v, raw + si * 2, 2);
            img.pixels.as<uint16_t>()[di] = scale16(v);
            break;
          }
          default:
            img.pixels.data()[di] = raw[si];
            break;
        }
      }
    }
  };
  const int planes = separate ? keep : 1;

  if (TIFFIsTiled(tif.get())) {
    uint32_t tw = 0, th = 0;
    TIFFGetField(tif.get(), TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif.get(), TIFFTAG_TILELENGTH, &th);
    const tmsize_t tsize = TIFFTileSize(tif.get());
    if (tw == 0 || th == 0 || tsize <= 0) return fail(path, "the TIFF file has invalid tiles");
    if (int64_t(tw) * th * stride * bytes > tsize) return fail(path, "the TIFF tile size is inconsistent");
    Buffer tile = Buffer::allocate(tsize, 1);
    if (!tile) return fail(path, "not enough memory for a TIFF tile");
    for (int p = 0; p < planes; ++p)
      for (uint32_t ty = 0; ty < h; ty += th)
        for (uint32_t tx = 0; tx < w; tx += tw) {
          if (TIFFReadTile(tif.get(), tile.data(), tx, ty, 0, uint16_t(p)) < 0)
            return tiff_fail("cannot read TIFF tile at " + std::to_string(tx) + "," + std::to_string(ty));
          const uint32_t cw = std::min(tw, w - tx), chh = std::min(th, h - ty);
          for (uint32_t r = 0; r < chh; ++r)
            store_row(tile.data() + int64_t(r) * tw * stride * bytes, tx, cw, ty + r, p);
        }
  } else {
    const tmsize_t ssize = TIFFScanlineSize(tif.get());
    if (ssize <= 0 || ssize < tmsize_t(int64_t(w) * stride * bytes))
      return fail(path, "the TIFF scanline size is inconsistent");
    Buffer line = Buffer::allocate(ssize, 1);
    if (!line) return fail(path, "not enough memory for a TIFF row");
    for (int p = 0; p < planes; ++p)
      for (uint32_t y = 0; y < h; ++y) {
        if (TIFFReadScanline(tif.get(), line.data(), y, uint16_t(p)) < 0)
          return tiff_fail("cannot read TIFF row " + std::to_string(y));
        store_row(line.data(), 0, w, y, p);
      }
  }
  if (photo == PHOTOMETRIC_LOGLUV) xyz_to_rgb(img.pixels.as<float>(), n);
  return img;
}

}  // namespace brightloom
