// SPDX-License-Identifier: MIT
// Exposure fusion of a set of decoded frames ("Fusion/Adjust", "Fusion/Intensive"): brackets
// of one scene, blended into one display-ready picture.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "image.h"
#include "result.h"
#include "settings.h"

namespace brightloom {

struct FusionOptions {
  int method = 10;  // 10 Fusion/Adjust, 11 Fusion/Intensive
  TmParam param{};  // the method's record (tmparam_default for the defaults)
  int bits = 8;     // 8 or 16 bits per output sample
  int workers = 1;  // engine worker threads
  // Called before each frame is fused (index 0-based, count) and once more with index ==
  // count as the picture is finished; for progress.
  std::function<void(int index, int count)> on_frame;
};

// Supplies frame `index` of the set; it is fused, then released before the next is asked for,
// so a set of any length needs the memory of one frame and the pyramids.
using FrameSource = std::function<Result<Image>(int index)>;

// Fuses `count` frames: 8-bit, 16-bit (0..32768) or linear float/RGBE images (linear frames
// are display-encoded with the 1/2.2 power, as they stand), all of one size and all grey or
// all colour. names[i], when given, names frame i in messages. The picture has the frames'
// channels; its ICC profile is left for the caller (the frames' own, normally).
// Failures: fewer than two frames, a frame of another size or channel count than the first
// (named with both sizes), a frame that cannot be supplied, no memory.
Result<Picture> fuse_frames(int count, const FrameSource &frame, const FusionOptions &options,
                            const std::vector<std::string> &names = {});

// The same over frames already in memory; each frame's pixels are released once fused.
Result<Picture> fuse_frames(std::vector<Image> &frames, const FusionOptions &options,
                            const std::vector<std::string> &names = {});

}  // namespace brightloom
