// SPDX-License-Identifier: MIT
#include "brightloom/pipeline.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <thread>
#include <vector>

#include "core/tiling.h"

namespace brightloom::pipeline {

// Slots are compared bit for bit: a NaN is the same input as itself, and -0 is not +0.
template <size_t N>
struct SlotKey {
  std::array<uint32_t, N> bits{};
  bool valid = false;

  static SlotKey of(const float *param, std::initializer_list<int> slots) {
    SlotKey k;
    size_t i = 0;
    for (int slot : slots) std::memcpy(&k.bits[i++], &param[slot], sizeof(float));
    k.valid = true;
    return k;
  }
  bool operator==(const SlotKey &o) const { return valid && o.valid && bits == o.bits; }
};

struct Memo::State {
  // The source and the run settings every kept result belongs to.
  const unsigned char *pixels = nullptr;
  size_t bytes = 0;
  int width = 0, height = 0, spp = 0, doc_type = 0, workers = 0;
  const float *curve = nullptr;

  // Details Enhancer. Stage 1's statistics depend on the level-0 log luminance (the source, and
  // the pyramid's padding, sized by the smoothing mode and level) and WhiteClip; when their
  // histogram range is unusable they keep the carried values, which then belong to the key.
  SlotKey<3> stats_key;
  bool stats_kept_carry = false;
  float carried_median = 0.0f;
  float lum[TMLIB_LUM_PARAMS] = {};
  // Stage 2's result (level 0 of the pyramid, W x H floats) depends on the right-hand sides
  // (Luminosity, Microcontrast, Microsmoothing, 360, the solver code's window, the smoothing
  // mode and level) and on the solve (the smoothing slider, the tolerance code, the workers'
  // split of the dot products).
  SlotKey<8> plane_key;
  Buffer plane;
  // Scratch space of the stages, kept from one refresh to the next.
  Buffer pyramid, work, finishing;

  // Tone Compressor: the statistics of the source (as RGBE), and the RGBE copy of a 16-bit one.
  bool has_tc_stats = false;
  float tc_stats[TMLIB_LUM_PARAMS] = {};
  Buffer converted;

  Memo::Runs *runs = nullptr;

  // The worker threads of the memo's thread.
  std::thread::id thread = std::this_thread::get_id();
  std::unique_ptr<tmlib::WorkerCrew> crew;
  int crew_workers = 0;

  void forget_results() {
    stats_key.valid = false;
    plane_key.valid = false;
    has_tc_stats = false;
    converted.reset();
  }

  // Forgets what belongs to another source or other run settings; true when the memo serves
  // this run (it then also has a crew for the run's worker count on its own thread).
  bool bind(const Source &src, const Request &req) {
    if (req.release_source || req.disk != nullptr) return false;
    if (src.pixels.data() != pixels || src.pixels.size() != bytes || src.width != width || src.height != height ||
        src.spp != spp || src.doc_type != doc_type || req.workers != workers || req.camera_curve != curve) {
      forget_results();
      pixels = src.pixels.data();
      bytes = src.pixels.size();
      width = src.width;
      height = src.height;
      spp = src.spp;
      doc_type = src.doc_type;
      workers = req.workers;
      curve = req.camera_curve;
    }
    if (std::this_thread::get_id() == thread && crew_workers != req.workers) {
      crew.reset();
      crew = std::make_unique<tmlib::WorkerCrew>(req.workers);
      crew_workers = req.workers;
    }
    return true;
  }
};

Memo::Memo() : state_(std::make_unique<State>()) { state_->runs = &runs; }
Memo::~Memo() = default;
void Memo::forget() { state_->forget_results(); }

namespace {

// A scratch buffer of at least `bytes`, as a fresh zeroed allocation would be, or false.
bool zeroed_scratch(Buffer &b, size_t bytes) {
  if (b.size() < bytes || b.size() > 2 * bytes) {
    b = Buffer::allocate(int64_t(bytes), 1, true);
    return bool(b);
  }
  std::memset(b.data(), 0, bytes);
  return true;
}

// Stage 1's test of the histogram range of its statistics: false when lumParam 3..6 were left
// as the caller gave them.
bool statistics_range_usable(const float *lum) {
  const float logMin = std::log(lum[TMLIB_LUM_MIN]);
  const float logMax = std::log(lum[TMLIB_LUM_LOG_AVERAGE] * lum[TMLIB_LUM_MAX_RATIO]);
  return std::isfinite(logMin) && std::isfinite(logMax) && logMin < logMax;
}

DimParam dim_of(int width, int height, int spp) {
  DimParam d;
  init_dim_param(&d);
  d.v[TMLIB_DIM_WIDTH] = width;
  d.v[TMLIB_DIM_HEIGHT] = height;
  d.v[TMLIB_DIM_SPP] = spp;
  return d;
}

// The record of a finishing operator (calc_tm3, tm_simple): the size, the output depth and
// packed rows of spp samples in the source and the output alike.
DimParam finishing_dim(int width, int height, int spp, int bits) {
  DimParam d = dim_of(width, height, spp);
  d.v[TMLIB_DIM_OUT_BITS] = bits;
  d.v[TMLIB_DIM_SRC_STRIDE] = spp * width;
  d.v[TMLIB_DIM_OUT_STRIDE] = spp * width;
  return d;
}

OptimParam optim_of(int workers) {
  OptimParam o;
  init_optim_param(&o);
  o.v[TMLIB_OPT_WORKERS] = workers;
  return o;
}

// One run's bookkeeping: the hooks, and the outcome being built.
class Run {
 public:
  explicit Run(const Request &r) : req_(r) {}

