// SPDX-License-Identifier: MIT
// The render pipeline: real images with both methods, odd float pixels, the document kinds,
// output depths and the work-from-disk mode. Reduced copies keep this fast under sanitizers.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <thread>

#include <tmlib/tmlib.h>

#include "document_profile.h"
#include "icc.h"
#include "render.h"
#include "core/tiling.h"
#include "support/test_images.h"

using namespace brightloom;
using namespace testing_host;
namespace fs = std::filesystem;

namespace {

RenderOptions options(int method, const Image &img, int bits = 8) {
  RenderOptions o;
  o.method = method;
  o.bits = bits;
  o.workers = 2;
  o.disk = RenderOptions::Disk::Never;
  tmparam_default(method, img.doc_type(), o.param.data());
  return o;
}

Image copy_of(const Image &img) { return reduce(img, 1); }

Image float_image(int w, int h, int spp, const std::function<float(int, int, int)> &f) {
  Image img;
  img.width = w;
  img.height = h;
  img.spp = spp;
  img.type = SampleType::F32;
  img.pixels = Buffer::allocate(int64_t(w) * h, int64_t(spp) * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < spp; ++c) img.pixels.as<float>()[(size_t(y) * w + x) * spp + c] = f(x, y, c);
  return img;
}

// A smooth scene with a bright window: a few stops of range and structure in both halves.
float scene(int x, int y, int c) {
  const float base = 0.05f + 0.02f * float((x / 8 + y / 8) % 3) + 0.001f * float(x);
  const float lamp = (x > 40 && x < 60 && y > 10 && y < 30) ? 40.0f : 0.0f;
  return (base + lamp) * (c == 0 ? 1.0f : c == 1 ? 0.8f : 0.6f);
}

int max_difference(const Picture &a, const Picture &b) {
  EXPECT_EQ(a.pixels.size(), b.pixels.size());
  int d = 0;
  const size_t n = std::min(a.pixels.size(), b.pixels.size()) / (a.bits / 8);
  for (size_t i = 0; i < n; ++i) {
    const int va = a.bits == 16 ? a.pixels.as<uint16_t>()[i] : a.pixels.data()[i];
    const int vb = b.bits == 16 ? b.pixels.as<uint16_t>()[i] : b.pixels.data()[i];
    d = std::max(d, std::abs(va - vb));
  }
  return d;
}

}  // namespace

TEST(Render, EveryDataFileGivesAPlausiblePictureWithBothMethods) {
  int files = 0;
  for (const auto &entry : fs::directory_iterator(BRIGHTLOOM_TEST_DATA)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".exr" && ext != ".hdr" && ext != ".tif") continue;
    auto full = read_image(entry.path().string());
    ASSERT_TRUE(full) << full.failure().message();
    const Image small = reduce(*full, 4);  // 256 × 128, or 256 × 32 of a band of 128 rows
    for (int method : {1, 2}) {
      Image img = copy_of(small);
      auto pic = render(img, options(method, img));
      ASSERT_TRUE(pic) << entry.path() << " method " << method << ": " << pic.failure().reason;
      EXPECT_EQ(pic->width, small.width);
      EXPECT_EQ(pic->height, small.height);
      const PictureStats s = picture_stats(*pic);
      SCOPED_TRACE(entry.path().filename().string() + " method " + std::to_string(method));
      EXPECT_GT(s.mean, 8.0);
      EXPECT_LT(s.mean, 245.0);
      EXPECT_GT(s.stddev, 6.0);
      EXPECT_LT(s.clipped, 0.5);
    }
    ++files;
  }
  EXPECT_GE(files, 7);  // the pictures of tests/data (its README)
}

