// SPDX-License-Identifier: MIT
#include "merge.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <thread>

namespace brightloom::brackets {
namespace {

float smooth01(float t) {
  t = std::clamp(t, 0.0f, 1.0f);
  return t * t * (3 - 2 * t);
}

// Where a frame's codes stop telling the light: near full scale the channels clip (at
// different exposures, so a frame is trusted only while its highest channel is clear of
// clipping), near zero noise and quantisation take over.
struct Limits {
  float clip_start = 0.90f, clip_end = 0.985f;  // of full scale, highest channel
  float dark_start, dark_end;                  // of full scale, mean of the channels
};

Limits limits_for(const Frame &f) {
  Limits l;
  // Linear codes reach the noise at a fraction of what tone-curved codes do.
  l.dark_end = f.linear ? 0.002f : 0.01f;
  l.dark_start = f.linear ? 0.02f : 0.12f;
  return l;
}

// Reads a frame through its transform, in light (response applied) and in codes (0..1).
class Sampler {
 public:
  Sampler(const Frame &f, const Response &r, const Transform &t, int w, int h)
      : f_(f), r_(r), t_(t), cx_(w / 2.0), cy_(h / 2.0), cos_(std::cos(t.angle)), sin_(std::sin(t.angle)),
        scale_(1.0f / float(f.max_code)), integral_(t.integral()), ix_(int(t.dx)), iy_(int(t.dy)) {}

  // Reference pixel (x, y): light[3], highest and mean code (and, when asked, the code of
  // each channel, the nearest one where the frame is resampled). False when it falls outside.
  bool at(int x, int y, float light[3], float &zmax, float &zmean, int *codes = nullptr) const {
    if (integral_) {
      const int fx = x + ix_, fy = y + iy_;
      if (fx < 0 || fy < 0 || fx >= f_.width || fy >= f_.height) return false;
      const size_t i = (size_t(fy) * f_.width + fx) * 3;
      const int c0 = f_.code(i), c1 = f_.code(i + 1), c2 = f_.code(i + 2);
      if (codes) {
        codes[0] = c0;
        codes[1] = c1;
        codes[2] = c2;
      }
      light[0] = r_(0, c0);
      light[1] = r_(1, c1);
      light[2] = r_(2, c2);
      zmax = float(std::max({c0, c1, c2})) * scale_;
      zmean = float(c0 + c1 + c2) * (scale_ / 3);
      return true;
    }
    const double px = x - cx_, py = y - cy_;
    const double fx = cx_ + cos_ * px - sin_ * py + t_.dx, fy = cy_ + sin_ * px + cos_ * py + t_.dy;
    if (!(fx >= 0 && fy >= 0 && fx <= f_.width - 1 && fy <= f_.height - 1)) return false;
    const int x0 = std::min(int(fx), f_.width - 2), y0 = std::min(int(fy), f_.height - 2);
    const float ax = float(fx - x0), ay = float(fy - y0);
    const float wts[4] = {(1 - ax) * (1 - ay), ax * (1 - ay), (1 - ax) * ay, ax * ay};
    const size_t base = (size_t(y0) * f_.width + x0) * 3;
    const size_t offs[4] = {base, base + 3, base + size_t(f_.width) * 3, base + size_t(f_.width) * 3 + 3};
    light[0] = light[1] = light[2] = 0;
    int top = 0;
    float mean = 0;
    for (int k = 0; k < 4; ++k) {
      for (int c = 0; c < 3; ++c) {
        const int z = f_.code(offs[k] + size_t(c));
        light[c] += wts[k] * r_(c, z);
        mean += wts[k] * float(z);
        top = std::max(top, z);  // a clipped neighbour spoils the interpolated value
      }
    }
    zmax = float(top) * scale_;
    zmean = mean * (scale_ / 3);
    if (codes) {
      const size_t nearest = offs[(ay >= 0.5f ? 2 : 0) + (ax >= 0.5f ? 1 : 0)];
      for (int c = 0; c < 3; ++c) codes[c] = f_.code(nearest + size_t(c));
    }
    return true;
  }

