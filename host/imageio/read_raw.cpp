// SPDX-License-Identifier: MIT
// Camera raw through LibRaw: decoded with gamma 1 (linear), the camera's as-shot white balance,
// no automatic brightening (frames of a bracket must keep their relative levels), highlights
// clipped to white (so that channels saturating at different levels never turn magenta) and
// the result converted to sRGB primaries.
#include <libraw/libraw.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>

#include "read_raw.h"

namespace brightloom {
namespace {

constexpr std::array<const char *, 24> kRawExtensions = {
    ".dng", ".cr2", ".cr3", ".crw", ".nef", ".nrw", ".arw", ".srf", ".sr2", ".raf", ".orf", ".rw2",
    ".pef", ".srw", ".x3f", ".3fr", ".fff", ".iiq", ".mos", ".mrw", ".erf", ".kdc", ".dcr", ".rwl"};

std::string libraw_reason(int code) {
  switch (code) {
    case LIBRAW_FILE_UNSUPPORTED:
      return "not a camera raw format LibRaw knows";
    case LIBRAW_TOO_BIG:
      return "the raw image is larger than LibRaw accepts";
    case LIBRAW_UNSUFFICIENT_MEMORY:
      return "not enough memory to decode the raw file";
    case LIBRAW_DATA_ERROR:
    case LIBRAW_IO_ERROR:
      return "the raw data is damaged or cut short";
    default:
      return std::string("cannot decode the raw file (") + libraw_strerror(code) + ")";
  }
}

}  // namespace

bool has_raw_extension(const std::string &path) {
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
  std::string ext = path.substr(dot);
  for (char &c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return std::find_if(kRawExtensions.begin(), kRawExtensions.end(),
                      [&](const char *e) { return ext == e; }) != kRawExtensions.end();
}

Result<RawFrame> read_raw(const std::string &path) {
  auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
  auto &params = raw->imgdata.params;
  params.output_bps = 16;
  params.gamm[0] = 1.0;
  params.gamm[1] = 1.0;
  params.no_auto_bright = 1;
  params.use_camera_wb = 1;
  params.output_color = 1;  // sRGB primaries
  params.highlight = 0;     // clip to white
  int rc = raw->open_file(path.c_str());
  if (rc != LIBRAW_SUCCESS) {
    if (rc == LIBRAW_IO_ERROR) return fail(path, std::string("cannot open: ") + std::strerror(errno ? errno : EIO));
    return fail(path, libraw_reason(rc));
  }
  struct stat st {};
  const int64_t file_bytes = ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : 0;
  const auto &sizes = raw->imgdata.sizes;
  const Status declared = check_declared_size("raw", sizes.width, sizes.height, 2.0 * sizes.width * sizes.height,
                                              file_bytes, 0);
  if (!declared) return fail(path, declared.failure().reason);
  if ((rc = raw->unpack()) != LIBRAW_SUCCESS) return fail(path, libraw_reason(rc));
  if ((rc = raw->dcraw_process()) != LIBRAW_SUCCESS) return fail(path, libraw_reason(rc));
  int err = 0;
  std::unique_ptr<libraw_processed_image_t, void (*)(libraw_processed_image_t *)> mem(
      raw->dcraw_make_mem_image(&err), [](libraw_processed_image_t *p) { LibRaw::dcraw_clear_mem(p); });
  if (!mem || err != LIBRAW_SUCCESS) return fail(path, libraw_reason(err ? err : LIBRAW_UNSUFFICIENT_MEMORY));
  if (mem->type != LIBRAW_IMAGE_BITMAP || mem->bits != 16 || (mem->colors != 3 && mem->colors != 1))
    return fail(path, "LibRaw delivered an unexpected layout");

  RawFrame out;
  Image &img = out.image;
  img.width = mem->width;
  img.height = mem->height;
  img.spp = mem->colors;
  img.type = SampleType::U16;
  img.pixels = Buffer::allocate(img.pixel_count(), int64_t(img.spp) * 2);
  if (!img.pixels) return fail(path, "not enough memory for the image");
  const auto *src = reinterpret_cast<const uint16_t *>(mem->data);
  uint16_t *dst = img.pixels.as<uint16_t>();
  const int64_t n = img.pixel_count() * img.spp;
  for (int64_t i = 0; i < n; ++i) dst[i] = uint16_t((uint32_t(src[i]) * 32768u + 32767u) / 65535u);
  img.primaries = kRec709;
  img.primaries_origin = "LibRaw's conversion to sRGB primaries";
  const auto &id = raw->imgdata.idata;
  img.kind = std::string("camera raw (") + id.make + (id.make[0] ? " " : "") + id.model + ")";

  const auto &other = raw->imgdata.other;
  ExposureInfo &e = out.exposure;
  if (other.shutter > 0 && std::isfinite(other.shutter)) e.exposure_time = other.shutter;
  if (other.aperture > 0 && std::isfinite(other.aperture)) e.f_number = other.aperture;
  if (other.iso_speed > 0 && std::isfinite(other.iso_speed)) e.iso = other.iso_speed;
  e.camera = std::string(id.make) + (id.make[0] && id.model[0] ? " " : "") + id.model;
  if (other.timestamp > 0) {
    char buf[32];
    std::tm tm {};
    const time_t t = other.timestamp;
    if (localtime_r(&t, &tm) && std::strftime(buf, sizeof buf, "%Y:%m:%d %H:%M:%S", &tm)) e.capture_time = buf;
  }
  return out;
}

}  // namespace brightloom
