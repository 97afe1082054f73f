// SPDX-License-Identifier: MIT
// OpenEXR reader: half, float or uint channels R, G, B (or Y alone, or luminance/chroma)
// into interleaved floats. Alpha and other channels are left out: the engine tone-maps colour.
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfRgbaFile.h>
#include <ImfStandardAttributes.h>
#include <ImfThreading.h>
#include <ImfArray.h>
#include <ImfStdIO.h>
#include <ImfVersion.h>
#include <sys/stat.h>

#include <tmlib/tmlib.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "image.h"
#include "rgbe_rows.h"

namespace brightloom {
namespace {

const char *pixel_type_name(Imf::PixelType t) {
  switch (t) {
    case Imf::HALF:
      return "half";
    case Imf::FLOAT:
      return "float";
    case Imf::UINT:
      return "uint";
    default:
      return "?";
  }
}

// Luminance/chroma files have no R, G, B channels: let the library's RGBA interface convert.
Result<Image> read_via_rgba(const std::string &path, Image img) {
  Imf::RgbaInputFile in(path.c_str());
  const Imath::Box2i dw = in.dataWindow();
  const int64_t w = img.width;
  Imf::Array2D<Imf::Rgba> row(1, w);
  for (int y = dw.min.y; y <= dw.max.y; ++y) {
    in.setFrameBuffer(&row[0][0] - dw.min.x - int64_t(y) * w, 1, w);
    in.readPixels(y);
    float *dst = img.pixels.as<float>() + int64_t(y - dw.min.y) * w * 3;
    for (int64_t x = 0; x < w; ++x) {
      dst[3 * x + 0] = row[0][x].r;
      dst[3 * x + 1] = row[0][x].g;
      dst[3 * x + 2] = row[0][x].b;
    }
  }
  return img;
}

// Interleaved float slices of R, G and B, or of Y alone, at base (the address of the data
// window's origin) with the given strides; channels the file lacks read as 0.
Imf::FrameBuffer float_frame_buffer(char *base, int spp, size_t xs, size_t ys) {
  Imf::FrameBuffer fb;
  if (spp == 3) {
    const char *names[3] = {"R", "G", "B"};
    for (int c = 0; c < 3; ++c)
      fb.insert(names[c], Imf::Slice(Imf::FLOAT, base + c * sizeof(float), xs, ys, 1, 1, 0.0));
  } else {
    fb.insert("Y", Imf::Slice(Imf::FLOAT, base, xs, ys, 1, 1, 0.0));
  }
  return fb;
}

// Reads strips of float rows and encodes each as RGBE rows at once, so that the whole image is
// never held as floats: 4 bytes per pixel instead of 16 at the peak. The encoding is the
// engine's own (the one the renderer applies to a float image), row by row.
Status read_strips_as_rgbe(Imf::InputFile &in, const Imath::Box2i &dw, Image &img, int threads) {
  const int64_t w = img.width, h = img.height;
  const int spp = img.spp;
  Buffer strip = Buffer::allocate(w * kRgbeStripCapacity, int64_t(spp) * sizeof(float), true);
  if (!strip) return fail("", "not enough memory for the image");
  const size_t xs = sizeof(float) * spp;
  const size_t ys = xs * size_t(w);
  for (int64_t y0 = 0; y0 < h;) {
    const int64_t rows = rgbe_strip_rows(y0, h);
    char *base = reinterpret_cast<char *>(strip.data()) - int64_t(dw.min.x) * int64_t(xs) -
                 (int64_t(dw.min.y) + y0) * int64_t(ys);
    in.setFrameBuffer(float_frame_buffer(base, spp, xs, ys));
    in.readPixels(int(dw.min.y + y0), int(dw.min.y + y0 + rows - 1));
    const auto t0 = std::chrono::steady_clock::now();
    const int r = encode_rgbe_rows(strip.as<float>(), int(w), int(rows), spp, img.pixels.data() + y0 * w * 4, threads);
    img.encode_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r < 0) return fail("", "cannot encode the image as RGBE (code " + std::to_string(r) + ")");
    y0 += rows;
  }
  return Status::success();
}

// The declared size, from the header alone: the library sizes its line tables and buffers
// from the data window as it opens the file, before a reader could look at it.
Status check_exr_size(const std::string &path) {
  Imf::StdIFStream is(path.c_str());
  char head[8];
  is.read(head, sizeof head);
  if (!Imf::isImfMagic(head)) return Status::success();  // the library will say what is wrong
  int version = int(uint32_t(uint8_t(head[4])) | uint32_t(uint8_t(head[5])) << 8 | uint32_t(uint8_t(head[6])) << 16 |
                    uint32_t(uint8_t(head[7])) << 24);
  Imf::Header hdr;
  hdr.readFrom(is, version);
  const Imath::Box2i dw = hdr.dataWindow();
  const int64_t w = int64_t(dw.max.x) - dw.min.x + 1, h = int64_t(dw.max.y) - dw.min.y + 1;
  double bits = 0;
  for (auto c = hdr.channels().begin(); c != hdr.channels().end(); ++c)
    bits += (c.channel().type == Imf::HALF ? 16.0 : 32.0) /
            (std::max(1, c.channel().xSampling) * std::max(1, c.channel().ySampling));
  // Coders with a known highest ratio: run-length 128 bytes in 2; deflate 258 bytes in 2 bits
  // (after PXR24 has cut floats to 24 bits). Others are held to the pixel limit alone.
  int ratio = 0;
  switch (hdr.compression()) {
    case Imf::NO_COMPRESSION:
      ratio = 1;
      break;
    case Imf::RLE_COMPRESSION:
      ratio = 64;
      break;
    case Imf::ZIPS_COMPRESSION:
    case Imf::ZIP_COMPRESSION:
      ratio = 1032;
      break;
    case Imf::PXR24_COMPRESSION:
      ratio = 1376;
      break;
    default:
      break;
  }
  struct stat st {};
  const int64_t file_bytes = ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : 0;
  return check_declared_size("OpenEXR", w, h, double(w) * double(h) * bits / 8.0, file_bytes, ratio);
}

}  // namespace

