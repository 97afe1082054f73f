// SPDX-License-Identifier: MIT
#include "frame.h"

#include <lcms2.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "read_jpeg.h"
#include "read_raw.h"

namespace brightloom::brackets {
namespace {

// Whether an ICC profile's tone curves are the identity. A profile that cannot be parsed, or
// that is not a matrix/shaper one, says nothing: nullopt-like -1.
int profile_is_linear(const std::vector<unsigned char> &icc) {
  if (icc.empty()) return -1;
  cmsHPROFILE p = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
  if (!p) return -1;
  int result = -1;
  const cmsTagSignature tag = cmsIsTag(p, cmsSigGreenTRCTag) ? cmsSigGreenTRCTag : cmsSigGrayTRCTag;
  if (auto *curve = static_cast<cmsToneCurve *>(cmsReadTag(p, tag))) result = cmsIsToneCurveLinear(curve) ? 1 : 0;
  cmsCloseProfile(p);
  return result;
}

}  // namespace

Result<Frame> frame_from_image(Image img, const std::string &path, bool linear) {
  if (img.type != SampleType::U8 && img.type != SampleType::U16)
    return fail(path, img.kind + " is already a high-dynamic-range image; bracket frames are 8- or 16-bit pictures");
  Frame f;
  f.path = path;
  f.kind = img.kind;
  f.width = img.width;
  f.height = img.height;
  f.primaries = img.primaries;
  const int64_t n = img.pixel_count();
  const bool eight = img.type == SampleType::U8;
  f.max_code = eight ? 255 : 32768;
  f.linear = !eight && linear;
  try {
    if (eight) {
      const uint8_t *src = img.pixels.data();
      if (img.spp == 3) {
        f.codes8.assign(src, src + n * 3);
      } else {
        f.codes8.resize(size_t(n) * 3);
        for (int64_t i = 0; i < n; ++i) f.codes8[3 * i] = f.codes8[3 * i + 1] = f.codes8[3 * i + 2] = src[i];
      }
    } else {
      const uint16_t *src = img.pixels.as<uint16_t>();
      if (img.spp == 3) {
        f.codes16.assign(src, src + n * 3);
      } else {
        f.codes16.resize(size_t(n) * 3);
        for (int64_t i = 0; i < n; ++i) f.codes16[3 * i] = f.codes16[3 * i + 1] = f.codes16[3 * i + 2] = src[i];
      }
    }
  } catch (const std::bad_alloc &) {
    return fail(path, "not enough memory for the frame");
  }
  return f;
}

Result<Frame> load_frame(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(path, std::string("cannot open: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return fail(path, "is a folder, not an image file");
  if (!S_ISREG(st.st_mode)) return fail(path, "not a regular file (a pipe or device cannot be read)");
  unsigned char head[16] = {};
  FILE *fp = std::fopen(path.c_str(), "rb");
  if (!fp) return fail(path, std::string("cannot open: ") + std::strerror(errno));
  const size_t n = std::fread(head, 1, sizeof head, fp);
  std::fclose(fp);
  if (n == 0) return fail(path, "the file is empty");

  if (has_raw_extension(path)) {
    auto raw = read_raw(path);
    if (!raw) return raw.failure();
    auto frame = frame_from_image(std::move(raw->image), path, true);
    if (frame) frame->exposure = raw->exposure;
    return frame;
  }
  Result<Image> img = is_jpeg(head, n) ? read_jpeg(path) : read_image(path);
  if (!img) {
    // Not a format the image readers know: perhaps a raw file under an unusual name.
    if (img.failure().reason.rfind("unknown file format", 0) == 0) {
      auto raw = read_raw(path);
      if (raw) {
        auto frame = frame_from_image(std::move(raw->image), path, true);
        if (frame) frame->exposure = raw->exposure;
        return frame;
      }
      return fail(path, "unknown file format (bracket frames are JPEG, PNG, TIFF or camera raw files)");
    }
    return img.failure();
  }
  const bool linear = img->type == SampleType::U16 && profile_is_linear(img->icc) != 0;
  auto frame = frame_from_image(std::move(img.value()), path, linear);
  if (frame) frame->exposure = read_exposure_info(path);
  return frame;
}

}  // namespace brightloom::brackets
