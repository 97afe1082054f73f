// SPDX-License-Identifier: MIT
// Exposure fusion's steps: frames streamed one at a time through fusion_add, then
// fusion_finish; and the virtual exposures that let a single HDR image be fused.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "brightloom/pipeline.h"

namespace brightloom::pipeline {
namespace {

OptimParam workers_of(int workers) {
  OptimParam o;
  init_optim_param(&o);
  o.v[TMLIB_OPT_WORKERS] = workers;
  return o;
}

DimParam frame_dim(int width, int height, int spp) {
  DimParam d;
  init_dim_param(&d);
  d.v[TMLIB_DIM_WIDTH] = width;
  d.v[TMLIB_DIM_HEIGHT] = height;
  d.v[TMLIB_DIM_SPP] = spp;
  return d;
}

int channels_of(const Frame &f) { return f.kind == TMLIB_FUSION_RGBE || f.spp >= 3 ? 3 : 1; }

Outcome failure(Outcome out, int code, Fault fault, const char *what, int frame = -1) {
  out.code = code;
  out.fault = fault;
  out.what = what;
  out.frame = frame;
  out.pixels.reset();
  return out;
}

// Linear luminances of a sample of the RGBE source's pixels (at most about a million).
std::vector<float> luminance_sample(const unsigned char *rgbe, int W, int H) {
  float table[256];
  exp_lut(table, -8);
  const int64_t n = int64_t(W) * H;
  const int step = int(std::max<int64_t>(1, int64_t(std::sqrt(double(n) / 1e6))));
  std::vector<float> out;
  out.reserve(size_t((W / step + 1) * (H / step + 1)));
  for (int y = 0; y < H; y += step) {
    const unsigned char *row = rgbe + size_t(y) * 4 * size_t(W);
    for (int x = 0; x < W; x += step) {
      const unsigned char e = row[3 * size_t(W) + x];
      if (e == 0) continue;
      const float Y = table[e] * (0.2126f * row[x] + 0.7152f * row[W + x] + 0.0722f * row[2 * size_t(W) + x]);
      if (Y > 0.0f && std::isfinite(Y)) out.push_back(Y);
    }
  }
  return out;
}

float percentile_of(std::vector<float> &v, double p) {
  const size_t k = std::min(v.size() - 1, size_t(p * double(v.size() - 1)));
  std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(k), v.end());
  return v[k];
}

std::vector<float> exposures_of(const unsigned char *rgbe, int W, int H) {
  std::vector<float> lum = luminance_sample(rgbe, W, H);
  if (lum.empty()) return {0.25f, 1.0f, 4.0f};  // a black picture: any three will do
  const float lo = percentile_of(lum, 0.01), mid = percentile_of(lum, 0.5), hi = percentile_of(lum, 0.995);
  // Linear 0.2 is display level 0.48, linear 0.7 is 0.85.
  double bright = 0.2 / double(lo), dark = 0.7 / double(hi);
  if (!(bright > dark * 4.0)) {
    // Less than two stops to span: three frames a stop apart around the median.
    const double centre = 0.18 / double(mid);
    bright = centre * 2.0;
    dark = centre * 0.5;
  }
  const double stops = std::log2(bright / dark);
  const int count = std::clamp(int(std::ceil(stops / 2.0)) + 1, 3, 9);
  std::vector<float> gains;
  for (int i = 0; i < count; ++i) gains.push_back(float(dark * std::exp2(stops * i / (count - 1))));
  return gains;
}

}  // namespace

std::vector<float> virtual_exposures(const Source &src) {
  if (src.doc_type != 0 || !src.pixels) return {};
  return exposures_of(src.pixels.data(), src.width, src.height);
}

