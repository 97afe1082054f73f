// SPDX-License-Identifier: MIT
// libpng's error hooks, shared by the PNG reader and writer: libpng reports errors by
// longjmp, so the message is kept in a plain struct the caller owns and turns into a reason.
#pragma once

#include <png.h>

#include <cerrno>
#include <cstdio>

namespace brightloom {

struct PngState {
  char message[256] = "";
  int error = 0;  // errno when the error was raised: a failed write leaves its cause there
};

[[noreturn]] inline void on_png_error(png_structp png, png_const_charp msg) {
  auto *st = static_cast<PngState *>(png_get_error_ptr(png));
  st->error = errno;
  std::snprintf(st->message, sizeof st->message, "%s", msg);
  png_longjmp(png, 1);
}

inline void on_png_warning(png_structp, png_const_charp) {}

}  // namespace brightloom