 private:
  const Frame &f_;
  const Response &r_;
  Transform t_;
  double cx_, cy_, cos_, sin_;
  float scale_;
  bool integral_;
  int ix_, iy_;
};

void parallel_rows(int rows, int threads, const std::function<void(int, int)> &fn) {
  threads = std::clamp(threads, 1, 64);
  if (threads == 1 || rows < 64) {
    fn(0, rows);
    return;
  }
  std::vector<std::thread> pool;
  const int band = (rows + threads - 1) / threads;
  for (int t = 0; t < threads; ++t) {
    const int y0 = t * band, y1 = std::min(rows, y0 + band);
    if (y0 < y1) pool.emplace_back(fn, y0, y1);
  }
  for (auto &th : pool) th.join();
}

bool well_exposed(const Limits &l, float zmax, float zmean) { return zmax <= l.clip_start && zmean >= l.dark_start; }

// Sums a box of radius r around every pixel of a w x h byte mask (as counts), two passes.
std::vector<uint16_t> box_count(const std::vector<uint8_t> &m, int w, int h, int r) {
  std::vector<uint16_t> tmp(m.size()), out(m.size());
  for (int y = 0; y < h; ++y) {
    const uint8_t *row = m.data() + size_t(y) * w;
    int s = 0;
    for (int x = 0; x <= std::min(r, w - 1); ++x) s += row[x];
    for (int x = 0; x < w; ++x) {
      tmp[size_t(y) * w + x] = uint16_t(s);
      if (x + r + 1 < w) s += row[x + r + 1];
      if (x - r >= 0) s -= row[x - r];
    }
  }
  for (int x = 0; x < w; ++x) {
    int s = 0;
    for (int y = 0; y <= std::min(r, h - 1); ++y) s += tmp[size_t(y) * w + x];
    for (int y = 0; y < h; ++y) {
      out[size_t(y) * w + x] = uint16_t(std::min(s, 65535));
      if (y + r + 1 < h) s += tmp[size_t(y + r + 1) * w + x];
      if (y - r >= 0) s -= tmp[size_t(y - r) * w + x];
    }
  }
  return out;
}

std::string frame_name(const Frame &f) {
  const auto slash = f.path.find_last_of('/');
  return slash == std::string::npos ? f.path : f.path.substr(slash + 1);
}

std::string ev_text(double ratio) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%+.2f EV", std::log2(ratio));
  return buf;
}

Status check_set(const std::vector<Frame> &frames) {
  if (frames.empty()) return fail("", "no frames to merge");
  if (frames.size() == 1)
    return fail(frames[0].path, "a merge needs at least two exposures of the scene; only this one was given");
  if (int(frames.size()) > kMaxFrames)
    return fail("", std::to_string(frames.size()) + " frames given; a bracket set holds at most " +
                        std::to_string(kMaxFrames) + " (were several sets passed as one?)");
  const Frame &first = frames[0];
  for (const Frame &f : frames) {
    if (f.width != first.width || f.height != first.height)
      return fail(f.path, "is " + std::to_string(f.width) + " x " + std::to_string(f.height) + " pixels but " +
                              frame_name(first) + " is " + std::to_string(first.width) + " x " +
                              std::to_string(first.height) + "; the frames of a set must be the same size");
    if (f.max_code != first.max_code || f.linear != first.linear)
      return fail(f.path, "is " + f.kind + " among frames of another kind (" + frame_name(first) + " is " +
                              first.kind + "); merge frames of one kind (all JPEG, all 16-bit, or all raw)");
  }
  // A frame with nothing in it (lens cap on, flash misfire) has no exposure to estimate and no
  // light to add; naming it beats merging around it.
  for (const Frame &f : frames) {
    const int64_t n = f.pixel_count();
    const int64_t step = std::max<int64_t>(1, n / 200000);
    int64_t black = 0, white = 0, seen = 0;
    const int lo = f.max_code / 50, hi = f.max_code - f.max_code / 50;
    for (int64_t i = 0; i < n; i += step, ++seen) {
      const int a = f.code(size_t(3 * i)), b = f.code(size_t(3 * i + 1)), c = f.code(size_t(3 * i + 2));
      black += std::max({a, b, c}) <= lo;
      white += std::min({a, b, c}) >= hi;
    }
    if (black * 1000 >= seen * 999) return fail(f.path, "the frame is black all over; leave it out of the set");
    if (white * 1000 >= seen * 999) return fail(f.path, "the frame is white all over (clipped everywhere); leave it out of the set");
  }
  return {};
}

// Mean code of a subsample: orders frames from dark to bright.
double brightness(const Frame &f) {
  const int64_t n = f.pixel_count() * 3;
  const int64_t step = std::max<int64_t>(1, n / 300000) * 3 + 1;
  double s = 0;
  int64_t k = 0;
  for (int64_t i = 0; i < n; i += step, ++k) s += f.code(size_t(i));
  return k ? s / (double(k) * f.max_code) : 0;
}

}  // namespace

