// SPDX-License-Identifier: MIT
#include "support/gimp_run.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

namespace gimp_test {
using brightloom::Image;
using brightloom::SampleType;

std::string private_profile(const std::string &folder, const std::string &plugins) {
  std::filesystem::create_directories(folder);
  // A folder on the plug-in path is searched for programs and for folders holding a program of
  // their own name, so GIMP's own plug-ins can be named one by one.
  std::ofstream(folder + "/gimprc") << "(plug-in-path \"" << plugins
                                    << ":${gimp_plug_in_dir}/plug-ins/script-fu"
                                       ":${gimp_plug_in_dir}/plug-ins/file-exr"
                                       ":${gimp_plug_in_dir}/plug-ins/file-tiff\")\n"
                                       // A test never waits on, or depends on, the network.
                                       "(check-updates no)\n";
  return folder;
}

double level(const Image &img, int64_t i) {
  switch (img.type) {
    case SampleType::F32:
      return 255.0 * std::pow(std::clamp(double(img.pixels.as<float>()[i]), 0.0, 1.0), 1.0 / 2.2);
    case SampleType::U16:
      return img.pixels.as<uint16_t>()[i] * 255.0 / 32768.0;
    default:
      return img.pixels.data()[i];
  }
}

Difference compare(const Image &a, const Image &b, const std::function<bool(int, int)> &where) {
  Difference d;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) {
      if (!where(x, y)) continue;
      for (int c = 0; c < 3; ++c) {
        const int64_t i = (int64_t(y) * a.width + x) * 3 + c;
        d.worst = std::max(d.worst, std::abs(level(a, i) - level(b, i)));
      }
      ++d.pixels;
    }
  return d;
}

}  // namespace gimp_test
