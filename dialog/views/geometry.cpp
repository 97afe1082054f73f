// SPDX-License-Identifier: MIT
// The rectangle helpers exported with the dialog: plain functions over y-up float rectangles.
#include "brightloom/plugin.h"

namespace {

// coordinate + half the size, formed in double precision and rounded once.
float plus_half(float coordinate, float size) { return float(double(coordinate) + 0.5 * double(size)); }

bool is_empty(NSRect r) { return !(r.size.width > 0.0f) || !(r.size.height > 0.0f); }

// True when b is not empty and lies wholly inside a.
bool contains(NSRect a, NSRect b) {
  if (is_empty(b)) return false;
  return a.origin.x <= b.origin.x && a.origin.y <= b.origin.y &&
         a.origin.x + a.size.width >= b.origin.x + b.size.width &&
         a.origin.y + a.size.height >= b.origin.y + b.size.height;
}

}  // namespace

extern "C" {

NSRect NSRectScale(NSRect rect, float sx, float sy) {
  rect.size.width *= sx;
  rect.size.height *= sy;
  return rect;
}

NSRect NSRectUniformScale(NSRect rect, float s) { return NSRectScale(rect, s, s); }

NSPoint NSRectPoint(NSRect r, int code) {
  const float x = r.origin.x, y = r.origin.y, w = r.size.width, h = r.size.height;
  switch (code) {
    case 1:
      return {x, y + h};
    case 2:
      return {plus_half(x, w), y + h};
    case 3:
      return {x + w, y + h};
    case 4:
      return {x, plus_half(y, h)};
    case 5:
      return {plus_half(x, w), plus_half(y, h)};
    case 6:
      return {x + w, plus_half(y, h)};
    case 7:
      return {x, y};
    case 8:
      return {plus_half(x, w), y};
    case 9:
      return {x + w, y};
    default:
      return {x, y};
  }
}

NSRect NSRectAlignToPoint(NSRect rect, int code, NSPoint p) {
  if (code < 1 || code > 9) return rect;
  const float w = rect.size.width, h = rect.size.height;
  float x = p.x, y = p.y;
  if (code <= 3)
    y = p.y - h;
  else if (code <= 6)
    y = float(double(p.y) - 0.5 * double(h));
  if (code == 3 || code == 6 || code == 9)
    x = p.x - w;
  else if (code == 2 || code == 5 || code == 8)
    x = float(double(p.x) - 0.5 * double(w));
  rect.origin = {x, y};
  return rect;
}

NSRect NSRectAlignWithRect(NSRect rect, int code, NSRect refRect, int refCode) {
  return NSRectAlignToPoint(rect, code, NSRectPoint(refRect, refCode));
}

NSRect NSRectScaleToFill2(NSRect rect, NSRect inRect, float *scaleOut) {
  if (is_empty(inRect)) return NSRect{};
  if (is_empty(rect)) return inRect;
  const float sx = inRect.size.width / rect.size.width;
  const float sy = inRect.size.height / rect.size.height;
  const float s = sx < sy ? sx : sy;
  if (scaleOut != nullptr) *scaleOut = s;
  return NSRectUniformScale(rect, s);
}

NSRect NSRectScaleToFill(NSRect rect, NSRect inRect) { return NSRectScaleToFill2(rect, inRect, nullptr); }

NSRect NSRectScaleToFit(NSRect rect, NSRect inRect) {
  return contains(inRect, rect) ? rect : NSRectScaleToFill2(rect, inRect, nullptr);
}

}  // extern "C"
