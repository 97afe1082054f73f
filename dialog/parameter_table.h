// SPDX-License-Identifier: MIT
// Every slider/text-field pair of the two methods, described once: the controls differ only by
// these columns, so one piece of code shows a value on any of them.
#pragma once

#include <array>

#include "settings_store.h"

namespace brightloom::dialog {

// How a value sits on its slider and in its field. Sliders move in tenths of the value (Qt
// sliders are integer-valued; tenths let a drag pass between whole values as a continuous slider
// does), except the clip sliders, whose positions 0..100 are the clip scale itself.
enum class Scale {
  Integer,  // slider = value x 10, text "%d" of the rounded value ("%1.0f" while dragging)
  Tenths,   // slider = value x 10, text "%1.1f"
  Clip,     // slider = paramf2slider(value, 1 / clip exponent), text the value itself
  Gamma,    // slider = position x 10, text the gamma 2^((50 - position) / 50)
};

// Slider steps per unit of the value.
inline constexpr int slider_units(Scale s) { return s == Scale::Clip ? 1 : 10; }

struct ParameterControl {
  int code;            // slider code: 100 x method + slot
  const char *slider;  // objectName of the slider
  const char *text;    // objectName of the text field
  Scale scale;
  float ControlValues::*value;  // for Scale::Integer, intValue instead
  int ControlValues::*intValue;
  float lo, hi;  // the range a typed value is clamped to (a gamma for Scale::Gamma)
};

inline constexpr std::array<ParameterControl, 22> kParameterControls{{
    {100, "sldDRI", "txtDRI", Scale::Tenths, &ControlValues::_valLum, nullptr, -10.0f, 10.0f},
    {101, "sldStrength", "txtStrength", Scale::Integer, nullptr, &ControlValues::_valForce, 1.0f, 100.0f},
    {102, "sldSaturation", "txtCS", Scale::Integer, nullptr, &ControlValues::_valSat, 0.0f, 100.0f},
    {103, "sldWP", "txtWP", Scale::Clip, &ControlValues::_valWP, nullptr, 0.0f, 10.0f},
    {104, "sldBP", "txtBP", Scale::Clip, &ControlValues::_valBP, nullptr, 0.0f, 10.0f},
    {106, "sldMC", "txtMC", Scale::Tenths, &ControlValues::_valMC, nullptr, -10.0f, 10.0f},
    {107, "sldSmooth2", "txtSmooth2", Scale::Tenths, &ControlValues::_valNS, nullptr, 0.0f, 30.0f},
    {108, "sldGamma", "txtGamma", Scale::Gamma, &ControlValues::_valGamma, nullptr, 0.25f, 2.0f},
    {109, "sldHL", "txtHL", Scale::Integer, nullptr, &ControlValues::_valHL, 0.0f, 100.0f},
    {110, "sldShS", "txtShS", Scale::Integer, nullptr, &ControlValues::_valShS, 0.0f, 100.0f},
    {111, "sldShC", "txtShC", Scale::Integer, nullptr, &ControlValues::_valShC, 0.0f, 100.0f},
    {112, "sldColorTemp", "txtColorTemp", Scale::Tenths, &ControlValues::_valColorTemp, nullptr, -10.0f, 10.0f},
    {113, "sldSatHL", "txtSatHL", Scale::Tenths, &ControlValues::_valSatHL, nullptr, -10.0f, 10.0f},
    {114, "sldSatSH", "txtSatSH", Scale::Tenths, &ControlValues::_valSatSH, nullptr, -10.0f, 10.0f},
    {120, "sldSmoothingCont", "txtSmoothing", Scale::Tenths, &ControlValues::_valSmoothCont, nullptr, -10.0f, 10.0f},
    {200, "sldBrightness", "txtBrightness", Scale::Tenths, &ControlValues::_valBrightness, nullptr, -10.0f, 10.0f},
    {201, "sldCompression", "txtCompression", Scale::Tenths, &ControlValues::_valCompression, nullptr, -10.0f, 10.0f},
    {202, "sldContrast", "txtContrast", Scale::Tenths, &ControlValues::_valContrast, nullptr, -10.0f, 10.0f},
    {203, "sldWP2", "txtWP2", Scale::Clip, &ControlValues::_valWP2, nullptr, 0.0f, 10.0f},
    {204, "sldBP2", "txtBP2", Scale::Clip, &ControlValues::_valBP2, nullptr, 0.0f, 10.0f},
    {212, "sldColorTemp2", "txtColorTemp2", Scale::Tenths, &ControlValues::_valColorTemp2, nullptr, -10.0f, 10.0f},
    {213, "sldSaturation2", "txtSaturation2", Scale::Tenths, &ControlValues::_valSat2, nullptr, -10.0f, 10.0f},
}};

// The five smoothing-level buttons, strongest first (index i: _valSmooth = 2 - i).
inline constexpr std::array<const char *, 5> kSmoothingButtons{"btnSmoothingVH", "btnSmoothingH", "btnSmoothingM",
                                                               "btnSmoothingL", "btnSmoothingVL"};

// The "Details Enhancer" controls that are disabled while the original is shown (with OK).
inline constexpr std::array<const char *, 29> kDetailsActivation{
    "sldStrength", "sldSaturation", "sldDRI",      "sldMC",        "sldSmooth2", "sldWP",
    "sldBP",       "sldGamma",      "sldHL",       "sldShS",       "sldShC",     "sldSatHL",
    "sldSatSH",    "sldColorTemp",  "txtStrength", "txtCS",        "txtDRI",     "txtMC",
    "txtSmooth2",  "txtWP",         "txtBP",       "txtGamma",     "txtHL",      "txtShS",
    "txtShC",      "txtSatHL",      "txtSatSH",    "txtColorTemp", "_doneButton"};

}  // namespace brightloom::dialog

namespace brightloom::dialog {
// The control of a slider code, or null.
inline const ParameterControl *control_of(int code) {
  for (const ParameterControl &c : kParameterControls)
    if (c.code == code) return &c;
  return nullptr;
}
}  // namespace brightloom::dialog
