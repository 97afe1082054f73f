// SPDX-License-Identifier: MIT
// Exposure fusion in the host: frame sets through the kit (and their refusals), and the fusion
// methods rendered from the command line, settings files and presets.
#include <gtest/gtest.h>
#include <tmlib/tmlib.h>

#include <cmath>
#include <filesystem>

#include "commands.h"
#include "fuse_frames.h"
#include "settings_resolution.h"
#include "support/test_images.h"

using namespace brightloom;
using namespace testing_host;
namespace fs = std::filesystem;

namespace {

// The bundled sample, reduced: a real HDR scene that needs no data beside the repository.
Image sample() {
  auto full = read_image(std::string(BRIGHTLOOM_SOURCE_DIR) + "/samples/sunset.exr");
  EXPECT_TRUE(full) << full.failure().message();
  return full ? reduce(*full, 8) : Image{};
}

// An 8-bit exposure of a float image, display-encoded, as a camera's frame would be.
Image exposure(const Image &hdr, float gain) {
  Image f;
  f.width = hdr.width;
  f.height = hdr.height;
  f.spp = hdr.spp;
  f.type = SampleType::U8;
  const size_t n = size_t(hdr.width) * hdr.height * hdr.spp;
  f.pixels = Buffer::allocate(int64_t(n), 1);
  for (size_t i = 0; i < n; ++i) {
    const float v = std::clamp(hdr.pixels.as<float>()[i] * gain, 0.0f, 1.0f);
    f.pixels.data()[i] = uint8_t(std::lround(std::pow(v, 1.0f / 2.2f) * 255.0f));
  }
  return f;
}

FusionOptions adjust_defaults() {
  FusionOptions o;
  o.method = TMLIB_METHOD_FUSION_ADJUST;
  o.workers = 2;
  tmparam_default(o.method, 2, o.param.data());
  return o;
}

}  // namespace

TEST(FuseFrames, FusesASetAndRefusesOneFrameOrMismatchedFrames) {
  const Image hdr = sample();
  ASSERT_GT(hdr.width, 0);
  std::vector<Image> set;
  for (float g : {0.25f, 2.0f, 16.0f}) set.push_back(exposure(hdr, g));
  int calls = 0;
  FusionOptions o = adjust_defaults();
  o.on_frame = [&](int, int) { ++calls; };
  auto pic = fuse_frames(set, o);
  ASSERT_TRUE(pic) << pic.failure().message();
  EXPECT_EQ(pic->width, hdr.width);
  EXPECT_EQ(pic->spp, 3);
  EXPECT_EQ(calls, 4);  // each frame, then the finishing
  const PictureStats st = picture_stats(*pic);
  EXPECT_GT(st.mean, 60.0);  // neither the dark nor the bright frame alone
  EXPECT_LT(st.mean, 190.0);

  std::vector<Image> one;
  one.push_back(exposure(hdr, 2.0f));
  auto r = fuse_frames(one, adjust_defaults(), {"only.png"});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.failure().file, "only.png");
  EXPECT_NE(r.failure().reason.find("at least two frames"), std::string::npos) << r.failure().reason;

  std::vector<Image> mixed;
  mixed.push_back(exposure(hdr, 1.0f));
  mixed.push_back(exposure(reduce(hdr, 2), 4.0f));
  r = fuse_frames(mixed, adjust_defaults(), {"a.png", "b.png"});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.failure().file, "b.png");
  const std::string size_a = std::to_string(hdr.width) + " x " + std::to_string(hdr.height);
  EXPECT_NE(r.failure().reason.find(size_a), std::string::npos) << r.failure().reason;
  EXPECT_NE(r.failure().reason.find("same size"), std::string::npos) << r.failure().reason;
}

TEST(FusionRender, SettingsFilesOfBothMethodsRoundTripAndRenderAsTheCommandLineDoes) {
  ScratchDir dir;
  const Image hdr = sample();
  std::vector<float> rgb(hdr.pixels.as<float>(), hdr.pixels.as<float>() + size_t(hdr.width) * hdr.height * 3);
  write_exr_rgb(dir.file("scene.exr"), hdr.width, hdr.height, rgb, true);

  struct Case {
    int method;
    const char *name;
    std::vector<std::pair<const char *, float>> values;
  };
  const Case cases[] = {
      {10,
       "fusion-adjust",
       {{"Accentuation", 20},
        {"BlendingPoint", -10},
        {"Shadows", 30},
        {"Saturation", 15},
        {"WhiteClip", 0.5f},
        {"BlackClip", 0.25f},
        {"MidtonesAdjustment", 10}}},
      {11, "fusion-intensive", {{"Strength", 60}, {"Saturation", -20}, {"Radius", 25}}},
  };
  for (const Case &c : cases) {
    // The file as the dialog's writer makes it.
    TmParam p{};
    tmparam_default(c.method, 0, p.data());
    std::vector<std::string> sets;
    for (auto [tag, v] : c.values) {
      for (const SlotInfo &s : slots_of(c.method))
        if (std::string(s.name) == tag) p[size_t(s.slot)] = v;
      sets.push_back(std::string(tag) + "=" + std::to_string(v));
    }
    const std::string file = dir.file(std::string(c.name) + ".xmp");
    ASSERT_EQ(write_xmp(file.c_str(), c.method, p.data()), 1);

    // Read back: the method from the file itself, every value exactly.
    auto from_file = resolve_settings_choice({"", file, "", false, {}});
    ASSERT_TRUE(from_file) << from_file.failure().message();
    EXPECT_EQ(from_file->method, c.method);
    auto read = resolve(*from_file, 0);
    ASSERT_TRUE(read);
    for (const SlotInfo &s : slots_of(c.method)) EXPECT_EQ((*read)[size_t(s.slot)], p[size_t(s.slot)]) << s.name;

    // Rendered from the file and from --method with --set: the same picture.
    RenderRequest req;
    req.inputs = {dir.file("scene.exr")};
    req.quiet = true;
    req.save_last = false;
    req.threads = 2;
    req.settings_file = file;
    req.output = dir.file(std::string(c.name) + "-file.png");
    ASSERT_EQ(run_render(req), 0) << c.name;
    req.settings_file.clear();
    req.method = c.name;
    req.sets = sets;
    req.output = dir.file(std::string(c.name) + "-set.png");
    ASSERT_EQ(run_render(req), 0) << c.name;
    const ReadBack a = read_png_back(dir.file(std::string(c.name) + "-file.png"));
    const ReadBack b = read_png_back(dir.file(std::string(c.name) + "-set.png"));
    EXPECT_EQ(a.samples, b.samples) << c.name;
    ASSERT_EQ(a.width, hdr.width);
    double mean = 0;
    for (uint16_t v : a.samples) mean += v;
    mean /= double(a.samples.size());
    EXPECT_GT(mean, 40.0) << c.name;  // a picture, not a black or white frame
    EXPECT_LT(mean, 215.0) << c.name;
  }

  // One built-in preset per fusion method renders with its method.
  for (const char *preset : {"Fusion Natural", "FusionCrisp"}) {
    RenderRequest req;
    req.inputs = {dir.file("scene.exr")};
    req.quiet = true;
    req.save_last = false;
    req.preset = preset;
    req.output = dir.file(std::string(preset) + ".png");
    EXPECT_EQ(run_render(req), 0) << preset;
    EXPECT_TRUE(fs::exists(req.output)) << preset;
  }
}