TEST(Render, NegativeNanAndInfiniteSamplesRenderLikeTheirSaneValues) {
  // Odd samples must behave exactly as 0 (negative, NaN) and the largest float (infinity).
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  auto odd = [&](int x, int y, int c) {
    if (x == 5 && y == 5) return -1.0f;
    if (x == 6 && y == 5) return c == 1 ? nan : 0.2f;
    if (x == 7 && y == 5 && c == 0) return inf;
    if (x % 13 == 0 && c == 2) return -0.01f;
    return scene(x, y, c);
  };
  auto sane = [&](int x, int y, int c) {
    const float v = odd(x, y, c);
    return std::isnan(v) || v < 0 ? 0.0f : std::isinf(v) ? FLT_MAX : v;
  };
  for (int method : {1, 2}) {
    Image a = float_image(96, 64, 3, odd), b = float_image(96, 64, 3, sane);
    auto pa = render(a, options(method, a));
    auto pb = render(b, options(method, b));
    ASSERT_TRUE(pa) << pa.failure().reason;
    ASSERT_TRUE(pb) << pb.failure().reason;
    EXPECT_EQ(0, std::memcmp(pa->pixels.data(), pb->pixels.data(), pa->pixels.size())) << "method " << method;
  }
  // Small negative samples, as real OpenEXR files have, leave a normal picture.
  auto full = read_image(std::string(BRIGHTLOOM_TEST_DATA) + "/sunset.exr");
  ASSERT_TRUE(full) << full.failure().message();
  const Image small = reduce(*full, 4);
  auto negative = [&](int x, int y, int c) {
    return (x + y) % 7 == 0 ? -0.003f : small.pixels.as<float>()[(size_t(y) * small.width + x) * 3 + c];
  };
  for (int method : {1, 2}) {
    Image img = float_image(small.width, small.height, 3, negative);
    auto pic = render(img, options(method, img));
    ASSERT_TRUE(pic) << pic.failure().reason;
    const PictureStats s = picture_stats(*pic);
    EXPECT_GT(s.stddev, 6.0) << "method " << method;
    EXPECT_LT(s.clipped, 0.5) << "method " << method;
  }
}

TEST(Render, SixteenAndEightBitDocumentsTakeTheSixteenBitPath) {
  // The same scene as 16-bit and 8-bit samples; both kinds render through the 16-bit path.
  auto data = read_image(std::string(BRIGHTLOOM_TEST_DATA) + "/city-16bit.tif");
  ASSERT_TRUE(data) << data.failure().message();
  const Image s16 = reduce(*data, 4);
  Image s8;
  s8.width = s16.width;
  s8.height = s16.height;
  s8.spp = 3;
  s8.type = SampleType::U8;
  s8.pixels = Buffer::allocate(s16.pixel_count(), 3);
  for (int64_t i = 0; i < s16.pixel_count() * 3; ++i)
    s8.pixels.data()[i] = uint8_t(std::min(255, s16.pixels.as<uint16_t>()[i] / 128));
  EXPECT_EQ(s16.doc_type(), 1);
  EXPECT_EQ(s8.doc_type(), 2);
  for (int method : {1, 2}) {
    for (const Image *src : {&s16, static_cast<const Image *>(&s8)}) {
      Image img = copy_of(*src);
      auto pic = render(img, options(method, img));
      ASSERT_TRUE(pic) << pic.failure().reason;
      const PictureStats s = picture_stats(*pic);
      EXPECT_GT(s.mean, 8.0) << "method " << method << " docType " << src->doc_type();
      EXPECT_LT(s.mean, 245.0);
      EXPECT_GT(s.stddev, 6.0);
    }
  }
}

TEST(Render, SixteenBitOutputAgreesWithEightBit) {
  for (int method : {1, 2}) {
    Image a = float_image(80, 60, 3, scene), b = float_image(80, 60, 3, scene);
    auto p8 = render(a, options(method, a, 8));
    auto p16 = render(b, options(method, b, 16));
    ASSERT_TRUE(p8 && p16);
    EXPECT_EQ(p16->bits, 16);
    int worst = 0;
    for (size_t i = 0; i < p8->pixels.size(); ++i)
      worst = std::max(worst, std::abs(int(p16->pixels.as<uint16_t>()[i] >> 8) - int(p8->pixels.data()[i])));
    // The Tone Compressor's power 2.2 on float documents magnifies the rounding of the
    // brightest 8-bit levels by up to 2.2 levels.
    EXPECT_LE(worst, 4) << "method " << method;
  }
}