Result<Image> read_exr(const std::string &path, int threads, bool as_rgbe) {
  try {
    static std::once_flag once;
    std::call_once(once, [threads] { Imf::setGlobalThreadCount(threads > 1 ? threads : 0); });

    if (Status size = check_exr_size(path); !size) return fail(path, size.failure().reason);
    Imf::InputFile in(path.c_str());
    const Imf::Header &hdr = in.header();
    const Imath::Box2i dw = hdr.dataWindow();
    const int64_t w = int64_t(dw.max.x) - dw.min.x + 1;
    const int64_t h = int64_t(dw.max.y) - dw.min.y + 1;
    if (w <= 0 || h <= 0 || w > INT32_MAX || h > INT32_MAX)
      return fail(path, "the OpenEXR data window is empty or too large");

    const Imf::ChannelList &ch = hdr.channels();
    const Imf::Channel *r = ch.findChannel("R");
    const Imf::Channel *g = ch.findChannel("G");
    const Imf::Channel *b = ch.findChannel("B");
    const Imf::Channel *yc = ch.findChannel("Y");
    const bool chroma = ch.findChannel("RY") != nullptr || ch.findChannel("BY") != nullptr;

    Image img;
    img.width = int(w);
    img.height = int(h);
    img.type = SampleType::F32;
    std::string kind = "OpenEXR";

    const Imf::Channel *any = r ? r : (g ? g : (b ? b : yc));
    if (any == nullptr) return fail(path, "the OpenEXR file has no R, G, B or Y channel");
    if (any->xSampling != 1 || any->ySampling != 1) {
      if (!(yc && chroma)) return fail(path, "subsampled OpenEXR channels are not supported");
    }
    kind += std::string(" ") + pixel_type_name(any->type);

    if (r || g || b) {
      img.spp = 3;
      kind += " RGB";
    } else if (yc && chroma) {
      img.spp = 3;
      kind += " luminance/chroma";
    } else {
      img.spp = 1;
      kind += " Y";
    }
    img.kind = kind;
    if (Imf::hasChromaticities(hdr)) {
      const Imf::Chromaticities &c = Imf::chromaticities(hdr);
      img.adopt_primaries(
          Chromaticities{c.red.x, c.red.y, c.green.x, c.green.y, c.blue.x, c.blue.y, c.white.x, c.white.y},
          "the file's chromaticities attribute");
    }
    if (as_rgbe && (r || g || b || !chroma) && w > 4 && h > 4) {
      img.type = SampleType::RGBE;
      img.pixels = Buffer::allocate(w * h, 4, true);
      if (!img.pixels) return fail(path, "not enough memory for the image");
      Status st = read_strips_as_rgbe(in, dw, img, threads);
      if (!st) return fail(path, st.failure().reason);
      return img;
    }
    img.pixels = Buffer::allocate(w * h, int64_t(img.spp) * sizeof(float), true);
    if (!img.pixels) return fail(path, "not enough memory for the image");

    if (img.spp == 3 && !(r || g || b)) return read_via_rgba(path, std::move(img));

    // Slices address the whole data window; missing channels of an RGB file are filled with 0.
    const size_t xs = sizeof(float) * img.spp;
    const size_t ys = xs * size_t(w);
    char *base =
        reinterpret_cast<char *>(img.pixels.data()) - int64_t(dw.min.x) * int64_t(xs) - int64_t(dw.min.y) * int64_t(ys);
    in.setFrameBuffer(float_frame_buffer(base, img.spp, xs, ys));
    in.readPixels(dw.min.y, dw.max.y);
    return img;
  } catch (const std::bad_alloc &) {
    return fail(path, "not enough memory for the image");
  } catch (const std::exception &e) {
    return fail(path, std::string("cannot read the OpenEXR file: ") + e.what());
  }
}

}  // namespace brightloom
