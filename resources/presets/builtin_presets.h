// SPDX-License-Identifier: MIT
// The four built-in "Details Enhancer" presets. The shipped .xmp files beside this header
// are written from this table by write_xmp (target regenerate_presets); a test checks that
// they still equal what the writer produces for these values.
#pragma once

namespace brightloom {

struct BuiltinPreset {
  const char *title;  // menu title
  const char *file;   // file name in share/brightloom/presets
  float param[20];    // TmParam of method 1
};

// Slots: 0 Luminosity, 1 Strength, 2 ColorSaturation, 3 WhiteClip, 4 BlackClip,
// 5 smoothing level (unused in slider mode), 6 Microcontrast, 7 Microsmoothing,
// 8 gamma slider position (50 = gamma 1.0), 9 HighlightsSmoothing, 10 ShadowsSmoothing,
// 11 ShadowsClipping, 12 ColorTemperature, 13 SaturationHighlights, 14 SaturationShadows,
// 15 360-degree flag, 16 SmoothingMode (1 = slider), 17 Smoothing slider, 18, 19 unused.
// Every value has at most one decimal so that the file carries it exactly.
inline constexpr BuiltinPreset kBuiltinPresets[] = {
    // Close to the defaults: moderate strength and saturation, plain gamma, no local
    // accents, a little more smoothing than the default to keep edges clean.
    {"Natural", "Natural.xmp",
     {0.0f, 50.0f, 48.0f, 0.25f, 0.0f, 0.0f, 0.0f, 2.0f, 50.0f, 0.0f,
      0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 4.0f, 0.0f, 0.0f}},
    // Strongest smoothing and smoothed highlights keep large bright areas free of halos and
    // blotches; reduced microcontrast and raised microsmoothing keep noise out of the sky.
    {"Smooth Skies", "SmoothSkies.xmp",
     {1.0f, 60.0f, 46.0f, 0.25f, 0.0f, 0.0f, -2.0f, 15.0f, 50.0f, 40.0f,
      0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 10.0f, 0.0f, 0.0f}},
    // High microcontrast and rich colour, highlights and shadows saturated too, somewhat
    // lower smoothing for pronounced local tones.
    {"Painterly", "Painterly.xmp",
     {2.0f, 85.0f, 75.0f, 0.25f, 0.1f, 0.0f, 8.0f, 0.0f, 50.0f, 0.0f,
      10.0f, 0.0f, 0.0f, 2.0f, 2.0f, 0.0f, 1.0f, -2.0f, 0.0f, 0.0f}},
    // Maximum strength and microcontrast, least smoothing, no microsmoothing, muted colour
    // and a little clipping at both ends for a gritty look.
    {"Grunge", "Grunge.xmp",
     {3.0f, 100.0f, 35.0f, 0.5f, 0.5f, 0.0f, 10.0f, 0.0f, 50.0f, 0.0f,
      0.0f, 0.0f, 0.0f, -2.0f, -2.0f, 0.0f, 1.0f, -10.0f, 0.0f, 0.0f}},
};

}  // namespace brightloom
