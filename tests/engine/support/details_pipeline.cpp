// SPDX-License-Identifier: MIT
#include "details_pipeline.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "tmlib/details.h"
#include "tmlib/params.h"
#include "tmlib/preview.h"
#include "tmlib/rgbe.h"

namespace brightloom_test {

int run_details_enhancer(int width, int height, const std::uint8_t *rgbe, const float *param, int workers,
                         std::vector<std::uint8_t> &out, DetailsCarry *carry, DetailsTimes *times) {
  using Clock = std::chrono::steady_clock;
  const auto ms = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
  };
  try {
    const Clock::time_point t0 = Clock::now();
    const int spp = 3;
    const std::size_t sourceBytes = 4 * static_cast<std::size_t>(width) * height;
    std::vector<float> tm(param, param + 20);
    std::int32_t pyramidDims[13] = {};
    tm_dim(width, height, tm.data(), pyramidDims);  // its result is not examined, as in the dialog
    pyramidDims[1] = width;
    pyramidDims[2] = height;
    const std::size_t cells = static_cast<std::size_t>(std::max(pyramidDims[5], pyramidDims[6]));
    std::vector<std::uint8_t> work(std::max(4 * cells, sourceBytes));
    std::memcpy(work.data(), rgbe, sourceBytes);

    float lumParam[7] = {};
    if (carry != nullptr) {
      lumParam[0] = carry->lwa;
      lumParam[1] = carry->lwmax;
      lumParam[3] = carry->lwmed;
    }
    float table[256];
    exp_lut(table, -8);
    float curve[1] = {0.0f};
    std::vector<float> pyramid(cells);

    OptimParam opt;
    init_optim_param(&opt);
    opt.v[0] = workers;
    DimParam dim;
    init_dim_param(&dim);
    dim.v[0] = width;
    dim.v[1] = height;
    dim.v[2] = spp;
    dim.v[6] = spp * width;
    int r = calc_tm1(0, dim, tm.data(), pyramidDims, lumParam, table, curve, 0, opt, work.data(), pyramid.data());
    if (r < 0) return r;
    const Clock::time_point t1 = Clock::now();
    work = {};
    if (carry != nullptr) {
      carry->lwa = lumParam[0];
      carry->lwmax = lumParam[1];
      carry->lwmed = lumParam[3];
    }
    r = calc_tm2(dim, pyramidDims[7], pyramidDims[8], pyramidDims[5], pyramidDims[11], tm.data(), opt,
                 pyramid.data());
    if (r < 0) return r;
    const Clock::time_point t2 = Clock::now();
    std::vector<float> plane(pyramid.begin(), pyramid.begin() + static_cast<std::ptrdiff_t>(width) * height);
    pyramid = {};

    out.assign(static_cast<std::size_t>(spp) * width * height, 0);
    std::vector<std::uint8_t> source(rgbe, rgbe + sourceBytes);
    init_dim_param(&dim);
    dim.v[0] = width;
    dim.v[1] = height;
    dim.v[2] = spp;
    dim.v[4] = 8;
    dim.v[5] = spp * width;
    dim.v[6] = spp * width;
    r = calc_tm3(0, dim, tm.data(), lumParam, table, curve, opt, source.data(), plane.data(), out.data());
    if (times != nullptr) {
      times->stage1 = ms(t0, t1);
      times->stage2 = ms(t1, t2);
      times->stage3 = ms(t2, Clock::now());
    }
    return r;
  } catch (const std::bad_alloc &) {
    return -4;
  }
}

int load_radiance(const char *path, int &width, int &height, std::vector<std::uint8_t> &rgbe) {
  float primaries[8];
  std::int32_t dims[7] = {};
  const int r = rgbe_dim2(path, primaries, dims);
  if (r < 0) return r;
  width = dims[0];
  height = dims[1];
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
