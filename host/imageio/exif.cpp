// SPDX-License-Identifier: MIT
// Exposure tags through exiv2. exiv2 0.27 hands images out in std::auto_ptr, which the
// compiler flags as deprecated; the pragma keeps that note out of the build of this one file.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>

#include "exif.h"

namespace brightloom {
namespace {

// exiv2 prints its warnings on stderr by default; the program reports what matters itself.
void quiet_exiv2() {
  static std::once_flag once;
  std::call_once(once, [] { Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute); });
}

double number(const Exiv2::ExifData &exif, const char *key) {
  auto it = exif.findKey(Exiv2::ExifKey(key));
  if (it == exif.end() || it->count() == 0) return 0;
  const Exiv2::Rational r = it->toRational(0);
  if (r.second == 0) return 0;
  const double v = double(r.first) / double(r.second);
  return std::isfinite(v) ? v : 0;
}

std::string text(const Exiv2::ExifData &exif, const char *key) {
  auto it = exif.findKey(Exiv2::ExifKey(key));
  if (it == exif.end()) return {};
  std::string s = it->toString();
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

ExposureInfo from_exif(const Exiv2::ExifData &exif) {
  ExposureInfo e;
  if (exif.empty()) return e;
  e.exposure_time = number(exif, "Exif.Photo.ExposureTime");
  if (e.exposure_time <= 0) {
    // APEX shutter speed: time = 2^-Tv.
    auto it = exif.findKey(Exiv2::ExifKey("Exif.Photo.ShutterSpeedValue"));
    if (it != exif.end() && it->count() > 0) {
      const Exiv2::Rational r = it->toRational(0);
      if (r.second != 0) {
        const double tv = double(r.first) / double(r.second);
        if (std::fabs(tv) < 30) e.exposure_time = std::exp2(-tv);
      }
    }
  }
  e.f_number = number(exif, "Exif.Photo.FNumber");
  e.iso = number(exif, "Exif.Photo.ISOSpeedRatings");
  if (e.iso <= 0) e.iso = number(exif, "Exif.Photo.RecommendedExposureIndex");
  auto bias = exif.findKey(Exiv2::ExifKey("Exif.Photo.ExposureBiasValue"));
  if (bias != exif.end() && bias->count() > 0) {
    const Exiv2::Rational r = bias->toRational(0);
    if (r.second != 0) {
      e.bias_ev = double(r.first) / double(r.second);
      e.has_bias = std::isfinite(e.bias_ev);
    }
  }
  const std::string make = text(exif, "Exif.Image.Make"), model = text(exif, "Exif.Image.Model");
  e.camera = model.rfind(make, 0) == 0 ? model : (make.empty() ? model : make + (model.empty() ? "" : " " + model));
  e.capture_time = text(exif, "Exif.Photo.DateTimeOriginal");
  if (e.capture_time.empty()) e.capture_time = text(exif, "Exif.Image.DateTime");
  // Nonsense values (a negative time, an f-number of 0.01) are as good as absent.
  if (!(e.exposure_time > 0 && e.exposure_time < 1e5)) e.exposure_time = 0;
  if (!(e.f_number >= 0.5 && e.f_number < 1000)) e.f_number = 0;
  if (!(e.iso >= 1 && e.iso < 1e7)) e.iso = 0;
  return e;
}

}  // namespace

double ExposureInfo::relative_exposure() const {
  if (exposure_time <= 0) return 0;
  const double n = f_number > 0 ? f_number : 1;
  return exposure_time / (n * n) * (iso > 0 ? iso : 1);
}

std::string ExposureInfo::describe() const {
  std::string s;
  char buf[64];
  auto add = [&](const char *part) {
    if (!s.empty()) s += ", ";
    s += part;
  };
  if (exposure_time > 0) {
    if (exposure_time < 0.5)
      std::snprintf(buf, sizeof buf, "1/%g s", std::round(1.0 / exposure_time * 10) / 10);
    else
      std::snprintf(buf, sizeof buf, "%g s", exposure_time);
    add(buf);
  }
  if (f_number > 0) {
    std::snprintf(buf, sizeof buf, "f/%g", std::round(f_number * 10) / 10);
    add(buf);
  }
  if (iso > 0) {
    std::snprintf(buf, sizeof buf, "ISO %g", iso);
    add(buf);
  }
  if (has_bias) {
    std::snprintf(buf, sizeof buf, "%+g EV", std::round(bias_ev * 100) / 100);
    add(buf);
  }
  return s;
}

ExposureInfo read_exposure_info(const std::string &path) {
  quiet_exiv2();
  try {
    auto image = Exiv2::ImageFactory::open(path);
    if (!image.get()) return {};
    image->readMetadata();
    return from_exif(image->exifData());
  } catch (const std::exception &) {
    return {};
  }
}

ExposureInfo parse_exposure_info(const unsigned char *data, size_t size) {
  quiet_exiv2();
  try {
    auto image = Exiv2::ImageFactory::open(data, long(size));
    if (!image.get()) return {};
    image->readMetadata();
    return from_exif(image->exifData());
  } catch (const std::exception &) {
    return {};
  }
}

}  // namespace brightloom
#pragma GCC diagnostic pop