std::optional<double> exposure_ratio(const Frame &a, const Transform &ta, const Frame &b, const Transform &tb,
                                     const Response &r) {
  const int w = a.width, h = a.height;
  const Sampler sa(a, r, ta, w, h), sb(b, r, tb, w, h);
  const Limits la = limits_for(a), lb = limits_for(b);
  const int step = std::max(1, int(std::sqrt(double(w) * h / 250000.0)));
  std::vector<float> logs;
  for (int y = 0; y < h; y += step)
    for (int x = 0; x < w; x += step) {
      float ca[3], cb[3], za, ma, zb, mb;
      if (!sa.at(x, y, ca, za, ma) || !sb.at(x, y, cb, zb, mb)) continue;
      // Both frames clear of clipping and of the noise floor in every channel.
      if (!well_exposed(la, za, ma) || !well_exposed(lb, zb, mb)) continue;
      const float ya = 0.2126f * ca[0] + 0.7152f * ca[1] + 0.0722f * ca[2];
      const float yb = 0.2126f * cb[0] + 0.7152f * cb[1] + 0.0722f * cb[2];
      if (ya > 0 && yb > 0) logs.push_back(std::log(yb / ya));
    }
  if (logs.size() < 200) return std::nullopt;
  // The median: moving things and misaligned edges are outliers, not noise.
  auto mid = logs.begin() + ptrdiff_t(logs.size() / 2);
  std::nth_element(logs.begin(), mid, logs.end());
  return std::exp(double(*mid));
}

