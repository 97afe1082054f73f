// SPDX-License-Identifier: MIT
// ICC profiles of the written pictures: the input's own when it suits the picture, otherwise
// an sRGB (or sRGB-gamma grey) profile built with lcms2.
#pragma once

#include <string>
#include <vector>

#include "primaries.h"

namespace brightloom {

// The serialised sRGB profile (spp 3) or a D65 grey profile with the sRGB tone curve (spp 1).
// Built once per process and shared.
const std::vector<unsigned char> &builtin_profile(int spp);

// The profile to embed in a picture of spp samples: `input` when it is a valid profile of the
// matching colour space (RGB for 3, grey for 1), else the built-in one.
std::vector<unsigned char> profile_for_output(const std::vector<unsigned char> &input, int spp);

// A profile of the given primaries and white point whose tone curve is the pure power `gamma`
// (1 for linear light): RGB for spp 3, grey (the white point only) for spp 1.
std::vector<unsigned char> primaries_profile(const Chromaticities &c, int spp, double gamma);

// The primaries and white point of an RGB matrix-shaper profile (the colorants taken back
// from the profile connection space's D50 to the profile's own white); false for any other
// profile. A float document's samples are linear whatever the profile's curves say, so these
// are all a float file's profile tells about its colours.
bool profile_primaries(const std::vector<unsigned char> &profile, Chromaticities &out);

// A short description ("sRGB IEC61966-2.1, RGB, 3144 bytes"), or "none".
std::string describe_profile(const std::vector<unsigned char> &profile);

}  // namespace brightloom