  // Enters a step; false when the run is to stop (cancelled).
  bool enter(Step s) {
    out.step = s;
    if (req_.hooks.cancel && req_.hooks.cancel()) {
      out.code = kCancelled;
      out.fault = Fault::kCancelled;
      return false;
    }
    if (req_.hooks.on_step) req_.hooks.on_step(s);
    return true;
  }
  Outcome failed(int code, Fault fault, const char *what) {
    out.code = code;
    out.fault = fault;
    out.what = what;
    out.pixels.reset();
    out.pixels16.reset();
    return std::move(out);
  }
  Outcome cancelled() { return failed(kCancelled, Fault::kCancelled, "cancelled"); }
  // tm_dim, then the image size the later stages read from the record; false when refused.
  bool size_pyramid(int W, int H, const float *p, int32_t *dims) {
    if (tm_dim(W, H, p, dims) < 0) {
      out.too_small = true;
      return false;
    }
    dims[TMLIB_PD_WIDTH] = W;
    dims[TMLIB_PD_HEIGHT] = H;
    out.levels = dims[TMLIB_PD_LEVELS];
    return true;
  }
  Outcome file_failed(const std::string &path, int code) {
    out.file = path;
    out.error_number = errno;
    return failed(code, Fault::kTemporaryFile, "temporary file");
  }