TEST(Render, GreyImagesGiveGreyPictures) {
  Image img = float_image(64, 48, 1, [](int x, int y, int) { return scene(x, y, 1); });
  for (int method : {1, 2}) {
    Image copy = copy_of(img);
    auto pic = render(copy, options(method, copy));
    ASSERT_TRUE(pic) << pic.failure().reason;
    EXPECT_EQ(pic->spp, 1);
    EXPECT_GT(picture_stats(*pic).stddev, 6.0);
  }
}

TEST(Render, TooSmallImagesAreRefusedWithAReason) {
  Image img = float_image(9, 40, 3, scene);
  auto pic = render(img, options(1, img));
  ASSERT_FALSE(pic);
  EXPECT_NE(pic.failure().reason.find("too small"), std::string::npos);
}

TEST(Render, SmoothingLevelsTooCoarseForTheImageAreExplained) {
  // "Very Low" (level code 4) leaves a 200 x 100 picture without a coarse grid to solve on.
  Image img = float_image(200, 100, 3, scene);
  RenderOptions o = options(1, img);
  o.param[16] = 0.0f;  // the five smoothing levels
  o.param[5] = 4.0f;
  auto pic = render(img, o);
  ASSERT_FALSE(pic);
  EXPECT_NE(pic.failure().reason.find("too small for the smoothing level"), std::string::npos) << pic.failure().reason;
  Image again = float_image(200, 100, 3, scene);
  o.param[5] = 3.0f;  // "Low" still has one
  auto ok = render(again, o);
  EXPECT_TRUE(ok) << ok.failure().reason;
}

TEST(Render, AThreadThatCannotBeStartedNeverFailsTheFile) {
  // Every thread creation of a render fails in turn (a process limit, say); each render must
  // still give the picture of an undisturbed one. A probe after the render tells when the
  // failure was not reached, that is when every creation has had its turn.
  for (int method : {1, 2}) {
    Image a = float_image(80, 60, 3, scene);
    auto want = render(a, options(method, a));
    ASSERT_TRUE(want) << want.failure().reason;
    bool all_tried = false;
    for (int n = 0; n < 200 && !all_tried; ++n) {
      Image b = float_image(80, 60, 3, scene);
      tmlib::testing::fail_thread_creation_at(n);
      auto got = render(b, options(method, b));
      all_tried = tmlib::run_workers(
                      2, [](int) {}, [] {}) == tmlib::RunMode::kFellBack;
      tmlib::testing::fail_thread_creation_at(-1);
      ASSERT_TRUE(got) << "method " << method << ", creation " << n << ": " << got.failure().reason;
      ASSERT_EQ(got->pixels.size(), want->pixels.size());
      EXPECT_EQ(0, std::memcmp(got->pixels.data(), want->pixels.data(), want->pixels.size()))
          << "method " << method << ", creation " << n;
    }
    EXPECT_TRUE(all_tried) << "method " << method;
  }
}

