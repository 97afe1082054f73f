// SPDX-License-Identifier: MIT
#include "fuse_frames.h"

#include <optional>

#include "brightloom/pipeline.h"
#include "result_messages.h"

namespace brightloom {
namespace {

std::string frame_name(const std::vector<std::string> &names, int i) {
  return size_t(i) < names.size() ? names[size_t(i)] : "frame " + std::to_string(i + 1);
}

std::string size_text(int w, int h, int spp) {
  return std::to_string(w) + " x " + std::to_string(h) + (spp >= 3 ? " colour" : " grey");
}

int kind_of(SampleType t) {
  switch (t) {
    case SampleType::U8:
      return TMLIB_FUSION_U8;
    case SampleType::U16:
      return TMLIB_FUSION_U16;
    case SampleType::RGBE:
      return TMLIB_FUSION_RGBE;
    case SampleType::F32:
      return TMLIB_FUSION_LINEAR;
  }
  return TMLIB_FUSION_U8;
}

}  // namespace

Result<Picture> fuse_frames(int count, const FrameSource &source, const FusionOptions &o,
                            const std::vector<std::string> &names) {
  if (o.method != TMLIB_METHOD_FUSION_ADJUST && o.method != TMLIB_METHOD_FUSION_INTENSIVE)
    return fail("", "unknown fusion method " + std::to_string(o.method));
  if (o.bits != 8 && o.bits != 16) return fail("", "bits per sample must be 8 or 16");
  if (count < 2)
    return fail(count == 1 ? frame_name(names, 0) : "",
                "exposure fusion needs at least two frames of the scene (" + std::to_string(count) + " given)");

  std::optional<Image> current;  // the frame being fused; released when the next is asked for
  Failure supplyFailure;
  int firstW = 0, firstH = 0, firstSpp = 0;
  pipeline::FrameSupplier supply = [&](int i, pipeline::Frame &f) -> int {
    current.reset();
    if (o.on_frame) o.on_frame(i, count);
    Result<Image> img = source(i);
    if (!img) {
      supplyFailure = img.failure();
      if (supplyFailure.file.empty()) supplyFailure.file = frame_name(names, i);
      return TMLIB_ERR_OPEN;
    }
    current.emplace(std::move(*img));
    const Image &m = *current;
    if (i == 0) {
      firstW = m.width;
      firstH = m.height;
      firstSpp = m.spp;
    }
    f.width = m.width;
    f.height = m.height;
    f.spp = m.type == SampleType::RGBE ? 3 : m.spp;
    f.kind = kind_of(m.type);
    f.row_stride = int64_t(m.width) * m.spp;
    f.gain = 1.0f;
    f.pixels = m.pixels.data();
    return 0;
  };

  pipeline::Request req;
  req.method = pipeline::Method(o.method);
  req.param = o.param.data();
  req.out_bits = o.bits;
  req.workers = o.workers;
  req.hooks.on_step = [&](pipeline::Step s) {
    if (s == pipeline::Step::Finishing && o.on_frame) o.on_frame(count, count);
  };
  pipeline::Outcome out = pipeline::fuse(count, supply, req);
  const int W = firstW, H = firstH;
  if (!out.ok()) {
    switch (out.fault) {
      case pipeline::Fault::kFrame:
        return supplyFailure;
      case pipeline::Fault::kFrameSize: {
        const Image &m = *current;
        return fail(frame_name(names, out.frame), "the frame is " + size_text(m.width, m.height, m.spp) + ", " +
                                                      frame_name(names, 0) + " is " + size_text(W, H, firstSpp) +
                                                      ": the frames of a fusion must have the same size and channels");
      }
      case pipeline::Fault::kFusionMemory:
      case pipeline::Fault::kOutputMemory:
        return fail("", "not enough memory for the fusion pyramids");
      default:
        return fail(out.frame >= 0 ? frame_name(names, out.frame) : "", engine_reason("exposure fusion", out.code));
    }
  }
  Picture pic;
  pic.width = W;
  pic.height = H;
  pic.spp = out.pixels.size() == size_t(W) * size_t(H) * size_t(o.bits / 8) ? 1 : 3;
  pic.bits = o.bits;
  pic.pixels = std::move(out.pixels);
  return pic;
}

Result<Picture> fuse_frames(std::vector<Image> &frames, const FusionOptions &o, const std::vector<std::string> &names) {
  return fuse_frames(
      int(frames.size()),
      [&](int i) -> Result<Image> {
        // Hands the frame over, so its memory goes as soon as it is fused.
        return std::move(frames[size_t(i)]);
      },
      o, names);
}

}  // namespace brightloom
