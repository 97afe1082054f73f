// SPDX-License-Identifier: MIT
#include "details_pipeline.h"

#include <chrono>
#include <cstring>

#include "brightloom/pipeline.h"

namespace brightloom_test {

namespace pl = brightloom::pipeline;

int run_details_enhancer(int width, int height, const std::uint8_t *rgbe, const float *param, int workers,
                         std::vector<std::uint8_t> &out, DetailsCarry *carry, DetailsTimes *times) {
  using Clock = std::chrono::steady_clock;
  pl::Source src;
  src.width = width;
  src.height = height;
  src.spp = 3;
  src.doc_type = 0;
  src.pixels = brightloom::Buffer::copy_of(rgbe, 4 * static_cast<std::size_t>(width) * height);
  if (!src.pixels) return TMLIB_ERR_NO_MEMORY;

  pl::Carry c;
  if (carry != nullptr) {
    c.lwa = carry->lwa;
    c.lwmax = carry->lwmax;
    c.lwmed = carry->lwmed;
  }
  // Stage 1 is timed from the start (tm_dim included), the others from their step's start.
  Clock::time_point marks[3] = {Clock::now(), {}, {}};
  pl::Request req;
  req.method = pl::Method::Details;
  req.param = param;
  req.workers = workers;
  req.carry = &c;
  req.hooks.on_step = [&marks](pl::Step s) {
    if (s == pl::Step::Solve) marks[1] = Clock::now();
    if (s == pl::Step::Finishing) marks[2] = Clock::now();
  };
  pl::Outcome o = pl::run(src, req);
  if (carry != nullptr) {
    carry->lwa = c.lwa;
    carry->lwmax = c.lwmax;
    carry->lwmed = c.lwmed;
  }
  if (times != nullptr && o.ok()) {
    const auto ms = [](Clock::time_point a, Clock::time_point b) {
      return std::chrono::duration<double, std::milli>(b - a).count();
    };
    times->stage1 = ms(marks[0], marks[1]);
    times->stage2 = ms(marks[1], marks[2]);
    times->stage3 = ms(marks[2], Clock::now());
  }
  if (o.ok()) out.assign(o.pixels.data(), o.pixels.data() + o.pixels.size());
  return o.code;
}

int load_radiance(const char *path, int &width, int &height, std::vector<std::uint8_t> &rgbe) {
  float primaries[8];
  std::int32_t dims[TMLIB_RADIANCE_DIMS] = {};
  const int r = rgbe_dim2(path, primaries, dims);
  if (r < 0) return r;
  width = dims[TMLIB_RD_WIDTH];
  height = dims[TMLIB_RD_HEIGHT];
  rgbe.assign(4 * static_cast<std::size_t>(width) * height, 0);
  const int d = decomp_rle(path, dims, rgbe.data());
  return d < 0 ? d : 0;
}

int cut_rgbe_preview(int srcWidth, int srcHeight, const std::vector<std::uint8_t> &src, int width, int height,
                     std::vector<std::uint8_t> &out) {
  out.assign(4 * static_cast<std::size_t>(width) * height, 0);
  return extract_rgbe_preview(0, srcWidth, srcHeight, 3, static_cast<std::int64_t>(srcWidth) * 3, width, height,
                              src.data(), out.data());
}

}  // namespace brightloom_test
