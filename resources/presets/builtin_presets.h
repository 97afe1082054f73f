// SPDX-License-Identifier: MIT
// The four built-in "Details Enhancer" presets and one per fusion method. The shipped .xmp files beside this header
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
// Every value has at most one decimal so that the file carries it exactly, except the gamma
// slot: the file carries the gamma itself with one decimal, so a preset that is not at gamma
// 1.0 holds the slider position that its one-decimal gamma reads back as (kGamma1point2).
//
// Slider directions these values rely on, as measured on real panoramas: a higher Smoothing
// slider value smooths more (smoother skies, no dark bands around bright horizons), a lower
// one brings out local contrast and halos; Microcontrast raises contrast at every scale and
// darkens the picture, which Luminosity makes up for; Microsmoothing softens fine detail and
// noise and lightens a little. A gamma above 1.0 and a little more WhiteClip give the
// pictures of float documents (seen display-encoded, as a colour-managed viewer shows them)
// the mid-tone contrast that the strong compression of the Details Enhancer takes away.

// Slider position of gamma 1.2: 50 * (1 - log2 1.2) as the file's "1.2" reads back.
inline constexpr float kGamma1point2 = 36.848278f;

inline constexpr BuiltinPreset kBuiltinPresets[] = {
    // A faithful rendering: moderate local compression, plain colour, no local accents;
    // gamma 1.2 with Luminosity and 2 % white clipping restore the contrast of a normal
    // photograph, a touch of Microcontrast keeps texture, and medium smoothing keeps skies
    // free of dark rims.
    {"Natural", "Natural.xmp", {6.0f, 60.0f, 46.0f, 2.0f, 0.0f, 0.0f, 3.0f, 2.0f, kGamma1point2, 0.0f,
                                0.0f, 0.0f,  0.0f,  0.0f, 0.0f, 0.0f, 1.0f, 6.0f, 0.0f,          0.0f}},
    // Strongest smoothing and smoothed highlights keep large bright areas free of halos and
    // blotches; reduced microcontrast and raised microsmoothing keep noise out of the sky;
    // gamma 1.2 keeps the smoothed picture from looking hazy.
    {"Smooth Skies", "SmoothSkies.xmp", {1.0f, 60.0f, 46.0f, 1.0f, 0.0f, 0.0f, -2.0f, 20.0f, kGamma1point2, 40.0f,
                                         0.0f, 0.0f,  0.0f,  0.0f, 0.0f, 0.0f, 1.0f,  10.0f, 0.0f,          0.0f}},
    // High microcontrast, strong local compression and low smoothing for pronounced local
    // tones; rich colour with highlights and shadows saturated too; some Luminosity and white
    // clipping keep the picture bright despite the microcontrast.
    {"Painterly", "Painterly.xmp", {3.0f,  90.0f, 75.0f, 1.5f, 0.1f, 0.0f, 5.0f, 0.0f,  50.0f, 0.0f,
                                    10.0f, 0.0f,  0.0f,  2.0f, 2.0f, 0.0f, 1.0f, -7.0f, 0.0f,  0.0f}},
    // Maximum strength and microcontrast, least smoothing, no microsmoothing, muted colour
    // and a little clipping at both ends for a gritty look; Luminosity keeps it gritty rather
    // than murky.
    {"Grunge", "Grunge.xmp", {6.0f, 100.0f, 35.0f, 0.5f,  0.3f,  0.0f, 10.0f, 0.0f,   50.0f, 0.0f,
                              0.0f, 0.0f,   0.0f,  -2.0f, -2.0f, 0.0f, 1.0f,  -10.0f, 0.0f,  0.0f}},
};

// Built-in presets of the exposure-fusion methods, for the program's --preset (the dialog has
// no fusion tab). Slots of method 10: 0 Accentuation, 1 BlendingPoint, 2 Shadows, 3 Saturation,
// 4 WhiteClip, 5 BlackClip, 6 MidtonesAdjustment; of method 11: 0 Strength, 1 Saturation,
// 2 Radius.
struct BuiltinFusionPreset {
  const char *title;
  const char *file;
  int method;
  float param[20];
};

inline constexpr BuiltinFusionPreset kBuiltinFusionPresets[] = {
    // The natural blend with a little more life: open shadows, a touch of colour, and a tenth
    // of a percent clipped at both ends so the picture uses the whole range.
    {"Fusion Natural", "FusionNatural.xmp", 10, {0.0f, 0.0f, 20.0f, 10.0f, 0.1f, 0.1f, 0.0f}},
    // Strong local adaptation over the default neighbourhood for crisp texture in light and
    // shade alike, with a little extra colour.
    {"Fusion Crisp", "FusionCrisp.xmp", 11, {50.0f, 10.0f, 40.0f}},
};

}  // namespace brightloom
