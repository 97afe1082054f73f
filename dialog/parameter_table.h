// SPDX-License-Identifier: MIT
// Every slider/text-field pair of the two methods, described once: the controls differ only by
// these columns, so one piece of code shows a value on any of them.
#pragma once

#include <array>

#include "settings_store.h"

namespace brightloom::dialog {

enum class Scale {
  Integer,  // slider = value, text "%d"
  Tenths,   // slider = value x 10, text "%1.1f"
  Clip,     // slider = paramf2slider(value, 1 / clip exponent), text the value itself
  Gamma,    // slider = position, text the gamma 2^((50 - position) / 50)
};

struct ParameterControl {
  int code;            // slider code: 100 x method + slot
  const char *slider;  // objectName of the slider
  const char *text;    // objectName of the text field
  Scale scale;
  float ControlValues::*value;  // for Scale::Integer, intValue instead
  int ControlValues::*intValue;
};

inline constexpr std::array<ParameterControl, 22> kParameterControls{{
    {100, "sldDRI", "txtDRI", Scale::Tenths, &ControlValues::_valLum, nullptr},
    {101, "sldStrength", "txtStrength", Scale::Integer, nullptr, &ControlValues::_valForce},
    {102, "sldSaturation", "txtCS", Scale::Integer, nullptr, &ControlValues::_valSat},
    {103, "sldWP", "txtWP", Scale::Clip, &ControlValues::_valWP, nullptr},
    {104, "sldBP", "txtBP", Scale::Clip, &ControlValues::_valBP, nullptr},
    {106, "sldMC", "txtMC", Scale::Tenths, &ControlValues::_valMC, nullptr},
    {107, "sldSmooth2", "txtSmooth2", Scale::Tenths, &ControlValues::_valNS, nullptr},
    {108, "sldGamma", "txtGamma", Scale::Gamma, &ControlValues::_valGamma, nullptr},
    {109, "sldHL", "txtHL", Scale::Integer, nullptr, &ControlValues::_valHL},
    {110, "sldShS", "txtShS", Scale::Integer, nullptr, &ControlValues::_valShS},
    {111, "sldShC", "txtShC", Scale::Integer, nullptr, &ControlValues::_valShC},
    {112, "sldColorTemp", "txtColorTemp", Scale::Tenths, &ControlValues::_valColorTemp, nullptr},
    {113, "sldSatHL", "txtSatHL", Scale::Tenths, &ControlValues::_valSatHL, nullptr},
    {114, "sldSatSH", "txtSatSH", Scale::Tenths, &ControlValues::_valSatSH, nullptr},
    {120, "sldSmoothingCont", "txtSmoothing", Scale::Tenths, &ControlValues::_valSmoothCont, nullptr},
    {200, "sldBrightness", "txtBrightness", Scale::Tenths, &ControlValues::_valBrightness, nullptr},
    {201, "sldCompression", "txtCompression", Scale::Tenths, &ControlValues::_valCompression, nullptr},
    {202, "sldContrast", "txtContrast", Scale::Tenths, &ControlValues::_valContrast, nullptr},
    {203, "sldWP2", "txtWP2", Scale::Clip, &ControlValues::_valWP2, nullptr},
    {204, "sldBP2", "txtBP2", Scale::Clip, &ControlValues::_valBP2, nullptr},
    {212, "sldColorTemp2", "txtColorTemp2", Scale::Tenths, &ControlValues::_valColorTemp2, nullptr},
    {213, "sldSaturation2", "txtSaturation2", Scale::Tenths, &ControlValues::_valSat2, nullptr},
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
