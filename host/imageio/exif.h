// SPDX-License-Identifier: MIT
// The exposure a camera recorded with a frame (EXIF through exiv2, or a raw file's own header
// through LibRaw): what bracket merging needs to put frames on one radiance scale.
#pragma once

#include <string>

#include <cstddef>

namespace brightloom {

struct ExposureInfo {
  double exposure_time = 0;  // seconds; 0 when not recorded
  double f_number = 0;       // 0 when not recorded (fixed-aperture lenses often omit it)
  double iso = 0;            // 0 when not recorded
  double bias_ev = 0;        // exposure compensation the camera applied, for display only
  bool has_bias = false;
  std::string camera;        // "Make Model", empty when not recorded
  std::string capture_time;  // "YYYY:MM:DD HH:MM:SS", empty when not recorded

  // Light that reached the sensor, relative between frames of one camera: time / N^2 * ISO.
  // Missing aperture or ISO count as unchanged across the set (1); 0 when there is no time.
  double relative_exposure() const;
  bool has_exposure() const { return exposure_time > 0; }
  // "1/250 s, f/8, ISO 100, -2 EV" from what is known; empty when nothing is.
  std::string describe() const;
};

// Reads the exposure tags of a file exiv2 understands (JPEG, TIFF, PNG, DNG, most raw files).
// A file without EXIF, or one exiv2 cannot parse, gives an empty ExposureInfo: the pixels are
// read by the image readers, which name what is wrong with a damaged file.
ExposureInfo read_exposure_info(const std::string &path);

// The same from bytes already in memory (an APP1 segment or a whole file). Exposed for the fuzzer.
ExposureInfo parse_exposure_info(const unsigned char *data, size_t size);

}  // namespace brightloom
