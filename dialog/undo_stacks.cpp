// SPDX-License-Identifier: MIT
#include "undo_stacks.h"

#include <tmlib/tmlib.h>

namespace brightloom::dialog {

std::vector<UndoEntry> changed_parameters(const Snapshot &snap, int method, const ControlValues &v) {
  std::vector<UndoEntry> out;
  if (snap.method != method) return out;  // a method tab was switched: nothing to compare
  const float *s = snap.current();
  auto exact = [&](int slot, float now) {
    if (s[slot] != now) out.push_back({100 * method + slot, s[slot]});
  };
  // Integer parameters compare the snapshot's value truncated, as the controls hold them.
  auto whole = [&](int slot, int now) {
    if (int(s[slot]) != now) out.push_back({100 * method + slot, s[slot]});
  };
  if (method == TMLIB_METHOD_DETAILS) {
    exact(TMLIB_DE_LUMINOSITY, v._valLum);
    whole(TMLIB_DE_STRENGTH, v._valForce);
    whole(TMLIB_DE_COLOR_SATURATION, v._valSat);
    exact(TMLIB_DE_WHITE_CLIP, v._valWP);
    exact(TMLIB_DE_BLACK_CLIP, v._valBP);
    const size_t before = out.size();
    whole(TMLIB_DE_SMOOTHING_MODE, v.lightMode ? 0 : 1);
    if (out.size() == before) {
      if (double(2 - v._valSmooth) != double(int(s[TMLIB_DE_SMOOTHING_LEVEL])))
        out.push_back({100 + TMLIB_DE_SMOOTHING_LEVEL, s[TMLIB_DE_SMOOTHING_LEVEL]});
      exact(TMLIB_DE_SMOOTHING, v._valSmoothCont);
    }
    exact(TMLIB_DE_MICROCONTRAST, v._valMC);
    exact(TMLIB_DE_MICROSMOOTHING, v._valNS);
    exact(TMLIB_DE_GAMMA, v._valGamma);
    whole(TMLIB_DE_HIGHLIGHTS_SMOOTHING, v._valHL);
    whole(TMLIB_DE_SHADOWS_SMOOTHING, v._valShS);
    whole(TMLIB_DE_SHADOWS_CLIPPING, v._valShC);
    exact(TMLIB_DE_COLOR_TEMPERATURE, v._valColorTemp);
    exact(TMLIB_DE_SATURATION_HIGHLIGHTS, v._valSatHL);
    exact(TMLIB_DE_SATURATION_SHADOWS, v._valSatSH);
  } else if (method == TMLIB_METHOD_COMPRESSOR) {
    exact(TMLIB_TC_BRIGHTNESS, v._valBrightness);
    exact(TMLIB_TC_COMPRESSION, v._valCompression);
    exact(TMLIB_TC_CONTRAST, v._valContrast);
    exact(TMLIB_TC_WHITE_CLIP, v._valWP2);
    exact(TMLIB_TC_BLACK_CLIP, v._valBP2);
    exact(TMLIB_TC_COLOR_TEMPERATURE, v._valColorTemp2);
    exact(TMLIB_TC_SATURATION, v._valSat2);
  }
  return out;
}

std::vector<UndoEntry> &UndoStacks::stack(int method, bool redo) {
  auto &set = redo ? undone_ : done_;
  return set[method == TMLIB_METHOD_COMPRESSOR ? 2 : 1];
}

const std::vector<UndoEntry> &UndoStacks::stack(int method, bool redo) const {
  const auto &set = redo ? undone_ : done_;
  return set[method == TMLIB_METHOD_COMPRESSOR ? 2 : 1];
}

void UndoStacks::record(int method, int status, const UndoEntry &e) {
  if (status == kEditing || status == kRedoing)
    stack(method, false).push_back(e);
  else if (status == kUndoing)
    stack(method, true).push_back(e);
}

std::optional<UndoEntry> UndoStacks::last(int method, bool redo) const {
  const auto &s = stack(method, redo);
  if (s.empty()) return std::nullopt;
  return s.back();
}

void UndoStacks::dropLast(int method, bool redo) {
  auto &s = stack(method, redo);
  if (!s.empty()) s.pop_back();
}

size_t UndoStacks::size(int method, bool redo) const { return stack(method, redo).size(); }

}  // namespace brightloom::dialog
