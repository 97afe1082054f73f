// SPDX-License-Identifier: MIT
// The RGB primaries and white point of a float document. Float files hold linear light whose
// colours are only defined by these chromaticities; a file that names none is Rec. 709/sRGB.
#pragma once

#include <string>

namespace brightloom {

// CIE 1931 xy chromaticities of the red, green and blue primaries and of the white point.
struct Chromaticities {
  float red_x = 0, red_y = 0, green_x = 0, green_y = 0, blue_x = 0, blue_y = 0, white_x = 0, white_y = 0;
};

inline constexpr Chromaticities kRec709{0.64f, 0.33f, 0.30f, 0.60f, 0.15f, 0.06f, 0.3127f, 0.3290f};

// Empty when the chromaticities can describe an RGB space (finite, a real triangle around a
// white point that looks like daylight or a lamp), otherwise why not. Primaries outside the
// spectral locus, as ACES uses them, are accepted.
std::string implausible_primaries(const Chromaticities &c);

// True when every coordinate is within 0.0005 of the other's.
bool same_primaries(const Chromaticities &a, const Chromaticities &b);

// "Rec. 709/sRGB" for those primaries, else the eight coordinates.
std::string describe_primaries(const Chromaticities &c);

// The chromaticities from Radiance's eight-number form (red x, y, green x, y, blue x, y,
// white x, y), the order of a PRIMARIES header line.
Chromaticities chromaticities_from(const float (&xy)[8]);

}  // namespace brightloom