  const Request &req_;
  Outcome out;
};

// Details Enhancer in memory: the dialog's steps at the source's own size. With a memo, the
// stages whose inputs are unchanged since the last run are not run again (see Memo).
Outcome details(Source &src, const Request &req, Memo::State *memo) {
  Run run(req);
  const int W = src.width, H = src.height, spp = src.spp;
  float p[TMLIB_TMPARAM_SLOTS];
  std::memcpy(p, req.param, sizeof p);
  float table[256];
  exp_lut(table, -8);

  if (!run.enter(Step::Statistics)) return run.cancelled();
  if (req.check_source_statistics && src.doc_type == 0) {
    float stats[TMLIB_LUM_PARAMS] = {};
    if (const int r = source_statistics(src, stats); r < 0) return run.failed(r, Fault::kStatistics, "logMinMaxMoy");
  }

  int32_t dims[TMLIB_PYRAMID_DIMS] = {};
  if (!run.enter(Step::Pyramid)) return run.cancelled();
  if (!run.size_pyramid(W, H, p, dims)) return run.failed(TMLIB_ERR_OPEN, Fault::kPyramidSize, "tm_dim");
  const int64_t m = std::max<int64_t>(dims[TMLIB_PD_SOLVER_CELLS], dims[TMLIB_PD_ANALYSIS_CELLS]);
  const size_t S = src.pixels.size();
  const size_t planeBytes = size_t(W) * size_t(H) * sizeof(float);

  float lum[TMLIB_LUM_PARAMS] = {};
  if (req.carry != nullptr) {
    lum[TMLIB_LUM_LOG_AVERAGE] = req.carry->lwa;
    lum[TMLIB_LUM_MAX_RATIO] = req.carry->lwmax;
    lum[TMLIB_LUM_MEDIAN] = req.carry->lwmed;
  }
  const auto statsKey = SlotKey<3>::of(p, {TMLIB_DE_WHITE_CLIP, TMLIB_DE_SMOOTHING_LEVEL, TMLIB_DE_SMOOTHING_MODE});
  const auto planeKey =
      SlotKey<8>::of(p, {TMLIB_DE_LUMINOSITY, TMLIB_DE_SMOOTHING_LEVEL, TMLIB_DE_MICROCONTRAST, TMLIB_DE_MICROSMOOTHING,
                         TMLIB_DE_PANORAMA_360, TMLIB_DE_SMOOTHING_MODE, TMLIB_DE_SMOOTHING, TMLIB_DE_SOLVER_CODE});
  const bool statsKept =
      memo != nullptr && memo->stats_key == statsKey &&
      (!memo->stats_kept_carry || std::memcmp(&memo->carried_median, &lum[TMLIB_LUM_MEDIAN], sizeof(float)) == 0);
  const bool planeKept = memo != nullptr && memo->plane_key == planeKey && memo->plane.size() == planeBytes;

  Buffer ownPyramid;
  Buffer &pyramid = memo != nullptr ? memo->pyramid : ownPyramid;
  DimParam dim = dim_of(W, H, spp);
  dim.v[TMLIB_DIM_OUT_STRIDE] = spp * W;
  Buffer own_curve;
  const float *curve = req.camera_curve;
  if (src.doc_type != 1 || curve == nullptr) {
    own_curve = camera_curve(src.doc_type == 1 ? 65536 : 1);
    curve = own_curve.as<float>();
  }
  if (curve == nullptr) return run.failed(TMLIB_ERR_NO_MEMORY, Fault::kPyramidMemory, "pyramid");

  if (statsKept && planeKept) {
    std::memcpy(lum, memo->lum, sizeof lum);
    if (req.carry != nullptr) req.carry->white_point = lum[TMLIB_LUM_WHITE_POINT];
  } else {
    if (memo != nullptr) {
      // What this run replaces is stale until it succeeds.
      memo->stats_key.valid = false;
      if (!planeKept) memo->plane_key.valid = false;
    }
    Buffer ownWork;
    Buffer &work = memo != nullptr ? memo->work : ownWork;
    const size_t workBytes = size_t(std::max<int64_t>(4 * m, int64_t(S)));
    if (!zeroed_scratch(pyramid, size_t(m) * sizeof(float)) || !zeroed_scratch(work, workBytes))
      return run.failed(TMLIB_ERR_NO_MEMORY, Fault::kPyramidMemory, "pyramid");
    std::memcpy(work.data(), src.pixels.data(), S);
    const float carriedMedian = lum[TMLIB_LUM_MEDIAN];
    const int r = calc_tm1(src.doc_type, dim, p, dims, lum, table, curve, 0, optim_of(req.workers), work.data(),
                           pyramid.as<float>());
    if (req.carry != nullptr) req.carry->white_point = lum[TMLIB_LUM_WHITE_POINT];
    if (r < 0) return run.failed(r, Fault::kPyramid, "calc_tm1");
    if (memo == nullptr) {
      work.reset();
    } else {
      ++memo->runs->stage1;
      std::memcpy(memo->lum, lum, sizeof lum);
      memo->stats_key = statsKey;
      memo->stats_kept_carry = !statistics_range_usable(lum);
      memo->carried_median = carriedMedian;
    }
  }
  if (req.carry != nullptr) {
    req.carry->lwa = lum[TMLIB_LUM_LOG_AVERAGE];
    req.carry->lwmax = lum[TMLIB_LUM_MAX_RATIO];
    req.carry->lwmed = lum[TMLIB_LUM_MEDIAN];
  }
  if (req.hooks.statistics) req.hooks.statistics(lum);

  if (!run.enter(Step::Solve)) return run.cancelled();
  if (!planeKept) {
    const int r = calc_tm2(dim, dims[TMLIB_PD_MIN_WIDTH], dims[TMLIB_PD_MIN_HEIGHT], dims[TMLIB_PD_SOLVER_CELLS],
                           dims[TMLIB_PD_LEVELS], p, optim_of(req.workers), pyramid.as<float>());
    if (r < 0) return run.failed(r, Fault::kSolver, "calc_tm2");
    if (memo == nullptr) {
      // Level 0 is the compressed luminance; the coarser levels are no longer needed.
      pyramid.shrink(planeBytes);
    } else {
      ++memo->runs->stage2;
      if (memo->plane.size() != planeBytes) memo->plane = Buffer::allocate(int64_t(planeBytes), 1);
      if (!memo->plane) return run.failed(TMLIB_ERR_NO_MEMORY, Fault::kPyramidMemory, "pyramid");
      std::memcpy(memo->plane.data(), pyramid.data(), planeBytes);
      memo->plane_key = planeKey;
    }
  }

  if (!run.enter(Step::Finishing)) return run.cancelled();
  // The finishing stage normalises the plane in place: with a memo it works on a copy of the
  // kept one.
  float *plane = pyramid.as<float>();
  if (memo != nullptr) {
    if (memo->finishing.size() != planeBytes) memo->finishing = Buffer::allocate(int64_t(planeBytes), 1);
    if (!memo->finishing) return run.failed(TMLIB_ERR_NO_MEMORY, Fault::kPyramidMemory, "pyramid");
    std::memcpy(memo->finishing.data(), memo->plane.data(), planeBytes);
    plane = memo->finishing.as<float>();
    ++memo->runs->finishing;
  }
  run.out.pixels = Buffer::allocate(int64_t(W) * H * spp, req.out_bits / 8, true);
  if (!run.out.pixels) return run.failed(TMLIB_ERR_NO_MEMORY, Fault::kOutputMemory, "output");
  // The finishing stage normalises the plane in place: the second finish starts from its own
  // copy of the solved plane (the kept one with a memo, taken before the first finish without).
  const bool both = req.also_16_bits && req.out_bits == 8;
  Buffer plane_copy;
  if (both) {
    plane_copy = Buffer::copy_of(memo != nullptr ? memo->plane.data() : pyramid.data(), planeBytes);
    run.out.pixels16 = Buffer::allocate(int64_t(W) * H * spp, 2, true);
    if (!plane_copy || !run.out.pixels16) return run.failed(TMLIB_ERR_NO_MEMORY, Fault::kOutputMemory, "output");
  }
  int r = calc_tm3(src.doc_type, finishing_dim(W, H, spp, req.out_bits), p, lum, table, curve, optim_of(req.workers),
                   src.pixels.data(), plane, run.out.pixels.data());
  if (both && r > 0)
    r = calc_tm3(src.doc_type, finishing_dim(W, H, spp, 16), p, lum, table, curve, optim_of(req.workers),
                 src.pixels.data(), plane_copy.as<float>(), run.out.pixels16.data());
  // In memory the stage gives -2 for one thing only: a worker thread could not be started, and
  // the calling thread has then finished the whole picture alone, the same picture.
  if (r == TMLIB_ERR_SHORT_IO && req.retry_on_one_worker) r = H;
  if (req.release_source) src.pixels.reset();
  if (r <= 0) return run.failed(r, Fault::kFinishing, "calc_tm3");
  run.out.code = r;
  return std::move(run.out);
}

// Details Enhancer working from disk: the source goes to a Radiance file that stage 1 decodes
// itself, stage 2 keeps its vectors in files, and the finishing stage reads the source rows
// back from a raw copy, with the luminance plane lodged in the tail of a 16-bit-sized output.
Outcome details_from_disk(Source &src, const Request &req) {
  Run run(req);
  const DiskFiles &f = *req.disk;
  const int W = src.width, H = src.height;
  float p[TMLIB_TMPARAM_SLOTS];
  std::memcpy(p, req.param, sizeof p);

  if (!run.enter(Step::Statistics)) return run.cancelled();
  float stats[TMLIB_LUM_PARAMS] = {};
  if (const int r = source_statistics(src, stats); r < 0) return run.failed(r, Fault::kStatistics, "logMinMaxMoy");
  if (const int r = write_radiance(f.source_hdr, src.pixels.data(), W, H); r < 0)
    return run.file_failed(f.source_hdr, r);
  {
    FILE *raw = std::fopen(f.source_raw.c_str(), "wb");
    if (raw == nullptr) return run.file_failed(f.source_raw, TMLIB_ERR_OPEN);
    const bool ok = std::fwrite(src.pixels.data(), 1, src.pixels.size(), raw) == src.pixels.size();
    if (std::fclose(raw) != 0 || !ok) return run.file_failed(f.source_raw, TMLIB_ERR_SHORT_IO);
  }
  if (req.release_source) src.pixels.reset();

  float table[256];
  exp_lut(table, -8);
  int32_t dims[TMLIB_PYRAMID_DIMS] = {};
  if (!run.enter(Step::Pyramid)) return run.cancelled();
  if (!run.size_pyramid(W, H, p, dims)) return run.failed(TMLIB_ERR_OPEN, Fault::kPyramidSize, "tm_dim");
  const int64_t m = std::max<int64_t>({dims[TMLIB_PD_SOLVER_CELLS], dims[TMLIB_PD_ANALYSIS_CELLS], int64_t(W) * H});
  Buffer pyramid = Buffer::allocate(m, sizeof(float), true);
  if (!pyramid) return run.failed(TMLIB_ERR_NO_MEMORY, Fault::kPyramidMemory, "pyramid");

  OptimParam opt = optim_of(req.workers);
  opt.v[TMLIB_OPT_READ_FROM_DISK] = 1;
  opt.v[TMLIB_OPT_SOURCE_FILE] = intptr_t(f.source_hdr.c_str());
  opt.v[TMLIB_OPT_RHS_FILE] = intptr_t(f.rhs.c_str());
  opt.v[TMLIB_OPT_X_FILE] = intptr_t(f.x.c_str());
  opt.v[TMLIB_OPT_P_FILE] = intptr_t(f.p.c_str());
  opt.v[TMLIB_OPT_R_FILE] = intptr_t(f.r.c_str());
  opt.v[TMLIB_OPT_T_FILE] = intptr_t(f.t.c_str());
  float lum[TMLIB_LUM_PARAMS] = {};
  DimParam dim = dim_of(W, H, 3);
  dim.v[TMLIB_DIM_OUT_STRIDE] = 3 * W;
  float curve = 0;

  int r = calc_tm1(0, dim, p, dims, lum, table, &curve, 0, opt, nullptr, pyramid.as<float>());
  if (r < 0) return run.failed(r, Fault::kPyramid, "calc_tm1");
  if (req.hooks.statistics) req.hooks.statistics(lum);
  if (!run.enter(Step::Solve)) return run.cancelled();
  r = calc_tm2(dim, dims[TMLIB_PD_MIN_WIDTH], dims[TMLIB_PD_MIN_HEIGHT], dims[TMLIB_PD_SOLVER_CELLS],
               dims[TMLIB_PD_LEVELS], p, opt, pyramid.as<float>());
  if (r < 0) return run.failed(r, Fault::kSolver, "calc_tm2");

  if (!run.enter(Step::Finishing)) return run.cancelled();
  Buffer out = Buffer::allocate(int64_t(W) * H, 6, true);
  if (!out) return run.failed(TMLIB_ERR_NO_MEMORY, Fault::kOutputMemory, "output");
  const size_t plane_offset = size_t(H) * size_t(W) * 2;
  std::memcpy(out.data() + plane_offset, pyramid.data(), size_t(W) * size_t(H) * sizeof(float));
  pyramid.reset();
  opt.v[TMLIB_OPT_SOURCE_FILE] = intptr_t(f.source_raw.c_str());
  r = calc_tm3(0, finishing_dim(W, H, 3, req.out_bits), p, lum, table, &curve, opt, nullptr, nullptr, out.data());
  if (r <= 0) return run.failed(r, Fault::kFinishing, "calc_tm3");
  out.shrink(size_t(W) * size_t(H) * 3 * size_t(req.out_bits / 8));
  run.out.pixels = std::move(out);
  run.out.code = r;
  return std::move(run.out);
}

}  // namespace

void display_power(Buffer &pixels, int bits, int64_t n) {
  if (bits == 8) {
    unsigned char lut[256];
    for (int b = 0; b < 256; ++b) {
      const float x = float(b) * 0.00390625f;
      const int v = int(std::pow(double(x), 2.2) * 256.0);
      lut[b] = (unsigned char)std::clamp(v, 0, 255);
    }
    unsigned char *px = pixels.data();
    for (int64_t i = 0; i < n; ++i) px[i] = lut[px[i]];
  } else {
    std::vector<uint16_t> lut(65536);
    for (int b = 0; b < 65536; ++b) {
      const float x = float(b) * (1.0f / 65536.0f);
      const int v = int(std::pow(double(x), 2.2) * 65536.0);
      lut[b] = uint16_t(std::clamp(v, 0, 65535));
    }
    uint16_t *px = pixels.as<uint16_t>();
    for (int64_t i = 0; i < n; ++i) px[i] = lut[px[i]];
  }
}

namespace {

Outcome compressor(Source &src, const Request &req, Memo::State *memo) {
  Run run(req);
  const int W = src.width, H = src.height, spp = src.spp;
  float p[TMLIB_TMPARAM_SLOTS];
  std::memcpy(p, req.param, sizeof p);

  if (!run.enter(Step::Statistics)) return run.cancelled();
  float table[256];
  exp_lut(table, -8);
  float lum[TMLIB_LUM_PARAMS] = {};
  // The operator reads RGBE: 16-bit sources are converted through the camera curve first.
  Buffer ownConverted;
  Buffer &converted = memo != nullptr ? memo->converted : ownConverted;
  const unsigned char *rgbe = src.doc_type == 1 ? converted.data() : src.pixels.data();
  if (memo != nullptr && memo->has_tc_stats) {
    std::memcpy(lum, memo->tc_stats, sizeof lum);
  } else {
    if (src.doc_type == 1) {
      converted = Buffer::allocate(int64_t(W) * H, 4, true);
      Buffer own_curve;
      const float *curve = req.camera_curve;
      if (curve == nullptr) {
        own_curve = camera_curve(65536);
        curve = own_curve.as<float>();
      }
      if (!converted || curve == nullptr) return run.failed(TMLIB_ERR_NO_MEMORY, Fault::kRgbeCopyMemory, "RGBE copy");
      const int r =
          convert_to_rgbe(16, W, H, spp, int64_t(spp) * W, curve, src.pixels.as<uint16_t>(), converted.data());
      if (r < 0) {
        converted.reset();
        return run.failed(r, Fault::kRgbeConversion, "convert_to_rgbe");
      }
      if (req.release_source) src.pixels.reset();
      rgbe = converted.data();
    }
    // Statistics that could not be taken would leave the operator reading an unwritten record.
    if (const int s = logMinMaxMoy(W, H, table, rgbe, lum); s < 0)
      return run.failed(s, Fault::kStatistics, "logMinMaxMoy");
    if (memo != nullptr) {
      std::memcpy(memo->tc_stats, lum, sizeof lum);
      memo->has_tc_stats = true;
      ++memo->runs->statistics;
    }
  }
  if (req.hooks.statistics) req.hooks.statistics(lum);

  if (!run.enter(Step::Finishing)) return run.cancelled();
  run.out.pixels = Buffer::allocate(int64_t(W) * H * spp, req.out_bits / 8, true);
  if (!run.out.pixels) return run.failed(TMLIB_ERR_NO_MEMORY, Fault::kOutputMemory, "output");
  const DimParam dim = finishing_dim(W, H, spp, req.out_bits);
  int r = tm_simple(dim, p, lum, table, optim_of(req.workers), rgbe, run.out.pixels.data());
  if (r == TMLIB_ERR_SHORT_IO && req.retry_on_one_worker && req.workers > 1)
    // A worker thread could not be started (a process limit, say): the same mapping on the
    // calling thread alone gives the same picture.
    r = tm_simple(dim, p, lum, table, optim_of(1), rgbe, run.out.pixels.data());
  if (req.release_source) src.pixels.reset();
  if (r <= 0) return run.failed(r, Fault::kToneCompressor, "tm_simple");
  if (memo != nullptr) ++memo->runs->finishing;
  if (src.doc_type == 0 && req.tone_compressor_display_power)
    display_power(run.out.pixels, req.out_bits, int64_t(W) * H * spp);
  run.out.code = r;
  return std::move(run.out);
}

}  // namespace

const char *step_name(Step s) {
  switch (s) {
    case Step::Statistics:
      return "statistics";
    case Step::Pyramid:
      return "pyramid";
    case Step::Solve:
      return "solve";
    case Step::Finishing:
      return "finishing";
  }
  return "?";
}

Buffer camera_curve(int n) {
  Buffer c = Buffer::allocate(n, sizeof(float), true);
  if (!c || n < 2) return c;
  float *f = c.as<float>();
  const float gamma = 2.2f;
  for (int i = 1; i < n; ++i) {
    const float q = float(i) / float(n - 1);
    f[i] = float(double(n - 1) * std::pow(double(q), double(gamma)));
  }
  return c;
}

void preview_dimensions(int dim, int iMax, int jMax, int &width, int &height) {
  height = dim;
  width = int(float(dim) * float(iMax) / float(jMax));
  const int limit = (3 * dim) / 2;
  if (iMax > jMax && limit < width) {
    width = limit;
    height = int(float(limit) * float(jMax) / float(iMax));
  }
}

int make_source(int kind, int srcWidth, int srcHeight, int spp, int64_t rowStride, const void *pixels, int width,
                int height, Source &out) {
  out = Source{};
  const bool rgbe = kind == TMLIB_SOURCE_FLOAT || kind == TMLIB_SOURCE_RGBE;
  Buffer b = Buffer::allocate(int64_t(width) * height, rgbe ? 4 : int64_t(2) * spp, true);
  if (!b) return TMLIB_ERR_NO_MEMORY;
  const int r = extract_rgbe_preview(kind, srcWidth, srcHeight, spp, rowStride, width, height, pixels, b.data());
  if (r < 0) return r;
  out.width = width;
  out.height = height;
  out.spp = spp;
  out.doc_type = rgbe ? 0 : 1;
  out.pixels = std::move(b);
  return r;
}

int source_statistics(const Source &src, float stats[TMLIB_LUM_PARAMS]) {
  float t0[256];
  exp_lut(t0, 0);
  const int r = logMinMaxMoy(src.width, src.height, t0, src.pixels.data(), stats);
  return r < 0 ? (r == TMLIB_ERR_NO_MEMORY ? r : TMLIB_ERR_OPEN) : r;
}

int original_view(const Source &src, bool widened_bytes, float white_point, Buffer &out) {
  out.reset();
  if (!src.pixels || src.width <= 0 || src.height <= 0 || src.spp < 1) return TMLIB_ERR_OPEN;
  const int W = src.width, H = src.height, spp = src.spp;
  out = Buffer::allocate(int64_t(W) * H * spp, 1, true);
  if (!out) return TMLIB_ERR_NO_MEMORY;
  unsigned char *dst = out.data();
  if (src.doc_type == 0) {
    float table[256];
    exp_lut(table, -8);
    const float factor = 1.0f / float(std::exp(double(white_point)));
    const int green = (spp - 1) / 2, blue = spp - 1;
    for (int y = 0; y < H; ++y) {
      const unsigned char *row = src.pixels.data() + size_t(y) * 4 * size_t(W);
      const unsigned char *r = row, *g = row + W, *b = row + 2 * size_t(W), *e = row + 3 * size_t(W);
      unsigned char *o = dst + size_t(y) * size_t(W) * size_t(spp);
      for (int x = 0; x < W; ++x, o += spp) {
        if (e[x] == 0) continue;  // the buffer is zeroed: black
        const float scale = factor * table[e[x]] * 256.0f;
        auto level = [scale](unsigned char m) {
          const float v = scale * float(m);
          if (!(v > 0.0f)) return (unsigned char)0;  // NaN too (an extreme white point)
          return (unsigned char)(v >= 255.0f ? 255 : int(v));
        };
        o[0] = level(r[x]);
        o[green] = level(g[x]);
        o[blue] = level(b[x]);
      }
    }
    return H;
  }
  const int shift = widened_bytes ? 8 : 7;
  const uint16_t *s = src.pixels.as<uint16_t>();
  const int64_t n = int64_t(W) * H * spp;
  for (int64_t i = 0; i < n; ++i) dst[i] = (unsigned char)std::min(s[i] >> shift, 255);
  return H;
}

// Exposure fusion of a single source's virtual exposures (fusion.cpp).
Outcome fuse_source(Source &src, const Request &req);

Outcome run(Source &src, const Request &req) {
  if (req.param == nullptr || (req.out_bits != 8 && req.out_bits != 16) || !src.pixels) {
    Outcome o;
    o.code = TMLIB_ERR_OPEN;
    return o;
  }
  if (is_fusion(req.method)) {
    Outcome o = fuse_source(src, req);
    if (o.ok() && src.doc_type == 0 && req.tone_compressor_display_power)
      display_power(o.pixels, req.out_bits, int64_t(o.pixels.size()) / (req.out_bits / 8));
    return o;
  }
  const bool fromDisk = req.disk != nullptr && src.doc_type == 0 && src.spp == 3;
  Memo::State *memo =
      req.memo != nullptr && !fromDisk && req.memo->state().bind(src, req) ? &req.memo->state() : nullptr;
  if (req.method == Method::Compressor) return compressor(src, req, memo);
  if (fromDisk) return details_from_disk(src, req);
  return details(src, req, memo);
}

}  // namespace brightloom::pipeline
