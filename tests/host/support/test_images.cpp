// SPDX-License-Identifier: MIT
#include "support/test_images.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <ImfStandardAttributes.h>
#include <half.h>
#include <lcms2.h>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
// jpeglib.h needs FILE declared first.
#include <jpeglib.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace testing_host {
namespace fs = std::filesystem;
using brightloom::Image;
using brightloom::SampleType;

void write_exr_rgb(const std::string &path, int w, int h, const std::vector<float> &rgb, bool half,
                   const brightloom::Chromaticities *ch) {
  Imf::Header hdr(w, h);
  if (ch)
    Imf::addChromaticities(
        hdr, Imf::Chromaticities(Imath::V2f(ch->red_x, ch->red_y), Imath::V2f(ch->green_x, ch->green_y),
                                 Imath::V2f(ch->blue_x, ch->blue_y), Imath::V2f(ch->white_x, ch->white_y)));
  const Imf::PixelType t = half ? Imf::HALF : Imf::FLOAT;
  for (const char *c : {"R", "G", "B"}) hdr.channels().insert(c, Imf::Channel(t));
  Imf::OutputFile out(path.c_str(), hdr);
  Imf::FrameBuffer fb;
  std::vector<::half> hv;
  if (half) {
    hv.assign(rgb.begin(), rgb.end());
    const size_t xs = 3 * sizeof(::half);
    for (int c = 0; c < 3; ++c)
      fb.insert(std::string(1, "RGB"[c]), Imf::Slice(Imf::HALF, reinterpret_cast<char *>(hv.data() + c), xs, xs * w));
  } else {
    const size_t xs = 3 * sizeof(float);
    for (int c = 0; c < 3; ++c)
      fb.insert(std::string(1, "RGB"[c]),
                Imf::Slice(Imf::FLOAT, reinterpret_cast<char *>(const_cast<float *>(rgb.data() + c)), xs, xs * w));
  }
  out.setFrameBuffer(fb);
  out.writePixels(h);
}

void write_exr_window(const std::string &path, int x0, int y0, int w, int h, const std::vector<float> &rgb) {
  Imath::Box2i display(Imath::V2i(0, 0), Imath::V2i(x0 + w + 3, y0 + h + 3));
  Imath::Box2i data(Imath::V2i(x0, y0), Imath::V2i(x0 + w - 1, y0 + h - 1));
  Imf::Header hdr(display, data);
  for (const char *c : {"R", "G", "B"}) hdr.channels().insert(c, Imf::Channel(Imf::FLOAT));
  Imf::OutputFile out(path.c_str(), hdr);
  Imf::FrameBuffer fb;
  const size_t xs = 3 * sizeof(float), ys = xs * w;
  char *base = reinterpret_cast<char *>(const_cast<float *>(rgb.data())) - x0 * int64_t(xs) - y0 * int64_t(ys);
  for (int c = 0; c < 3; ++c)
    fb.insert(std::string(1, "RGB"[c]), Imf::Slice(Imf::FLOAT, base + c * sizeof(float), xs, ys));
  out.setFrameBuffer(fb);
  out.writePixels(h);
}

void write_exr_y(const std::string &path, int w, int h, const std::vector<float> &y) {
  Imf::Header hdr(w, h);
  hdr.channels().insert("Y", Imf::Channel(Imf::FLOAT));
  Imf::OutputFile out(path.c_str(), hdr);
  Imf::FrameBuffer fb;
  fb.insert("Y", Imf::Slice(Imf::FLOAT, reinterpret_cast<char *>(const_cast<float *>(y.data())), sizeof(float),
                            sizeof(float) * w));
  out.setFrameBuffer(fb);
  out.writePixels(h);
}

