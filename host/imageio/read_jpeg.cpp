// SPDX-License-Identifier: MIT
// JPEG reader over libjpeg-turbo's decompressor.
#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <sys/stat.h>

#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "read_jpeg.h"

namespace brightloom {
namespace {

struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  char warning[JMSG_LENGTH_MAX];
  bool warned = false;
};

void on_error(j_common_ptr cinfo) {
  auto *em = reinterpret_cast<ErrorManager *>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, em->message);
  longjmp(em->jump, 1);
}

// libjpeg reports damaged data (a truncated file, a bad Huffman code) as a warning and goes on
// with grey blocks; a frame with made-up blocks would spoil the merge, so the first one is kept
// and the read fails.
void on_message(j_common_ptr cinfo, int level) {
  auto *em = reinterpret_cast<ErrorManager *>(cinfo->err);
  if (level < 0 && !em->warned) {
    (*cinfo->err->format_message)(cinfo, em->warning);
    em->warned = true;
  }
}

// A baseline scan spends at least two bits per 8x8 block (a DC difference and an end of
// block), six blocks for every 16x16 pixels in 4:2:0: 768 sample bytes in 1.5 file bytes.
// Progressive scans can skip runs of blocks in a few bits, so their declarations are bounded
// by the gigapixel limit alone.
constexpr int kBaselineMaxRatio = 1024;

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};

// Free of C++ objects with destructors alive across libjpeg calls: errors arrive by longjmp.
const char *decode(FILE *fp, int64_t file_bytes, ErrorManager &em, Image &img, unsigned char *volatile *pixels,
                   unsigned char *volatile *icc, unsigned *icc_len, bool &as_is, char *reason, size_t reason_size) {
  jpeg_decompress_struct cinfo;
  cinfo.err = jpeg_std_error(&em.pub);
  em.pub.error_exit = on_error;
  em.pub.emit_message = on_message;
  if (setjmp(em.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return em.message;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, fp);
  jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);  // ICC profile chunks
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) {
    jpeg_destroy_decompress(&cinfo);
    as_is = true;
    std::snprintf(reason, reason_size, "CMYK JPEG files are print separations, not camera frames");
    return reason;
  }
  const Status size = check_declared_size("JPEG", cinfo.image_width, cinfo.image_height,
                                          double(cinfo.image_width) * cinfo.image_height * cinfo.num_components,
                                          file_bytes, cinfo.progressive_mode ? 0 : kBaselineMaxRatio);
  if (!size) {
    jpeg_destroy_decompress(&cinfo);
    as_is = true;
    std::snprintf(reason, reason_size, "%s", size.failure().reason.c_str());
    return reason;
  }
  JOCTET *profile = nullptr;
  unsigned int profile_len = 0;
  if (jpeg_read_icc_profile(&cinfo, &profile, &profile_len) && profile) {
    *icc = profile;
    *icc_len = profile_len;
  }
  cinfo.out_color_space = cinfo.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&cinfo);
  const int channels = cinfo.output_components;
  img.width = int(cinfo.output_width);
  img.height = int(cinfo.output_height);
  img.spp = channels;
  const size_t row = size_t(img.width) * channels;
  *pixels = static_cast<unsigned char *>(std::malloc(row * size_t(img.height)));
  if (!*pixels) {
    jpeg_destroy_decompress(&cinfo);
    as_is = true;
    std::snprintf(reason, reason_size, "not enough memory for the image");
    return reason;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW r = *pixels + size_t(cinfo.output_scanline) * row;
    jpeg_read_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  if (em.warned) {
    std::snprintf(reason, reason_size, "the JPEG data is damaged (%s)", em.warning);
    as_is = true;
    return reason;
  }
  return nullptr;
}

}  // namespace

bool is_jpeg(const unsigned char *head, size_t n) { return n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF; }

Result<Image> read_jpeg(const std::string &path) {
  std::unique_ptr<FILE, FileCloser> fp(std::fopen(path.c_str(), "rb"));
  if (!fp) return fail(path, std::string("cannot open: ") + std::strerror(errno));
  struct stat info {};
  const int64_t file_bytes = ::fstat(::fileno(fp.get()), &info) == 0 ? int64_t(info.st_size) : 0;
  ErrorManager em;
  Image img;
  unsigned char *volatile pixels = nullptr;
  unsigned char *volatile icc = nullptr;
  unsigned icc_len = 0;
  bool as_is = false;
  char reason[JMSG_LENGTH_MAX + 64];
  const char *err = decode(fp.get(), file_bytes, em, img, &pixels, &icc, &icc_len, as_is, reason, sizeof reason);
  std::unique_ptr<unsigned char, decltype(&std::free)> own_pixels(pixels, &std::free), own_icc(icc, &std::free);
  if (err) return fail(path, as_is ? std::string(err) : std::string("cannot read the JPEG file: ") + err);
  img.type = SampleType::U8;
  img.pixels = Buffer::allocate(img.pixel_count(), img.spp);
  if (!img.pixels) return fail(path, "not enough memory for the image");
  std::memcpy(img.pixels.data(), own_pixels.get(), size_t(img.pixel_count()) * img.spp);
  if (icc && icc_len > 0) img.icc.assign(icc, icc + icc_len);
  img.kind = img.spp == 3 ? "JPEG 8-bit RGB" : "JPEG 8-bit grey";
  return img;
}

}  // namespace brightloom
