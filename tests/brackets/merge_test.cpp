// SPDX-License-Identifier: MIT
// Merging synthetic bracket sets made from the sample image, compared with the light they
// were made from.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "merge.h"
#include "support/synth.h"

using namespace brightloom::brackets;
using synth::Shot;

namespace {

// The half-size sample (512 x 256) cut to 448 x 224 at (32, 16): room for shifts without
// running off it.
constexpr int kW = 448, kH = 224, kOx = 32, kOy = 16;

std::vector<Shot> stops(int n, double step_ev, int bits = 8) {
  std::vector<Shot> shots;
  for (int k = 0; k < n; ++k) {
    Shot s;
    s.exposure = 0.6 * std::exp2(step_ev * (k - (n - 1) / 2.0));
    s.bits = bits;
    shots.push_back(s);
  }
  return shots;
}

std::vector<Frame> frames_of(const std::vector<Shot> &shots, const synth::Curve &curve, int w = kW, int h = kH,
                             int ox = kOx, int oy = kOy, bool half = true) {
  std::vector<Frame> frames;
  for (size_t i = 0; i < shots.size(); ++i) {
    frames.push_back(synth::make_frame(synth::sample(half), shots[i], curve, w, h, ox, oy));
    frames.back().path = "frame" + std::to_string(i) + ".jpg";
  }
  return frames;
}

std::vector<double> evs_of(const std::vector<Shot> &shots) {
  std::vector<double> ev;
  for (const Shot &s : shots) ev.push_back(std::log2(s.exposure));
  return ev;
}

synth::Error merged_error(const std::vector<Shot> &shots, const synth::Curve &curve, MergeOptions opt,
                          MergeReport *report = nullptr) {
  MergeReport rep;
  auto hdr = merge_frames(frames_of(shots, curve), opt, rep);
  EXPECT_TRUE(hdr.ok()) << (hdr.ok() ? "" : hdr.failure().message());
  if (!hdr.ok()) return {};
  if (report) *report = rep;
  return synth::log_error(*hdr, rep, synth::sample(true), kOx, kOy, shots);
}

}  // namespace

// The response matters: an S-curve camera read as sRGB is off by far more than the same set
// through the recovered curve; an sRGB camera with no metadata comes out right with
// estimated exposures.
TEST(BracketMerge, RecoversTheLightThroughTheCameraCurve) {
  const auto shots = stops(5, 2.0);
  MergeOptions opt;
  opt.align = false;
  opt.deghost = false;
  MergeReport rep;
  const auto srgb = merged_error(shots, synth::srgb, opt, &rep);
  EXPECT_EQ(rep.exposure_source, "estimated from the frames");
  EXPECT_LT(srgb.stops, 0.05);
  EXPECT_GT(srgb.covered, 0.95);
  for (size_t i = 0; i < shots.size(); ++i)
    EXPECT_NEAR(std::log2(rep.exposures[i]), std::log2(shots[i].exposure / shots[2].exposure), 0.1) << i;

  opt.ev = evs_of(shots);
  const auto recovered = merged_error(shots, synth::s_curve, opt, &rep);
  EXPECT_EQ(rep.response_source, "recovered from the frames");
  opt.response = ResponseChoice::Srgb;
  const auto assumed = merged_error(shots, synth::s_curve, opt);
  std::printf("error in stops: sRGB camera %.4f, S-curve recovered %.4f, S-curve read as sRGB %.4f\n", srgb.stops,
              recovered.stops, assumed.stops);
  EXPECT_LT(recovered.stops, 0.06);
  EXPECT_GT(assumed.stops, 3 * recovered.stops);
}

// Hand-held frames: shifts up to 64 pixels and turns up to a degree, at different exposures,
// found by the bitmaps within half a pixel and a tenth of a degree.
TEST(BracketAlign, FindsShiftsAndRotationsAcrossExposures) {
  const auto &src = synth::sample();
  constexpr int w = 896, h = 448;
  struct Case {
    double exposure, dx, dy, angle;
  };
  const Shot ref{0.6, 0, 0, 0, 8};
  const auto ref_grey = grey_of(synth::make_frame(src, ref, synth::srgb, w, h, 64, 32));
  for (const Case c : {Case{0.15, -64, 37, 0}, Case{2.4, 23, -64, 0}, Case{0.15, 3, -2, 0.5}, Case{2.4, -10, 6, -1.0},
                       Case{0.6, 0, 0, 0}}) {
    const Shot s{c.exposure, c.dx, c.dy, c.angle, 8};
    const Transform t = align_grey(ref_grey, grey_of(synth::make_frame(src, s, synth::srgb, w, h, 64, 32)), w, h);
    EXPECT_NEAR(t.dx, c.dx, 0.5) << c.dx << "," << c.dy << " at " << c.angle << " deg";
    EXPECT_NEAR(t.dy, c.dy, 0.5) << c.dx << "," << c.dy << " at " << c.angle << " deg";
    EXPECT_NEAR(t.angle * 180 / 3.14159265358979323846, c.angle, 0.1) << c.dx << "," << c.dy;
  }
}