void write_tiff(const std::string &path, int w, int h, int spp, int bits, bool is_float, const void *data,
                const std::vector<unsigned char> &icc, bool tiled) {
  TIFF *t = TIFFOpen(path.c_str(), "w");
  if (!t) throw std::runtime_error("TIFFOpen failed");
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(w));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(h));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(spp));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(bits));
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, uint16_t(is_float ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT));
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t(spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
  if (spp == 4) {
    uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t(1), &extra);
  }
  if (!icc.empty()) TIFFSetField(t, TIFFTAG_ICCPROFILE, uint32_t(icc.size()), icc.data());
  const size_t row = size_t(w) * spp * (bits / 8);
  const auto *bytes = static_cast<const unsigned char *>(data);
  if (tiled) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, uint32_t(16));
    TIFFSetField(t, TIFFTAG_TILELENGTH, uint32_t(16));
    std::vector<unsigned char> tile(size_t(16) * 16 * spp * (bits / 8));
    const size_t px = size_t(spp) * (bits / 8);
    for (int ty = 0; ty < h; ty += 16)
      for (int tx = 0; tx < w; tx += 16) {
        std::fill(tile.begin(), tile.end(), 0);
        for (int y = ty; y < std::min(h, ty + 16); ++y)
          for (int x = tx; x < std::min(w, tx + 16); ++x)
            std::memcpy(&tile[(size_t(y - ty) * 16 + (x - tx)) * px], bytes + y * row + x * px, px);
        TIFFWriteTile(t, tile.data(), uint32_t(tx), uint32_t(ty), 0, 0);
      }
  } else {
    for (int y = 0; y < h; ++y) TIFFWriteScanline(t, const_cast<unsigned char *>(bytes + y * row), uint32_t(y), 0);
  }
  TIFFClose(t);
}

void write_png(const std::string &path, int w, int h, int spp, int bits, const void *data,
               const std::vector<unsigned char> &icc) {
  FILE *f = std::fopen(path.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  const int ct = spp == 1 ? PNG_COLOR_TYPE_GRAY : spp == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGBA;
  png_set_IHDR(png, info, w, h, bits, ct, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!icc.empty()) png_set_iCCP(png, info, "test", 0, icc.data(), png_uint_32(icc.size()));
  png_write_info(png, info);
  if (bits == 16) png_set_swap(png);
  const size_t row = size_t(w) * spp * (bits / 8);
  for (int y = 0; y < h; ++y)
    png_write_row(png, const_cast<png_bytep>(static_cast<const unsigned char *>(data) + y * row));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

void write_pfm(const std::string &path, int w, int h, int channels, const std::vector<float> &top_down,
               bool little_endian) {
  FILE *f = std::fopen(path.c_str(), "wb");
  std::fprintf(f, "%s\n%d %d\n%s\n", channels == 3 ? "PF" : "Pf", w, h, little_endian ? "-1.0" : "1.0");
  for (int y = h - 1; y >= 0; --y)
    for (int i = 0; i < w * channels; ++i) {
      float v = top_down[size_t(y) * w * channels + i];
      uint32_t u;
      std::memcpy(&u, &v, 4);
      if (!little_endian) u = __builtin_bswap32(u);
      std::fwrite(&u, 4, 1, f);
    }
  std::fclose(f);
}

void write_bytes(const std::string &path, const std::string &bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

void write_logluv_tiff(const std::string &path, int w, int h, int spp, const std::vector<float> &linear) {
  TIFF *t = TIFFOpen(path.c_str(), "w");
  if (!t) throw std::runtime_error("TIFFOpen failed");
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(w));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(h));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(spp));
  TIFFSetField(t, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_SGILOG));
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t(spp == 3 ? PHOTOMETRIC_LOGLUV : PHOTOMETRIC_LOGL));
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
  TIFFSetField(t, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(4));
  std::vector<float> row(size_t(w) * spp);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const float *p = &linear[(size_t(y) * w + x) * spp];
      float *q = &row[size_t(x) * spp];
      if (spp == 1) {
        q[0] = p[0];
      } else {  // linear Rec. 709/sRGB to XYZ, D65 white
        q[0] = 0.4124564f * p[0] + 0.3575761f * p[1] + 0.1804375f * p[2];
        q[1] = 0.2126729f * p[0] + 0.7151522f * p[1] + 0.0721750f * p[2];
        q[2] = 0.0193339f * p[0] + 0.1191920f * p[1] + 0.9503041f * p[2];
      }
    }
    TIFFWriteScanline(t, row.data(), uint32_t(y), 0);
  }
  TIFFClose(t);
}

