// SPDX-License-Identifier: MIT
// A stand-in for the dialog bundle: a DoCocoaUI that shows nothing. It records what the host
// handed over in $FAKE_DIALOG_LOG and answers as $FAKE_DIALOG_REPLY says:
//   "RESULT METHOD SIZE X Y W H P0 ... P19"
// RESULT is returned; on 1 every record is written, on 0 only the size type and the frame, as
// the dialog writes them on Cancel. Without a reply it cancels and writes nothing. With
// $FAKE_DIALOG_PIXELS it also writes the pixel buffer there. With $FAKE_DIALOG_SYMLINK
// "NAME TARGET" it makes NAME a symbolic link to TARGET while it is open, as another program
// may change files while the user is in the dialog.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "brightloom/plugin.h"

namespace {

// FNV-1a, enough to tell one buffer from another.
uint64_t digest(const unsigned char *p, int64_t n) {
  uint64_t h = 1469598103934665603ull;
  for (int64_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int DoCocoaUI(HostImageInfo *info, float *tm, UserSettings *s,
                                                                const unsigned char *icc, const void *pixels) {
  if (const char *log = std::getenv("FAKE_DIALOG_LOG")) {
    if (FILE *f = std::fopen(log, "w")) {
      const int bytes = info->docType == 0 ? 4 : info->docType == 1 ? 2 : 1;
      const int64_t n = int64_t(info->iMax) * info->jMax * info->spp * bytes;
      std::fprintf(f, "info %d %d %d %d %d\n", info->iMax, info->jMax, info->spp, info->docType, info->lenProfile);
      std::fprintf(f, "settings %d %d %d %d %d %d\n", s->method, s->stickySizeType, s->winX, s->winY, s->winWidth,
                   s->winHeight);
      std::fprintf(f, "param");
      for (int i = 0; i < 20; ++i) std::fprintf(f, " %.9g", double(tm[i]));
      std::fprintf(f, "\nprofile %llx\npixels %llx\n", (unsigned long long)(icc ? digest(icc, info->lenProfile) : 0),
                   (unsigned long long)digest(static_cast<const unsigned char *>(pixels), n));
      std::fclose(f);
      // The samples themselves, when a test wants to look at them.
      if (const char *dump = std::getenv("FAKE_DIALOG_PIXELS"))
        if (FILE *d = std::fopen(dump, "wb")) {
          std::fwrite(pixels, 1, size_t(n), d);
          std::fclose(d);
        }
    }
  }
  if (const char *link = std::getenv("FAKE_DIALOG_SYMLINK")) {
    const std::string text = link;
    const size_t space = text.find(' ');
    const std::string name = text.substr(0, space), target = text.substr(space + 1);
    ::unlink(name.c_str());
    if (::symlink(target.c_str(), name.c_str()) != 0) return 0;
  }
  const char *reply = std::getenv("FAKE_DIALOG_REPLY");
  if (reply == nullptr) return 0;
  int result = 0;
  UserSettings w{};
  float p[20] = {};
  const int got = std::sscanf(reply, "%d %d %d %d %d %d %d %f %f %f %f %f %f %f %f %f %f %f %f %f %f %f %f %f %f %f %f",
                              &result, &w.method, &w.stickySizeType, &w.winX, &w.winY, &w.winWidth, &w.winHeight, &p[0],
                              &p[1], &p[2], &p[3], &p[4], &p[5], &p[6], &p[7], &p[8], &p[9], &p[10], &p[11], &p[12],
                              &p[13], &p[14], &p[15], &p[16], &p[17], &p[18], &p[19]);
  if (got < 7) return 0;
  s->stickySizeType = w.stickySizeType;
  s->winX = w.winX;
  s->winY = w.winY;
  s->winWidth = w.winWidth;
  s->winHeight = w.winHeight;
  if (result == 1) {
    s->method = w.method;
    for (int i = 0; i < 20; ++i) tm[i] = p[i];
  }
  return result;
}