// End to end: a shifted and turned set merges as well as a registered one, cropped to the
// area all frames cover.
TEST(BracketMerge, AlignedSetMatchesTheLight) {
  auto shots = stops(3, 2.0);
  shots[0].dx = 12;
  shots[0].dy = -7;
  shots[2].angle_deg = 0.6;
  shots[2].dx = -5;
  MergeOptions opt;
  MergeReport rep;
  const auto e = merged_error(shots, synth::srgb, opt, &rep);
  EXPECT_LT(e.stops, 0.06);
  EXPECT_NEAR(rep.transforms[0].dx, 12, 0.5);
  EXPECT_GT(rep.crop_x, 0);
  opt.align = false;
  const auto unaligned = merged_error(shots, synth::srgb, opt);
  EXPECT_GT(unaligned.stops, 2 * e.stops);
}

namespace {

// Swaps two square blocks of a frame: something that stood at a moved to b, and the other way.
void swap_blocks(Frame &f, int ax, int ay, int bx, int by, int size) {
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size * 3; ++x)
      std::swap(f.codes8[size_t(ay + y) * f.width * 3 + size_t(ax) * 3 + size_t(x)],
                f.codes8[size_t(by + y) * f.width * 3 + size_t(bx) * 3 + size_t(x)]);
}

// Mean |log2| difference of the merge from the truth over a block (crop coordinates undone).
double block_error(const HdrImage &m, const MergeReport &rep, double scale, int bx, int by, int size) {
  const auto &src = synth::sample(true);
  double sum = 0;
  int n = 0;
  for (int y = by; y < by + size; ++y)
    for (int x = bx; x < bx + size; ++x) {
      const int mx = x - rep.crop_x, my = y - rep.crop_y;
      const float *p = &m.rgb[(size_t(my) * m.width + mx) * 3];
      const double got = 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2];
      const double truth = 0.2126 * src.at(x + kOx, y + kOy, 0) + 0.7152 * src.at(x + kOx, y + kOy, 1) +
                           0.0722 * src.at(x + kOx, y + kOy, 2);
      sum += std::fabs(std::log2(std::max(got, 1e-9) / (truth * scale)));
      ++n;
    }
  return sum / n;
}

}  // namespace

// Something moved in the bright frame only: with ghost removal both places show the reference
// frame's scene (the patch once, where it was); without, they show a transparent double.
TEST(BracketMerge, MovedPatchAppearsOnceAtTheReferencePlace) {
  const auto shots = stops(3, 1.5);
  auto frames = frames_of(shots, synth::srgb);
  constexpr int size = 36, ax = 20, ay = 90, bx = 150, by = 160;
  swap_blocks(frames[2], ax, ay, bx, by, size);
  MergeOptions opt;
  opt.align = false;
  MergeReport rep;
  auto with = merge_frames(frames, opt, rep);
  ASSERT_TRUE(with.ok()) << with.failure().message();
  const double scale = synth::log_error(*with, rep, synth::sample(true), kOx, kOy, shots).scale;
  EXPECT_LT(block_error(*with, rep, scale, ax, ay, size), 0.08);
  EXPECT_LT(block_error(*with, rep, scale, bx, by, size), 0.08);
  EXPECT_GT(rep.ghost_share, 0.005);
  EXPECT_LT(rep.ghost_share, 0.1);  // the patches and their soft edges, not the whole picture

  opt.deghost = false;
  MergeReport plain_rep;
  auto without = merge_frames(frames, opt, plain_rep);
  ASSERT_TRUE(without.ok());
  const double worst = std::max(block_error(*without, plain_rep, scale, ax, ay, size),
                                block_error(*without, plain_rep, scale, bx, by, size));
  EXPECT_GT(worst, 0.2);
}

// 16-bit linear frames (raw converters' output) need no response; where every frame is clipped
// (the sun) the merge holds at least the darkest frame's clipping level, neutral: no hole, no
// magenta or cyan where the channels clipped at different exposures.
TEST(BracketMerge, LinearFramesAndHighlightsClippedEverywhere) {
  for (int bits : {16, 8}) {
    const auto shots = stops(3, 2.0, bits);
    MergeOptions opt;
    opt.align = false;
    MergeReport rep;
    auto hdr = merge_frames(frames_of(shots, bits == 16 ? synth::Curve(synth::linear) : synth::Curve(synth::srgb)),
                            opt, rep);
    ASSERT_TRUE(hdr.ok()) << hdr.failure().message();
    if (bits == 16) {
      EXPECT_EQ(rep.response_source, "linear");
      EXPECT_LT(synth::log_error(*hdr, rep, synth::sample(true), kOx, kOy, shots).stops, 0.02);
    }
    const auto &src = synth::sample(true);
    // The darkest frame's clipping level, in the merge's scale (reference exposure 1).
    const double clip = 1.0 / (shots[0].exposure / shots[1].exposure);
    int clipped = 0;
    for (int y = 0; y < hdr->height; ++y)
      for (int x = 0; x < hdr->width; ++x) {
        // A channel of the darkest frame at full scale: every frame has clipped here.
        double top = 0;
        for (int c = 0; c < 3; ++c) top = std::max(top, double(src.at(x + kOx, y + kOy, c)) * shots[0].exposure);
        if (top < 1.0) continue;
        ++clipped;
        const float *p = &hdr->rgb[(size_t(y) * hdr->width + x) * 3];
        const float lo = std::min({p[0], p[1], p[2]}), hi = std::max({p[0], p[1], p[2]});
        ASSERT_GE(hi, clip * 0.9) << x << "," << y << " bits " << bits;
        ASSERT_LT(hi / lo, 1.03) << x << "," << y << " bits " << bits;
      }
    EXPECT_GT(clipped, 20);  // the sun and its glow are there to test
  }
}
