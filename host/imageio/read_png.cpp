// SPDX-License-Identifier: MIT
// PNG reader: 16- and 8-bit grey or RGB (palettes and low bit depths expanded, alpha dropped).
// 16-bit samples are scaled to 0..32768.
#include <png.h>

#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "image.h"
#include "png_errors.h"

namespace brightloom {
namespace {

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};

// Deflate's highest ratio: a 258-byte match in two one-bit codes.
constexpr int kDeflateMaxRatio = 1032;

// Everything between png_create and png_destroy lives here, free of C++ objects with
// destructors alive across a libpng call, because libpng reports errors by longjmp.
// as_is: the message is a complete reason, not libpng's words.
const char *decode(FILE *fp, int64_t file_bytes, PngState &st, Image &img, Buffer &rows_out, bool &as_is) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &st, on_png_error, on_png_warning);
  if (!png) return "cannot initialise the PNG reader";
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return "cannot initialise the PNG reader";
  }
  // Assigned after setjmp and freed after a longjmp: only a volatile object keeps its value.
  png_bytep *volatile rows = nullptr;
  if (setjmp(png_jmpbuf(png))) {
    std::free(rows);
    png_destroy_read_struct(&png, &info, nullptr);
    return st.message;
  }
  png_init_io(png, fp);
  png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
  png_read_info(png, info);
  png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  int depth = png_get_bit_depth(png, info), ctype = png_get_color_type(png, info);
  // Before libpng sets up its rows: each is a filter byte and the packed samples, deflated.
  bool refused = false;
  {
    const double row = 1.0 + std::ceil(double(w) * png_get_channels(png, info) * depth / 8.0);
    const Status size = check_declared_size("PNG", w, h, double(h) * row, file_bytes, kDeflateMaxRatio);
    if (!size) {
      std::snprintf(st.message, sizeof st.message, "%s", size.failure().reason.c_str());
      refused = true;
    }
  }
  if (refused) {
    png_destroy_read_struct(&png, &info, nullptr);
    as_is = true;
    return st.message;
  }

  png_charp name = nullptr;
  int comp = 0;
  png_bytep prof = nullptr;
  png_uint_32 plen = 0;
  if (png_get_iCCP(png, info, &name, &comp, &prof, &plen) && prof && plen > 0) img.icc.assign(prof, prof + plen);

  if (ctype == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (ctype == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  png_set_strip_alpha(png);
  if (depth == 16 && std::endian::native == std::endian::little) png_set_swap(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);

  const int channels = png_get_channels(png, info);
  const int out_depth = png_get_bit_depth(png, info);
  img.width = int(w);
  img.height = int(h);
  img.spp = channels >= 3 ? 3 : 1;
  img.type = out_depth == 16 ? SampleType::U16 : SampleType::U8;
  const int bytes = out_depth == 16 ? 2 : 1;
  const size_t rowbytes = png_get_rowbytes(png, info);
  if (channels != img.spp || rowbytes != size_t(w) * channels * bytes) {
    png_destroy_read_struct(&png, &info, nullptr);
    return "unexpected PNG layout after conversion";
  }
  rows_out = Buffer::allocate(int64_t(w) * h, int64_t(channels) * bytes);
  rows = static_cast<png_bytep *>(std::malloc(sizeof(png_bytep) * h));
  if (!rows_out || !rows) {
    std::free(rows);
    png_destroy_read_struct(&png, &info, nullptr);
    as_is = true;
    return "not enough memory for the image";
  }
  for (png_uint_32 y = 0; y < h; ++y) rows[y] = rows_out.data() + size_t(y) * rowbytes;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  std::free(rows);
  png_destroy_read_struct(&png, &info, nullptr);
  return nullptr;
}

}  // namespace

Result<Image> read_png(const std::string &path) {
  std::unique_ptr<FILE, FileCloser> fp(std::fopen(path.c_str(), "rb"));
  if (!fp) return fail(path, std::string("cannot open: ") + std::strerror(errno));
  struct stat info {};
  const int64_t file_bytes = ::fstat(::fileno(fp.get()), &info) == 0 ? int64_t(info.st_size) : 0;
  PngState st;
  Image img;
  Buffer pixels;
  bool as_is = false;
  if (const char *err = decode(fp.get(), file_bytes, st, img, pixels, as_is))
    return fail(path, as_is ? std::string(err) : std::string("cannot read the PNG file: ") + err);
  img.pixels = std::move(pixels);
  img.kind =
      std::string("PNG ") + (img.type == SampleType::U16 ? "16-bit" : "8-bit") + (img.spp == 3 ? " RGB" : " grey");
  if (img.type == SampleType::U16) {
    uint16_t *p = img.pixels.as<uint16_t>();
    const int64_t n = img.pixel_count() * img.spp;
    for (int64_t i = 0; i < n; ++i) p[i] = uint16_t((uint32_t(p[i]) * 32768u + 32767u) / 65535u);
  }
  return img;
}

}  // namespace brightloom