namespace {

std::vector<float> decode(const uint16_t *s16, const unsigned char *s8, int bits, int spp, size_t pixels,
                          const std::vector<unsigned char> &icc, const std::vector<unsigned char> &target) {
  std::vector<float> out(pixels * spp, -1.0f);
  cmsHPROFILE src = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
  cmsHPROFILE dst = cmsOpenProfileFromMem(target.data(), cmsUInt32Number(target.size()));
  if (src && dst) {
    const cmsUInt32Number in =
        spp == 3 ? (bits == 16 ? TYPE_RGB_16 : TYPE_RGB_8) : (bits == 16 ? TYPE_GRAY_16 : TYPE_GRAY_8);
    const cmsUInt32Number outf = spp == 3 ? TYPE_RGB_FLT : TYPE_GRAY_FLT;
    cmsHTRANSFORM t = cmsCreateTransform(src, in, dst, outf, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
    if (t) {
      if (bits == 16)
        cmsDoTransform(t, s16, out.data(), cmsUInt32Number(pixels));
      else
        cmsDoTransform(t, s8, out.data(), cmsUInt32Number(pixels));
      cmsDeleteTransform(t);
    }
  }
  if (src) cmsCloseProfile(src);
  if (dst) cmsCloseProfile(dst);
  return out;
}

}  // namespace

std::vector<float> decode_through_profile(const ReadBack &r, const std::vector<unsigned char> &target) {
  std::vector<unsigned char> s8(r.samples.begin(), r.samples.end());
  return decode(r.samples.data(), s8.data(), r.bits, r.spp, size_t(r.width) * r.height, r.icc, target);
}

std::vector<float> decode_through_profile(const brightloom::Picture &pic, const std::vector<unsigned char> &target) {
  return decode(pic.pixels.as<uint16_t>(), pic.pixels.data(), pic.bits, pic.spp, size_t(pic.width) * pic.height,
                pic.icc, target);
}

std::vector<unsigned char> without_creation_time(std::vector<unsigned char> icc) {
  if (icc.size() >= 36) std::fill(icc.begin() + 24, icc.begin() + 36, 0);
  return icc;
}

ReadBack read_png_back(const std::string &path) {
  ReadBack r;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return r;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_read_info(png, info);
  r.width = int(png_get_image_width(png, info));
  r.height = int(png_get_image_height(png, info));
  r.bits = png_get_bit_depth(png, info);
  r.spp = png_get_channels(png, info);
  png_charp name;
  int comp;
  png_bytep prof;
  png_uint_32 len;
  if (png_get_iCCP(png, info, &name, &comp, &prof, &len)) r.icc.assign(prof, prof + len);
  if (r.bits == 16) png_set_swap(png);
  const size_t row = png_get_rowbytes(png, info);
  std::vector<unsigned char> buf(row * r.height);
  for (int y = 0; y < r.height; ++y) png_read_row(png, buf.data() + y * row, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  const size_t n = size_t(r.width) * r.height * r.spp;
  r.samples.resize(n);
  for (size_t i = 0; i < n; ++i) r.samples[i] = r.bits == 16 ? uint16_t(buf[2 * i] | (buf[2 * i + 1] << 8)) : buf[i];
  return r;
}

ReadBack read_tiff_back(const std::string &path) {
  ReadBack r;
  TIFF *t = TIFFOpen(path.c_str(), "r");
  if (!t) return r;
  uint32_t w = 0, h = 0;
  uint16_t spp = 0, bps = 0;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
  r.width = int(w);
  r.height = int(h);
  r.spp = spp;
  r.bits = bps;
  uint32_t len = 0;
  void *prof = nullptr;
  if (TIFFGetField(t, TIFFTAG_ICCPROFILE, &len, &prof))
    r.icc.assign(static_cast<unsigned char *>(prof), static_cast<unsigned char *>(prof) + len);
  std::vector<unsigned char> line(TIFFScanlineSize(t));
  for (uint32_t y = 0; y < h; ++y) {
    TIFFReadScanline(t, line.data(), y, 0);
    for (size_t i = 0; i < size_t(w) * spp; ++i) {
      uint16_t v = line[i];
      if (bps == 16) std::memcpy(&v, &line[2 * i], 2);
      r.samples.push_back(v);
    }
  }
  TIFFClose(t);
  return r;
}

ReadBack read_jpeg_back(const std::string &path) {
  ReadBack r;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return r;
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, f);
  jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&cinfo, TRUE);
  JOCTET *prof = nullptr;
  unsigned int len = 0;
  if (jpeg_read_icc_profile(&cinfo, &prof, &len)) {
    r.icc.assign(prof, prof + len);
    std::free(prof);
  }
  jpeg_start_decompress(&cinfo);
  r.width = int(cinfo.output_width);
  r.height = int(cinfo.output_height);
  r.spp = cinfo.output_components;
  r.bits = 8;
  std::vector<unsigned char> line(size_t(r.width) * r.spp);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = line.data();
    jpeg_read_scanlines(&cinfo, &row, 1);
    r.samples.insert(r.samples.end(), line.begin(), line.end());
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  std::fclose(f);
  return r;
}

