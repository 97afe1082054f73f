// SPDX-License-Identifier: MIT
// JPEG writer: 8-bit grey or RGB at the given quality, with the ICC profile (APP2 markers).
#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <unistd.h>

#include <csetjmp>
#include <cstring>
#include <cerrno>

#include "image.h"

namespace brightloom {
namespace {

struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  int error = 0;  // errno when the error was raised: a failed write leaves its cause there
};

void on_jpeg_error(j_common_ptr cinfo) {
  auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
  err->error = errno;
  (*cinfo->err->format_message)(cinfo, err->message);
  longjmp(err->jump, 1);
}

// Free of C++ objects with destructors: errors arrive by longjmp.
const char *encode(FILE *fp, ErrorManager &em, const Picture &pic, int quality) {
  jpeg_compress_struct cinfo;
  cinfo.err = jpeg_std_error(&em.pub);
  em.pub.error_exit = on_jpeg_error;
  if (setjmp(em.jump)) {
    jpeg_destroy_compress(&cinfo);
    return em.message;
  }
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, fp);
  cinfo.image_width = JDIMENSION(pic.width);
  cinfo.image_height = JDIMENSION(pic.height);
  cinfo.input_components = pic.spp;
  cinfo.in_color_space = pic.spp == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  if (!pic.icc.empty()) jpeg_write_icc_profile(&cinfo, pic.icc.data(), unsigned(pic.icc.size()));
  const size_t row = size_t(pic.width) * pic.spp;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW r = const_cast<JSAMPROW>(pic.pixels.data() + size_t(cinfo.next_scanline) * row);
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return nullptr;
}

}  // namespace

Status write_jpeg(int fd, const Picture &pic, int quality) {
  if (pic.bits != 8) {
    ::close(fd);
    return fail("", "JPEG holds 8 bits per sample only; use --bits 8, or PNG or TIFF for 16 bits");
  }
  FILE *fp = open_stream_for_writing(fd);
  if (!fp) return fail("", "cannot open the output stream");
  ErrorManager em;
  const char *err = encode(fp, em, pic, quality);
  return close_written_file(fp, "JPEG", err, em.error);
}

}  // namespace brightloom