Outcome fuse(int count, const FrameSupplier &supply, const Request &req) {
  Outcome out;
  out.step = Step::Pyramid;
  if (count < 2) return failure(std::move(out), TMLIB_ERR_OPEN, Fault::kFrameCount, "frame count");
  if (req.param == nullptr || !is_fusion(req.method) || (req.out_bits != 8 && req.out_bits != 16))
    return failure(std::move(out), TMLIB_ERR_OPEN, Fault::kFusionRequest, "request");
  const int method = int(req.method);
  const OptimParam opt = workers_of(req.workers);
  if (req.hooks.on_step) req.hooks.on_step(Step::Pyramid);

  Frame first;
  Buffer accum, scratch;
  for (int i = 0; i < count; ++i) {
    if (req.hooks.cancel && req.hooks.cancel())
      return failure(std::move(out), kCancelled, Fault::kCancelled, "cancelled");
    Frame f;
    if (const int r = supply(i, f); r < 0) return failure(std::move(out), r, Fault::kFrame, "frame", i);
    if (i == 0) {
      first = f;
      int64_t sizes[2] = {};
      const int levels = fusion_dims(f.width, f.height, channels_of(f), sizes);
      if (levels < 0) return failure(std::move(out), levels, Fault::kFusion, "fusion_dims", i);
      out.levels = levels;
      accum = Buffer::allocate(sizes[0], sizeof(float), true);
      scratch = Buffer::allocate(sizes[1], sizeof(float));
      if (!accum || !scratch) return failure(std::move(out), TMLIB_ERR_NO_MEMORY, Fault::kFusionMemory, "pyramid", i);
    } else if (f.width != first.width || f.height != first.height || channels_of(f) != channels_of(first)) {
      return failure(std::move(out), TMLIB_ERR_DIMS, Fault::kFrameSize, "frame size", i);
    }
    const int r = fusion_add(method, req.param, frame_dim(f.width, f.height, f.spp), f.kind, f.row_stride, f.gain,
                             f.pixels, opt, accum.as<float>(), scratch.as<float>());
    if (r < 0) return failure(std::move(out), r, Fault::kFusion, "fusion_add", i);
  }
  scratch.reset();

  out.step = Step::Finishing;
  if (req.hooks.cancel && req.hooks.cancel())
    return failure(std::move(out), kCancelled, Fault::kCancelled, "cancelled");
  if (req.hooks.on_step) req.hooks.on_step(Step::Finishing);
  const int W = first.width, H = first.height, C = channels_of(first);
  out.pixels = Buffer::allocate(int64_t(W) * H * C, req.out_bits / 8, true);
  if (!out.pixels) return failure(std::move(out), TMLIB_ERR_NO_MEMORY, Fault::kOutputMemory, "output");
  DimParam dim = frame_dim(W, H, C);
  dim.v[TMLIB_DIM_OUT_BITS] = req.out_bits;
  dim.v[TMLIB_DIM_OUT_STRIDE] = C * W;
  const int r = fusion_finish(method, req.param, dim, count, opt, accum.as<float>(), out.pixels.data());
  if (r <= 0) return failure(std::move(out), r, Fault::kFusion, "fusion_finish");
  out.code = r;
  return out;
}

// A single source: its virtual exposures, taken from its RGBE rows (16-bit sources are
// converted through the camera curve first, into linear light).
Outcome fuse_source(Source &src, const Request &req) {
  Outcome out;
  if (req.hooks.on_step) req.hooks.on_step(Step::Statistics);
  Buffer converted;
  const unsigned char *rgbe = src.pixels.data();
  if (src.doc_type == 1) {
    converted = Buffer::allocate(int64_t(src.width) * src.height, 4, true);
    Buffer own_curve;
    const float *curve = req.camera_curve;
    if (curve == nullptr) {
      own_curve = camera_curve(65536);
      curve = own_curve.as<float>();
    }
    if (!converted || curve == nullptr)
      return failure(std::move(out), TMLIB_ERR_NO_MEMORY, Fault::kRgbeCopyMemory, "RGBE copy");
    const int r = convert_to_rgbe(16, src.width, src.height, src.spp, int64_t(src.spp) * src.width, curve,
                                  src.pixels.as<uint16_t>(), converted.data());
    if (r < 0) return failure(std::move(out), r, Fault::kRgbeConversion, "convert_to_rgbe");
    if (req.release_source) src.pixels.reset();
    rgbe = converted.data();
  }
  const std::vector<float> gains = exposures_of(rgbe, src.width, src.height);
  const int spp = src.spp;
  const int W = src.width, H = src.height;
  Outcome o = fuse(
      int(gains.size()),
      [&](int i, Frame &f) {
        f.width = W;
        f.height = H;
        f.spp = 3;
        f.kind = TMLIB_FUSION_RGBE;
        f.gain = gains[size_t(i)];
        f.pixels = rgbe;
        return 0;
      },
      req);
  if (req.release_source) src.pixels.reset();
  if (!o.ok() || spp == 3) return o;
  // A grey source was fused as RGB (its RGBE rows carry three channels): keep one.
  const int bytes = req.out_bits / 8;
  Buffer grey = Buffer::allocate(int64_t(W) * H, bytes);
  if (!grey) return failure(std::move(o), TMLIB_ERR_NO_MEMORY, Fault::kOutputMemory, "output");
  for (int64_t i = 0; i < int64_t(W) * H; ++i)
    std::memcpy(grey.data() + i * bytes, o.pixels.data() + i * 3 * bytes, bytes);
  o.pixels = std::move(grey);
  return o;
}

}  // namespace brightloom::pipeline