Image reduce(const Image &img, int step) {
  Image out;
  out.width = (img.width + step - 1) / step;
  out.height = (img.height + step - 1) / step;
  out.spp = img.spp;
  out.type = img.type;
  out.kind = img.kind;
  out.icc = img.icc;
  if (img.type == SampleType::RGBE) {
    out.pixels = brightloom::Buffer::allocate(out.pixel_count(), 4);
    for (int y = 0; y < out.height; ++y)
      for (int c = 0; c < 4; ++c)
        for (int x = 0; x < out.width; ++x)
          out.pixels.data()[(size_t(y) * out.width * 4) + size_t(c) * out.width + x] =
              img.pixels.data()[(size_t(y) * step * img.width * 4) + size_t(c) * img.width + size_t(x) * step];
    return out;
  }
  const size_t bytes = img.type == SampleType::F32 ? 4 : img.type == SampleType::U16 ? 2 : 1;
  const size_t px = bytes * img.spp;
  out.pixels = brightloom::Buffer::allocate(out.pixel_count(), int64_t(px));
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x)
      std::memcpy(out.pixels.data() + (size_t(y) * out.width + x) * px,
                  img.pixels.data() + (size_t(y) * step * img.width + size_t(x) * step) * px, px);
  return out;
}

PictureStats picture_stats(const brightloom::Picture &pic) {
  PictureStats s;
  const size_t n = size_t(pic.width) * pic.height * pic.spp;
  const double maxv = pic.bits == 16 ? 65535.0 : 255.0;
  double sum = 0, sq = 0, clipped = 0;
  for (size_t i = 0; i < n; ++i) {
    const double v = pic.bits == 16 ? pic.pixels.as<uint16_t>()[i] : pic.pixels.data()[i];
    sum += v;
    sq += v * v;
    if (v == 0 || v == maxv) clipped += 1;
  }
  s.mean = sum / double(n) * (255.0 / maxv);
  s.stddev = std::sqrt(std::max(0.0, sq / double(n) - (sum / double(n)) * (sum / double(n)))) * (255.0 / maxv);
  s.clipped = clipped / double(n);
  return s;
}

}  // namespace testing_host
