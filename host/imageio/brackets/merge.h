// SPDX-License-Identifier: MIT
// Bracket merging: frames in, one linear HDR image and a report of what was done out.
// Steps: check the set; align (translation and small rotation); relative exposures (metadata,
// --ev, or estimated from the frames); the camera response; ghost regions; the weighted merge
// in radiance, cropped to the area every frame covers.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "align.h"
#include "frame.h"
#include "response.h"

namespace brightloom::brackets {

enum class ResponseChoice { Auto, Srgb, Linear, Given };

struct MergeOptions {
  std::vector<double> ev;  // by hand: one exposure value per frame (relative, any origin); empty: automatic
  bool align = true;
  bool deghost = true;
  ResponseChoice response = ResponseChoice::Auto;
  std::optional<Response> given_response;  // with ResponseChoice::Given
  int threads = 1;
  // Stage names and a fraction of the whole (0..1); may be empty.
  std::function<void(const char *stage, double done)> progress;
};

// The most frames a set may hold. Bracketing modes take up to 9 frames; 32 leaves room for
// long manual sequences while refusing a folder of several sets passed as one.
constexpr int kMaxFrames = 32;

struct MergeReport {
  std::vector<std::string> frames;    // paths, in the order given
  std::vector<double> exposures;      // relative light per frame, the reference frame 1
  std::string exposure_source;        // "camera metadata", "estimated from the frames", "given with --ev"
  std::string response_source;        // "linear", "sRGB (assumed)", "recovered from the frames", ...
  Response response;
  std::vector<Transform> transforms;  // per frame, onto the reference
  int reference = 0;                  // frame the others are aligned to (middle exposure)
  int crop_x = 0, crop_y = 0;         // where the merged image starts in the reference frame
  int frame_width = 0, frame_height = 0;
  double ghost_share = 0;             // share of the pixels taken from one frame alone
  std::vector<std::string> notes;     // what the user should know (fallbacks, doubtful frames)
};

struct HdrImage {
  int width = 0, height = 0;
  std::vector<float> rgb;  // interleaved, linear light
  Chromaticities primaries = kRec709;
};

// Merges the frames (taken by value, so that callers can move them in and their codes are
// freed when the merge returns). Failures name the frame concerned and the reason.
Result<HdrImage> merge_frames(std::vector<Frame> frames, const MergeOptions &options, MergeReport &report);

// Relative exposure of frame b to frame a (light in b / light in a) through response r, from
// pixels where both frames are well exposed; nullopt when they share too few such pixels.
std::optional<double> exposure_ratio(const Frame &a, const Transform &ta, const Frame &b, const Transform &tb,
                                     const Response &r);

}  // namespace brightloom::brackets
