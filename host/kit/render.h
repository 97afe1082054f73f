// SPDX-License-Identifier: MIT
// The render pipeline: the full image through "Details Enhancer" or "Tone Compressor", by the
// same steps, buffers and tables as the dialog's preview, only at the image's own size; or
// through exposure fusion of virtual exposures spanning its dynamic range.
#pragma once

#include <functional>
#include <string>

#include "brightloom/pipeline.h"
#include "image.h"
#include "settings.h"

namespace brightloom {

// The steps of a render, as the pipeline reports them; pipeline::step_name names them.
using Stage = pipeline::Step;

struct RenderOptions {
  int method = 1;   // 1 Details Enhancer, 2 Tone Compressor, 10 Fusion/Adjust, 11 Fusion/Intensive
  TmParam param{};  // the resolved record for this image
  int bits = 8;     // 8 or 16 bits per output sample
  int workers = 1;  // engine worker threads
  // Work from disk: the Details Enhancer keeps its source and large vectors in temporary
  // files under temp_dir instead of memory. Auto chooses it above disk_threshold_pixels.
  enum class Disk { Auto, Never, Always } disk = Disk::Auto;
  std::string temp_dir;                 // empty: $TMPDIR or /tmp
  int64_t disk_threshold_pixels = 0;    // 0: chosen from the machine's memory
  std::function<void(Stage)> on_stage;  // called as each stage begins (any thread)
  // See pipeline::Hooks: reads, or replaces, the statistics the method normalises with.
  std::function<void(float *stats)> on_statistics;
  std::function<bool()> cancel;  // asked between stages; true stops the render
  // Float documents end in linear light inside the engine. By default the picture is display-
  // encoded from the engine's 16-bit linear result with the exact 1/2.2 power (tag it with
  // picture_profile); linear_float keeps the linear light instead, for a host that puts the
  // result back into a linear document. 16- and 8-bit documents are unaffected.
  bool linear_float = false;
};

// The pixel count above which Auto works from disk on this machine.
int64_t default_disk_threshold();

// Consumes the image's pixels (they are freed as soon as the engine's copy exists).
// The picture's ICC profile is left empty; the caller chooses it (picture_profile, or for
// linear_float the document's own profile, document_profile).
Result<Picture> render(Image &image, const RenderOptions &options);
// The size render refuses (a side of 9 pixels or less), for a check before anything else.
Status check_render_size(int width, int height);

// The 7 log-luminance statistics of the image (LogLumStats): fills stats on success.
Status image_statistics(Image &image, float stats[7]);

}  // namespace brightloom