TEST(Render, WorkingFromDiskMatchesMemoryAndCleansUp) {
  ScratchDir dir;
  // Stage 1 from disk gives pixels without a valid luminance the minimum instead of the mean,
  // so the comparison uses a picture that has none.
  auto full = read_image(std::string(BRIGHTLOOM_TEST_DATA) + "/sunset.exr");
  ASSERT_TRUE(full) << full.failure().message();
  const Image small = reduce(*full, 4);
  Image a = copy_of(small), b = copy_of(small);
  RenderOptions mem = options(1, a), disk = options(1, b);
  disk.disk = RenderOptions::Disk::Always;
  disk.temp_dir = dir.path();
  auto pm = render(a, mem);
  auto pd = render(b, disk);
  ASSERT_TRUE(pm) << pm.failure().reason;
  ASSERT_TRUE(pd) << pd.failure().reason;
  EXPECT_LE(max_difference(*pm, *pd), 3);
  EXPECT_TRUE(fs::is_empty(dir.path())) << "temporary files left behind";

  // Auto switches to the disk at the threshold.
  Image c = copy_of(small);
  RenderOptions automatic = options(1, c);
  automatic.disk = RenderOptions::Disk::Auto;
  automatic.disk_threshold_pixels = 100;
  automatic.temp_dir = dir.path();
  auto pa = render(c, automatic);
  ASSERT_TRUE(pa);
  EXPECT_EQ(0, std::memcmp(pa->pixels.data(), pd->pixels.data(), pd->pixels.size()));

  // A temporary folder that cannot be made is a clear failure.
  Image d = copy_of(small);
  disk.temp_dir = dir.file("missing/deeper");
  auto pf = render(d, disk);
  ASSERT_FALSE(pf);
  EXPECT_NE(pf.failure().reason.find("temporary folder"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

namespace {

// Mean of a picture as a colour-managed viewer shows it, in sRGB levels 0..255.
double shown_mean(const Picture &pic) {
  const std::vector<float> v = decode_through_profile(pic, builtin_profile(pic.spp));
  double sum = 0;
  for (float f : v) sum += f;
  return sum / double(v.size()) * 255.0;
}

}  // namespace

TEST(Render, FloatAndGammaEncodedDocumentsOfOneSceneLookAlike) {
  // One scene as a float document and as a 16-bit document encoded with gamma 2.2 (as camera
  // files and the host's camera curve take it): both pictures must be about as bright.
  auto full = read_image(std::string(BRIGHTLOOM_TEST_DATA) + "/sunset.exr");
  ASSERT_TRUE(full) << full.failure().message();
  const Image small = reduce(*full, 4);
  const int64_t n = small.pixel_count() * 3;
  float top = 0;
  for (int64_t i = 0; i < n; ++i) top = std::max(top, small.pixels.as<float>()[i]);
  Image f = copy_of(small), g;
  g.width = small.width;
  g.height = small.height;
  g.spp = 3;
  g.type = SampleType::U16;
  g.pixels = Buffer::allocate(n, 2);
  for (int64_t i = 0; i < n; ++i) {
    // Highlights clipped as in a camera file, and a floor above the near-black that the 16-bit
    // path takes for clipped: both documents then hold the same range.
    const float v = std::clamp(small.pixels.as<float>()[i] / top * 16.0f, 2e-3f, 1.0f);
    f.pixels.as<float>()[i] = v;
    g.pixels.as<uint16_t>()[i] = uint16_t(std::lround(std::pow(double(v), 1.0 / 2.2) * 32768.0));
  }
  for (int method : {1, 2}) {
    Image a = copy_of(f), b = copy_of(g);
    auto pf = render(a, options(method, a));
    auto pg = render(b, options(method, b));
    ASSERT_TRUE(pf && pg);
    pf->icc = picture_profile(f);
    pg->icc = picture_profile(g);
    const double mf = shown_mean(*pf), mg = shown_mean(*pg);
    EXPECT_NEAR(mf / mg, 1.0, 0.1) << "method " << method << ": float " << mf << ", 16-bit " << mg;
  }
}

TEST(Render, ShadowsOfFloatPicturesUseEveryLevel) {
  // A ramp over 8 stops, finer along each row than the columns: its darkest quarter must
  // reach well into the picture's levels and use nearly all of them on the way, not the few
  // that 8-bit linear samples would give.
  Image ramp = float_image(
      256, 64, 1, [](int x, int y, int) { return std::exp2(-6.0f + 8.0f * (float(x) + float(y) / 64.0f) / 256.0f); });
  for (int method : {1, 2}) {
    Image img = copy_of(ramp);
    auto pic = render(img, options(method, img));
    ASSERT_TRUE(pic) << pic.failure().reason;
    std::vector<bool> used(256, false);
    int lo = 255, hi = 0;
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x) {
        const int v = pic->pixels.data()[size_t(y) * 256 + x];
        used[size_t(v)] = true;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
    int count = 0;
    for (int v = lo; v <= hi; ++v) count += used[size_t(v)];
    EXPECT_GT(hi, 30) << "method " << method;
    EXPECT_GE(count, (hi - lo + 1) * 9 / 10) << "method " << method << ": levels " << lo << ".." << hi;
  }
}

TEST(Render, ProfilesMadeAtDifferentTimesAreTheSameBytes) {
  // The same render twice must write the same file: a profile made a second later may not
  // differ by the moment it was made.
  const auto first = primaries_profile(kRec709, 3, 2.2);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(first, primaries_profile(kRec709, 3, 2.2));
  EXPECT_FALSE(first.empty());
}
