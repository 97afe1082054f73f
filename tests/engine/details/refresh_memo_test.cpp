// SPDX-License-Identifier: MIT
// The preview's memo: refreshes that reuse kept stage results give the same pictures, codes and
// carried statistics as full runs, over a sequence of slider changes touching every slot, and
// redo only the stages that read the changed slot.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "brightloom/pipeline.h"
#include "io/rgbe_pixel.h"
#include "tmlib/tmlib.h"

namespace {

namespace pl = brightloom::pipeline;

// A textured scene over about ten stops, or a flat one (whose statistics fall back on the carry).
pl::Source rgbe_source(int w, int h, bool flat) {
  pl::Source s;
  s.width = w;
  s.height = h;
  s.spp = 3;
  s.doc_type = 0;
  s.pixels = brightloom::Buffer::allocate(int64_t(w) * h, 4, true);
  for (int y = 0; y < h; ++y) {
    unsigned char *row = s.pixels.data() + 4 * size_t(w) * y;
    for (int x = 0; x < w; ++x) {
      const float l = flat ? 0.5f : std::exp2(10.0f * x / w - 5.0f) * (1.0f + 0.4f * std::sin(0.7f * x + 0.3f * y));
      const tmlib::RgbePixel p = tmlib::rgbe_encode(l * (0.8f + 0.4f * y / h), l, l * (1.2f - 0.4f * y / h));
      row[x] = p.r;
      row[w + x] = p.g;
      row[2 * w + x] = p.b;
      row[3 * w + x] = p.e;
    }
  }
  return s;
}

pl::Source sixteen_bit_source(int w, int h) {
  std::vector<uint16_t> px(size_t(w) * h * 3);
  for (size_t i = 0; i < px.size(); ++i) px[i] = uint16_t((i * 2654435761u >> 7) % 32769u);
  pl::Source s;
  EXPECT_GE(pl::make_source(1, w, h, 3, int64_t(w) * 3, px.data(), w, h, s), 0);
  return s;
}

struct Change {
  int slot;
  float value;
};

// Every slot of the Details Enhancer, some twice, and a return to an earlier setting.
const std::vector<Change> kDetailsChanges = {
    {TMLIB_DE_STRENGTH, 30},
    {TMLIB_DE_COLOR_SATURATION, 80},
    {TMLIB_DE_WHITE_CLIP, 2},
    {TMLIB_DE_BLACK_CLIP, 1},
    {TMLIB_DE_GAMMA, 40},
    {TMLIB_DE_HIGHLIGHTS_SMOOTHING, 30},
    {TMLIB_DE_SHADOWS_SMOOTHING, 20},
    {TMLIB_DE_SHADOWS_CLIPPING, 10},
    {TMLIB_DE_COLOR_TEMPERATURE, 20},
    {TMLIB_DE_SATURATION_HIGHLIGHTS, -5},
    {TMLIB_DE_SATURATION_SHADOWS, 4},
    {TMLIB_DE_LUMINOSITY, 3},
    {TMLIB_DE_MICROCONTRAST, 6},
    {TMLIB_DE_MICROSMOOTHING, 12},
    {TMLIB_DE_SMOOTHING, 4},
    {TMLIB_DE_SOLVER_CODE, -1},
    {TMLIB_DE_PANORAMA_360, 1},
    {TMLIB_DE_SMOOTHING_MODE, 0},
    {TMLIB_DE_SMOOTHING_LEVEL, 1},
    {TMLIB_DE_STRENGTH, 70},
    {TMLIB_DE_SMOOTHING_MODE, 1},
    {TMLIB_DE_WHITE_CLIP, 0.25f},
    {TMLIB_DE_STRENGTH, 30},
};

bool finishing_only(int slot) {
  return slot != TMLIB_DE_WHITE_CLIP && slot != TMLIB_DE_LUMINOSITY && slot != TMLIB_DE_SMOOTHING_LEVEL &&
         slot != TMLIB_DE_MICROCONTRAST && slot != TMLIB_DE_MICROSMOOTHING && slot != TMLIB_DE_PANORAMA_360 &&
         slot != TMLIB_DE_SMOOTHING_MODE && slot != TMLIB_DE_SMOOTHING && slot != TMLIB_DE_SOLVER_CODE;
}

void expect_same_carry(const pl::Carry &a, const pl::Carry &b, size_t step) {
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "carried statistics differ at step " << step;
}

// Runs the sequence with and without the memo, each with its own carry, and compares every run.
void compare_details(pl::Source &src, int workers, pl::Memo &memo) {
  float param[TMLIB_TMPARAM_SLOTS];
  tmparam_default(TMLIB_METHOD_DETAILS, 0, param);
  pl::Carry kept, full;
  for (size_t step = 0; step <= kDetailsChanges.size(); ++step) {
    if (step > 0) param[kDetailsChanges[step - 1].slot] = kDetailsChanges[step - 1].value;
    const pl::Memo::Runs before = memo.runs;
    pl::Request req;
    req.param = param;
    req.workers = workers;
    req.carry = &kept;
    req.memo = &memo;
    // Float documents' previews are also finished at 16 bits, from the same kept plane.
    req.also_16_bits = src.doc_type == 0;
    const pl::Outcome a = pl::run(src, req);
    req.carry = &full;
    req.memo = nullptr;
    const pl::Outcome b = pl::run(src, req);
    ASSERT_EQ(a.code, b.code) << "step " << step;
    ASSERT_TRUE(a.ok()) << "step " << step;
    ASSERT_EQ(a.pixels.size(), b.pixels.size());
    EXPECT_EQ(std::memcmp(a.pixels.data(), b.pixels.data(), a.pixels.size()), 0) << "picture differs at step " << step;
    ASSERT_EQ(bool(a.pixels16), req.also_16_bits);
    ASSERT_EQ(a.pixels16.size(), b.pixels16.size());
    if (req.also_16_bits) {
      EXPECT_EQ(std::memcmp(a.pixels16.data(), b.pixels16.data(), a.pixels16.size()), 0)
          << "16-bit picture differs at step " << step;
    }
    expect_same_carry(kept, full, step);
    EXPECT_EQ(memo.runs.finishing, before.finishing + 1);
    // The second run of a source may still redo stage 1: its statistics may depend on the carry.
    if (step >= 2 && finishing_only(kDetailsChanges[step - 1].slot)) {
      EXPECT_EQ(memo.runs.stage1, before.stage1) << "step " << step;
      EXPECT_EQ(memo.runs.stage2, before.stage2) << "step " << step;
    }
    if (step >= 2 && kDetailsChanges[step - 1].slot == TMLIB_DE_WHITE_CLIP) {
      EXPECT_EQ(memo.runs.stage2, before.stage2) << "WhiteClip does not change the solve, step " << step;
    }
  }
}

TEST(RefreshMemo, DetailsEnhancerRefreshesEqualFullRuns) {
  {
    pl::Source src = rgbe_source(90, 64, false);
    pl::Memo memo;
    compare_details(src, 2, memo);
  }
  {
    pl::Source src = sixteen_bit_source(72, 56);
    pl::Memo memo;
    compare_details(src, 1, memo);
  }
  {
    // Statistics that keep the carried median: the memo must not hand back another carry's.
    pl::Source src = rgbe_source(40, 30, true);
    pl::Memo memo;
    compare_details(src, 2, memo);
  }
}

TEST(RefreshMemo, NewSourceOrWorkerCountIsNotServedFromTheMemo) {
  pl::Memo memo;
  float param[TMLIB_TMPARAM_SLOTS];
  tmparam_default(TMLIB_METHOD_DETAILS, 0, param);
  pl::Source first = rgbe_source(120, 90, false);
  pl::Source second = rgbe_source(120, 90, false);
  // Same size, other pixels.
  for (size_t i = 0; i < second.pixels.size(); i += 7) second.pixels.data()[i] ^= 0x10;
  pl::Carry carry;
  pl::Request req;
  req.param = param;
  req.workers = 2;
  req.carry = &carry;
  req.memo = &memo;
  ASSERT_TRUE(pl::run(first, req).ok());
  const pl::Outcome kept = pl::run(second, req);
  req.memo = nullptr;
  const pl::Outcome full = pl::run(second, req);
  ASSERT_TRUE(kept.ok());
  EXPECT_EQ(std::memcmp(kept.pixels.data(), full.pixels.data(), full.pixels.size()), 0);
  EXPECT_EQ(memo.runs.stage2, 2);
  req.memo = &memo;
  req.workers = 1;
  ASSERT_TRUE(pl::run(second, req).ok());
  EXPECT_EQ(memo.runs.stage2, 3) << "the solve's sums depend on the worker count";
}

TEST(RefreshMemo, ToneCompressorSlidersRerunOnlyTheMapping) {
  pl::Source sources[2] = {rgbe_source(120, 90, false), sixteen_bit_source(100, 80)};
  for (pl::Source &src : sources) {
    pl::Memo memo;
    float param[TMLIB_TMPARAM_SLOTS];
    tmparam_default(TMLIB_METHOD_COMPRESSOR, 0, param);
    const Change changes[] = {{TMLIB_TC_BRIGHTNESS, 2},  {TMLIB_TC_COMPRESSION, -3}, {TMLIB_TC_CONTRAST, 1},
                              {TMLIB_TC_WHITE_CLIP, 5},  {TMLIB_TC_BLACK_CLIP, 2},   {TMLIB_TC_COLOR_TEMPERATURE, 5},
                              {TMLIB_TC_SATURATION, 10}, {TMLIB_TC_BRIGHTNESS, -4}};
    for (const Change &c : changes) {
      param[c.slot] = c.value;
      pl::Request req;
      req.method = pl::Method::Compressor;
      req.param = param;
      req.workers = 2;
      req.memo = &memo;
      const pl::Outcome a = pl::run(src, req);
      req.memo = nullptr;
      const pl::Outcome b = pl::run(src, req);
      ASSERT_TRUE(a.ok());
      ASSERT_EQ(a.code, b.code);
      EXPECT_EQ(std::memcmp(a.pixels.data(), b.pixels.data(), a.pixels.size()), 0) << "slot " << c.slot;
    }
    EXPECT_EQ(memo.runs.statistics, 1);
    EXPECT_EQ(memo.runs.finishing, 8);
  }
}

}  // namespace