Result<HdrImage> merge_frames(std::vector<Frame> frames, const MergeOptions &opt, MergeReport &rep) {
  auto progress = [&](const char *stage, double done) {
    if (opt.progress) opt.progress(stage, done);
  };
  rep = MergeReport{};
  for (const Frame &f : frames) rep.frames.push_back(f.path);
  if (Status s = check_set(frames); !s) return s.failure();
  const int nf = int(frames.size());
  const int w = frames[0].width, h = frames[0].height;
  if (!opt.ev.empty() && int(opt.ev.size()) != nf)
    return fail("", "--ev gives " + std::to_string(opt.ev.size()) + " exposure values for " + std::to_string(nf) +
                        " frames; give one per frame");

  // Dark to bright; the middle frame is the reference for alignment and the exposure scale.
  std::vector<double> bright(static_cast<size_t>(nf));
  for (int i = 0; i < nf; ++i) bright[size_t(i)] = brightness(frames[size_t(i)]);
  std::vector<int> order(static_cast<size_t>(nf));
  std::iota(order.begin(), order.end(), 0);
  if (!opt.ev.empty())
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return opt.ev[size_t(a)] < opt.ev[size_t(b)]; });
  else
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return bright[size_t(a)] < bright[size_t(b)]; });
  const int ref = order[size_t(nf / 2)];
  rep.reference = ref;

  // Alignment.
  rep.transforms.assign(size_t(nf), Transform{});
  if (opt.align) {
    progress("aligning", 0);
    const std::vector<uint8_t> ref_grey = grey_of(frames[size_t(ref)]);
    // Frames align independently: one worker each, as many at once as threads allow.
    std::atomic<int> next{0};
    auto work = [&] {
      for (int i; (i = next++) < nf;)
        if (i != ref) rep.transforms[size_t(i)] = align_grey(ref_grey, grey_of(frames[size_t(i)]), w, h);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < std::min(opt.threads, nf - 1); ++t) pool.emplace_back(work);
    work();
    for (auto &th : pool) th.join();
    progress("aligning", 0.3);
  }
  // The area every frame covers, in reference pixels (bilinear reads need both neighbours).
  int x0 = 0, y0 = 0, x1 = w - 1, y1 = h - 1;  // inclusive
  for (const Transform &t : rep.transforms) {
    const double slack_x = std::fabs(std::sin(t.angle)) * h / 2 + (1 - std::cos(t.angle)) * w / 2;
    const double slack_y = std::fabs(std::sin(t.angle)) * w / 2 + (1 - std::cos(t.angle)) * h / 2;
    x0 = std::max(x0, int(std::ceil(-t.dx + slack_x)));
    x1 = std::min(x1, int(std::floor(w - 1 - t.dx - slack_x)));
    y0 = std::max(y0, int(std::ceil(-t.dy + slack_y)));
    y1 = std::min(y1, int(std::floor(h - 1 - t.dy - slack_y)));
  }
  const int cw = x1 - x0 + 1, ch = y1 - y0 + 1;
  if (cw < 16 || ch < 16)
    return fail("", "the frames overlap too little after alignment (they may not show the same scene); "
                    "try --no-align if they are already registered");
  rep.crop_x = x0;
  rep.crop_y = y0;
  rep.frame_width = w;
  rep.frame_height = h;

  // Response, first guess: what the codes are known to be.
  const Frame &f0 = frames[0];
  Response response;
  switch (opt.response) {
    case ResponseChoice::Srgb:
      response = srgb_response(f0.max_code);
      response.source = "sRGB (as asked)";
      break;
    case ResponseChoice::Linear:
      response = linear_response(f0.max_code);
      break;
    case ResponseChoice::Given:
      if (!opt.given_response || opt.given_response->max_code != f0.max_code)
        return fail("", "the response curve given is for " +
                            std::string(opt.given_response && opt.given_response->max_code == 255 ? "8" : "16") +
                            "-bit frames; these are " + (f0.max_code == 255 ? "8" : "16") + "-bit");
      response = *opt.given_response;
      break;
    case ResponseChoice::Auto:
      response = f0.linear ? linear_response(f0.max_code) : srgb_response(f0.max_code);
      break;
  }

  // Exposures.
  progress("exposures", 0.32);
  auto estimate = [&](const Response &r, std::vector<double> &out) -> Status {
    out.assign(size_t(nf), 1.0);
    for (int k = 1; k < nf; ++k) {
      const int a = order[size_t(k - 1)], b = order[size_t(k)];
      const auto ratio = exposure_ratio(frames[size_t(a)], rep.transforms[size_t(a)], frames[size_t(b)],
                                        rep.transforms[size_t(b)], r);
      if (!ratio)
        return fail(frames[size_t(b)].path, "shares too few well-exposed pixels with " + frame_name(frames[size_t(a)]) +
                                                " to tell their exposures apart (are the steps wider than 3 EV?); "
                                                "give the exposures with --ev");
      out[size_t(b)] = out[size_t(a)] * *ratio;
    }
    return {};
  };
  std::vector<double> exposures;
  bool estimated = false;
  if (!opt.ev.empty()) {
    for (double ev : opt.ev) exposures.push_back(std::exp2(ev));
    rep.exposure_source = "given with --ev";
  } else {
    bool metadata = true;
    for (const Frame &f : frames) metadata = metadata && f.exposure.has_exposure();
    if (metadata) {
      for (const Frame &f : frames) exposures.push_back(f.exposure.relative_exposure());
      rep.exposure_source = "camera metadata";
    } else {
      if (Status est = estimate(response, exposures); !est) return est.failure();
      rep.exposure_source = "estimated from the frames";
      estimated = true;
    }
  }
  // The camera response of 8-bit frames, from a stratified sample of smooth pixels.
  const bool recover = opt.response == ResponseChoice::Auto && f0.max_code == 255;
  const Response assumed = response;
  auto recover_with = [&](const std::vector<double> &exps) -> Result<Response> {
    progress("response", 0.36);
    ResponseSamples samples;
    samples.frames = nf;
    // Codes as they are (an identity response), so that samples carry the frames' own codes.
    const Response ident = linear_response(255);
    const Sampler rs(frames[size_t(ref)], ident, rep.transforms[size_t(ref)], w, h);
    std::vector<Sampler> all;
    for (int i = 0; i < nf; ++i) all.emplace_back(frames[size_t(i)], ident, rep.transforms[size_t(i)], w, h);
    constexpr int kBins = 64, kPerBin = 5;
    for (int c = 0; c < 3; ++c) {
      std::vector<int> filled(kBins, 0);
      // A fixed stride through the crop that visits it evenly in a scrambled order.
      const int64_t n = int64_t(cw) * ch;
      const int64_t stride = 7919;  // prime, so the walk visits every pixel once per n steps
      int64_t pos = 12345 % n;
      for (int64_t k = 0; k < std::min<int64_t>(n, 400000); ++k, pos = (pos + stride) % n) {
        const int x = x0 + int(pos % cw), y = y0 + int(pos / cw);
        if (x + 1 > x1 || y + 1 > y1) continue;
        float l[3], zm, zmean;
        if (!rs.at(x, y, l, zm, zmean)) continue;
        const int z = int(std::lround(l[c] * 255));
        int &bin = filled[size_t(z * kBins / 256)];
        if (bin >= kPerBin) continue;
        // Smooth there in the reference: a sample on an edge measures the alignment, not the curve.
        float lr[3], ld[3];
        if (!rs.at(x + 1, y, lr, zm, zmean) || !rs.at(x, y + 1, ld, zm, zmean)) continue;
        if (std::fabs(lr[c] - l[c]) * 255 > 3 || std::fabs(ld[c] - l[c]) * 255 > 3) continue;
        std::vector<int> codes;
        bool ok = true;
        for (int i = 0; i < nf && ok; ++i) {
          float li[3];
          ok = all[size_t(i)].at(x, y, li, zm, zmean);
          codes.push_back(int(std::lround(li[c] * 255)));
        }
        if (!ok) continue;
        samples.codes[size_t(c)].insert(samples.codes[size_t(c)].end(), codes.begin(), codes.end());
        ++bin;
      }
    }
    return recover_response(samples, exps);
  };
  bool recovered_ok = false;
  std::string recovery_failure;
  if (recover) {
    auto recovered = recover_with(exposures);
    if (recovered) {
      response = std::move(recovered.value());
      recovered_ok = true;
    } else {
      recovery_failure = recovered.failure().reason;
    }
  }
  if (rep.exposure_source == "camera metadata") {
    // Metadata that contradicts the pictures (a frame from another set, a flash that fired
    // once, a camera that records the wrong time) loses to the pictures. Read through a
    // response known or recovered with these exposures, the pictures agree with correct
    // metadata to a fraction of a stop; through an assumed one, to about a stop.
    std::vector<double> seen;
    if (estimate(response, seen)) {
      const double allowed = recover && !recovered_ok ? 1.5 : 0.5;
      for (int i = 0; i < nf; ++i) {
        const double a = exposures[size_t(i)] / exposures[size_t(ref)], b = seen[size_t(i)] / seen[size_t(ref)];
        if (std::fabs(std::log2(a / b)) <= allowed) continue;
        rep.notes.push_back(frame_name(frames[size_t(i)]) + ": the metadata says " + ev_text(a) +
                            " but the pictures show " + ev_text(b) + "; using what the pictures show");
        rep.exposure_source = "estimated from the frames (the metadata disagrees with them)";
        if (Status est = estimate(assumed, exposures); !est) return est.failure();
        estimated = true;
        response = assumed;
        recovered_ok = false;
        if (recover) {
          auto again = recover_with(exposures);
          if (again) {
            response = std::move(again.value());
            recovered_ok = true;
          } else {
            recovery_failure = again.failure().reason;
          }
        }
        break;
      }
    }
  }
  if (recover && recovered_ok && estimated) {
    // The exposures were read through the assumed curve; read them again through the recovered one.
    std::vector<double> again;
    if (estimate(response, again)) exposures = again;
  }
  if (recover && !recovered_ok) rep.notes.push_back("camera response assumed sRGB: " + recovery_failure);
  // Same exposure twice: harmless for the merge (it averages them), but worth a word.
  for (int k = 1; k < nf; ++k) {
    const int a = order[size_t(k - 1)], b = order[size_t(k)];
    if (std::fabs(std::log2(exposures[size_t(b)] / exposures[size_t(a)])) < 0.1)
      rep.notes.push_back(frame_name(frames[size_t(a)]) + " and " + frame_name(frames[size_t(b)]) +
                          " have the same exposure; together they lower noise but add no range");
  }

  const double ref_exposure = exposures[size_t(ref)];
  for (double &e : exposures) e /= ref_exposure;
  rep.exposures = exposures;
  rep.response = response;
  rep.response_source = response.source;

  std::vector<Sampler> samplers;
  std::vector<Limits> limits;
  for (int i = 0; i < nf; ++i) {
    samplers.emplace_back(frames[size_t(i)], response, rep.transforms[size_t(i)], w, h);
    limits.push_back(limits_for(frames[size_t(i)]));
  }
  const int darkest = order.front(), brightest = order.back();
  auto weight = [&](int i, float zmax, float zmean) {
    const Limits &l = limits[size_t(i)];
    const float hi = i == darkest ? 1.0f : smooth01((l.clip_end - zmax) / (l.clip_end - l.clip_start));
    const float lo = i == brightest ? 1.0f : smooth01((zmean - l.dark_end) / (l.dark_start - l.dark_end));
    return hi * lo;
  };

  // Ghosts, found on blocks of kBlock x kBlock pixels: where two frames of neighbouring
  // exposure, both well exposed over the whole block, disagree about its mean light by more
  // than quantisation and noise allow. Block means average away JPEG artefacts and edges half
  // a pixel off, which pixel by pixel look like motion in every leaf of a tree; anything
  // that really moved covers blocks.
  constexpr int kBlock = 4;
  const int bw = (cw + kBlock - 1) / kBlock, bh = (ch + kBlock - 1) / kBlock;
  const size_t nblocks = size_t(bw) * bh;
  const size_t npix = size_t(cw) * ch;
  std::vector<uint8_t> owner;  // per block: frame to take alone (255: none)
  std::vector<uint8_t> alpha;  // per block: how much (0..255), soft at the edges
  if (opt.deghost) {
    progress("finding ghosts", 0.4);
    std::vector<uint8_t> mask(nblocks, 0);
    // Relative size of a few code steps of the response, per channel and code: the smallest
    // change a frame can show there.
    const int levels = response.max_code + 1;
    std::array<std::vector<float>, 3> step;
    const int unit = response.max_code == 255 ? 2 : 64;  // JPEG artefacts; 16-bit sensor noise
    for (int c = 0; c < 3; ++c) {
      step[size_t(c)].resize(size_t(levels));
      for (int z = 0; z < levels; ++z) {
        const int za = std::max(0, z - unit), zb = std::min(levels - 1, z + unit);
        const float l = std::max(response(c, z), 1e-6f);
        step[size_t(c)][size_t(z)] = (response(c, zb) - response(c, za)) / (2 * l);
      }
    }
    parallel_rows(bh, opt.threads, [&](int ya, int yb) {
      std::vector<double> sum(static_cast<size_t>(nf) * 3);
      std::vector<int> codes(static_cast<size_t>(nf) * 3);
      std::vector<char> ok(static_cast<size_t>(nf));
      for (int by = ya; by < yb; ++by)
        for (int bx = 0; bx < bw; ++bx) {
          std::fill(sum.begin(), sum.end(), 0.0);
          std::fill(ok.begin(), ok.end(), 1);
          int n = 0;
          for (int y = by * kBlock; y < std::min(ch, (by + 1) * kBlock); ++y)
            for (int x = bx * kBlock; x < std::min(cw, (bx + 1) * kBlock); ++x, ++n)
              for (int i = 0; i < nf; ++i) {
                float l[3], zm, zmean;
                if (!samplers[size_t(i)].at(x0 + x, y0 + y, l, zm, zmean)) {
                  ok[size_t(i)] = 0;
                  continue;
                }
                if (!well_exposed(limits[size_t(i)], zm, zmean)) ok[size_t(i)] = 0;
                for (int c = 0; c < 3; ++c) sum[size_t(i) * 3 + size_t(c)] += l[c];
              }
          bool ghost = false;
          for (int k = 1; k < nf && !ghost; ++k) {
            const size_t a = size_t(order[size_t(k - 1)]), b = size_t(order[size_t(k)]);
            if (!ok[a] || !ok[b]) continue;
            for (int c = 0; c < 3 && !ghost; ++c) {
              const double la = sum[a * 3 + size_t(c)] / n, lb = sum[b * 3 + size_t(c)] / n;
              if (la <= 0 || lb <= 0) continue;
              const double d = std::fabs(std::log(lb / exposures[b] / (la / exposures[a])));
              // The step size at each frame's level, from the code of its mean light.
              const auto &lut = response.light[size_t(c)];
              const auto code_of = [&](double l) {
                return std::min(size_t(levels - 1), size_t(std::lower_bound(lut.begin(), lut.end(), float(l)) - lut.begin()));
              };
              const double tol = 0.22 + 2 * (step[size_t(c)][code_of(la)] + step[size_t(c)][code_of(lb)]);
              ghost = d > tol;
            }
          }
          mask[size_t(by) * bw + bx] = ghost;
        }
    });
    // A lone block is noise; keep blocks with two more in their 3x3 neighbourhood, then grow
    // the region by the width of its soft edge, so that the edge falls outside what was
    // found: inside, the region comes from its frame alone; a box blur ramps it down beyond.
    {
      const auto count = box_count(mask, bw, bh, 1);
      for (size_t i = 0; i < nblocks; ++i) mask[i] = mask[i] && count[i] >= 3;
    }
    constexpr int kGrow = 1, kSoft = 2;  // blocks
    {
      const auto grown = box_count(mask, bw, bh, kGrow + kSoft);
      for (size_t i = 0; i < nblocks; ++i) mask[i] = grown[i] > 0;
    }
    alpha.assign(nblocks, 0);
    {
      const auto blurred = box_count(mask, bw, bh, kSoft);
      const int area = (2 * kSoft + 1) * (2 * kSoft + 1);
      for (size_t i = 0; i < nblocks; ++i) alpha[i] = uint8_t(std::min(255, (int(blurred[i]) * 255 + area / 2) / area));
    }
    // Regions: connected parts of everything the soft edge touches; each takes the frame best
    // exposed over it, so a walking person comes from one frame, whole.
    owner.assign(nblocks, 255);
    std::vector<int32_t> stack, region;
    std::vector<double> score(static_cast<size_t>(nf));
    std::vector<uint8_t> seen(nblocks, 0);
    int64_t ghost_blocks = 0;
    for (size_t start = 0; start < nblocks; ++start) {
      if (alpha[start] == 0 || seen[start]) continue;
      region.clear();
      stack.assign(1, int32_t(start));
      seen[start] = 1;
      while (!stack.empty()) {
        const int32_t p = stack.back();
        stack.pop_back();
        region.push_back(p);
        const int px = p % bw, py = p / bw;
        const int nx[4] = {px - 1, px + 1, px, px}, ny[4] = {py, py, py - 1, py + 1};
        for (int k = 0; k < 4; ++k) {
          if (nx[k] < 0 || ny[k] < 0 || nx[k] >= bw || ny[k] >= bh) continue;
          const size_t q = size_t(ny[k]) * bw + nx[k];
          if (alpha[q] && !seen[q]) {
            seen[q] = 1;
            stack.push_back(int32_t(q));
          }
        }
      }
      std::fill(score.begin(), score.end(), 0.0);
      const size_t stride = std::max<size_t>(1, region.size() / 20000);
      for (size_t k = 0; k < region.size(); k += stride) {
        const int px = std::min(cw - 1, (region[k] % bw) * kBlock + kBlock / 2);
        const int py = std::min(ch - 1, (region[k] / bw) * kBlock + kBlock / 2);
        for (int i = 0; i < nf; ++i) {
          float l[3], zm, zmean;
          if (samplers[size_t(i)].at(x0 + px, y0 + py, l, zm, zmean))
            score[size_t(i)] += well_exposed(limits[size_t(i)], zm, zmean) ? 1.0 : weight(i, zm, zmean) * 0.5;
        }
      }
      // The reference frame unless another is clearly better exposed there; among the others,
      // ties go to the brighter (less noisy) frame.
      int best = ref;
      for (int i : order)
        if (score[size_t(i)] > score[size_t(best)] * 1.1) best = i;
      for (int32_t p : region) {
        owner[size_t(p)] = uint8_t(best);
        ghost_blocks += alpha[size_t(p)] >= 128;
      }
    }
    rep.ghost_share = double(ghost_blocks) / double(nblocks);
  }

  // The merge: a weighted mean of each frame's light over its exposure.
  progress("merging", 0.55);
  HdrImage out;
  out.width = cw;
  out.height = ch;
  out.primaries = f0.primaries;
  try {
    out.rgb.resize(npix * 3);
  } catch (const std::bad_alloc &) {
    return fail("", "not enough memory for the merged image");
  }
  parallel_rows(ch, opt.threads, [&](int ya, int yb) {
    for (int y = ya; y < yb; ++y)
      for (int x = 0; x < cw; ++x) {
        const size_t p = size_t(y) * cw + x;
        float a = 0;
        int own = 255;
        if (!alpha.empty()) {
          // Block values, bilinear between block centres for alpha, nearest for the owner.
          const float fx = (x + 0.5f) / kBlock - 0.5f, fy = (y + 0.5f) / kBlock - 0.5f;
          const int bx0 = std::clamp(int(std::floor(fx)), 0, bw - 1), by0 = std::clamp(int(std::floor(fy)), 0, bh - 1);
          const int bx1 = std::min(bx0 + 1, bw - 1), by1 = std::min(by0 + 1, bh - 1);
          const float ax = std::clamp(fx - bx0, 0.0f, 1.0f), ay = std::clamp(fy - by0, 0.0f, 1.0f);
          auto al = [&](int bx, int by) { return float(alpha[size_t(by) * bw + bx]); };
          a = ((1 - ay) * ((1 - ax) * al(bx0, by0) + ax * al(bx1, by0)) + ay * ((1 - ax) * al(bx0, by1) + ax * al(bx1, by1))) /
              255.0f;
          own = owner[size_t(y / kBlock) * bw + size_t(x / kBlock)];
          if (own == 255) {
            // The edge of a region beyond its last block: the neighbouring block's frame.
            for (int by : {by0, by1})
              for (int bx : {bx0, bx1})
                if (own == 255) own = owner[size_t(by) * bw + bx];
          }
          if (own == 255) a = 0;
        }
        double sum[3] = {0, 0, 0}, wsum = 0;
        float dark[3] = {0, 0, 0}, solo[3] = {0, 0, 0};
        for (int i = 0; i < nf; ++i) {
          float l[3], zm, zmean;
          if (!samplers[size_t(i)].at(x0 + x, y0 + y, l, zm, zmean)) continue;
          const double e = exposures[size_t(i)];
          if (i == darkest && zm > 0.95f) {
            // Clipped channels of the darkest frame, taken as they are, tint the brightest
            // highlights magenta or cyan; they go to white as the frame nears clipping.
            const float s = smooth01((zm - 0.95f) / 0.04f), top = std::max({l[0], l[1], l[2]});
            for (float &v : l) v += s * (top - v);
          }
          float wt = weight(i, zm, zmean) * float(e);
          if (a > 0) wt *= (1 - a) + (i == own ? a : 0.0f);
          for (int c = 0; c < 3; ++c) sum[c] += double(wt) * l[c] / e;
          wsum += wt;
          if (i == darkest)
            for (int c = 0; c < 3; ++c) dark[c] = float(l[c] / e);
          if (i == own)
            for (int c = 0; c < 3; ++c) solo[c] = float(l[c] / e);
        }
        float *o = out.rgb.data() + p * 3;
        if (wsum > 1e-12) {
          for (int c = 0; c < 3; ++c) o[c] = float(sum[c] / wsum);
        } else {
          // No frame trustworthy here: the ghost region's own frame, else the darkest frame
          // scaled up (clipped everywhere: the light is at least that, and white).
          const float *src = own != 255 && a > 0.5f ? solo : dark;
          for (int c = 0; c < 3; ++c) o[c] = src[c];
        }
      }
  });
  progress("merging", 1.0);
  return out;
}

}  // namespace brightloom::brackets
