// SPDX-License-Identifier: MIT
// Helpers of the tests that run the plug-in inside a real GIMP: a private GIMP profile, and
// pictures GIMP exported compared with the program's in display levels.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "image.h"

namespace gimp_test {

// Makes a private GIMP profile in `folder` (created) that knows only the plug-ins a test needs:
// the build tree's Brightloom (`plugins`, the folder holding brightloom/brightloom) and GIMP's
// own Script-Fu, OpenEXR and TIFF plug-ins. Fewer plug-ins to query make a fresh profile start
// in seconds, and a Brightloom installed elsewhere on the machine cannot stand in for the one
// under test. Returns the folder, for GIMP2_DIRECTORY.
std::string private_profile(const std::string &folder, const std::string &plugins);

// 0..255 display level of sample i: linear floats through the 1/2.2 power the program encodes
// files with, 16-bit samples (0..32768) and bytes as they are.
double level(const brightloom::Image &img, int64_t i);

// The largest difference in display levels between the RGB samples of a and b (same size) over
// the pixels where `where` holds, and how many pixels those were.
struct Difference {
  double worst = 0;
  int64_t pixels = 0;
};
Difference compare(
    const brightloom::Image &a, const brightloom::Image &b,
    const std::function<bool(int, int)> &where = [](int, int) { return true; });

}  // namespace gimp_test
