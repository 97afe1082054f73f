// SPDX-License-Identifier: MIT
// The GIMP plug-in's mapping between layers and documents, on known pixels: which precision
// becomes which document, the babl formats both ways, the 16-bit rescaling, and alpha left as
// it was when the result is written back.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "layer_mapping.h"

using namespace brightloom;
using namespace brightloom::gimp;

TEST(GimpPrecision, EveryGimpPrecisionMapsToItsDocument) {
  struct Case {
    int code;
    int doc_type;
    bool linear;
    const char *rgba;
  };
  // GIMP's own codes: 100 u8 linear ... 750 double perceptual.
  const Case cases[] = {
      {100, 2, true, "RGBA u8"},      {150, 2, false, "R'G'B'A u8"}, {200, 1, true, "RGBA u16"},
      {250, 1, false, "R'G'B'A u16"}, {300, 1, true, "RGBA u16"},    {350, 1, false, "R'G'B'A u16"},
      {500, 0, true, "RGBA float"},   {550, 0, true, "RGBA float"},  {600, 0, true, "RGBA float"},
      {650, 0, true, "RGBA float"},   {700, 0, true, "RGBA float"},  {750, 0, true, "RGBA float"},
  };
  for (const Case &c : cases) {
    Component comp;
    bool linear = false;
    ASSERT_TRUE(split_precision(c.code, comp, linear)) << c.code;
    const DocumentLayout l = layout_for(comp, linear, false, true);
    EXPECT_EQ(l.doc_type, c.doc_type) << c.code;
    // Perceptual float images are still handed over (and written back) as linear light.
    EXPECT_EQ(babl_format_name(l), c.rgba) << c.code;
    EXPECT_EQ(out_bits(l), c.doc_type == 2 ? 8 : 16) << c.code;
  }
  Component comp;
  bool linear;
  for (int bad : {0, 99, 125, 400, 450, 800}) EXPECT_FALSE(split_precision(bad, comp, linear)) << bad;

  EXPECT_EQ(babl_format_name(layout_for(Component::U8, false, true, false)), "Y' u8");
  EXPECT_EQ(babl_format_name(layout_for(Component::Half, false, true, true)), "YA float");
  EXPECT_EQ(bytes_per_pixel(layout_for(Component::Float, true, false, true)), 16);
  EXPECT_EQ(bytes_per_pixel(layout_for(Component::U16, false, true, false)), 2);
}

TEST(GimpPrecision, SixteenBitLayersAreRescaledAndAlphaSurvivesTheRoundTrip) {
  const DocumentLayout l = layout_for(Component::U16, false, false, true);
  // Two RGBA pixels: full scale, black, a mid value and an odd one; alpha 1234 and 65535.
  std::vector<uint16_t> px = {65535, 0, 32768, 1234, 1, 65534, 40000, 65535};
  auto img = to_image(l, 2, 1, px.data());
  ASSERT_TRUE(img) << img.failure().reason;
  EXPECT_EQ(img->type, SampleType::U16);
  EXPECT_EQ(img->doc_type(), 1);
  ASSERT_EQ(img->spp, 3);
  const uint16_t *s = img->pixels.as<uint16_t>();
  // The host's 16-bit files scale the same way: 65535 -> 32768, rounded.
  const uint16_t expected[] = {32768, 0, 16384, 1, 32767, 20000};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(s[i], expected[i]) << i;

  Picture pic;
  pic.width = 2;
  pic.height = 1;
  pic.spp = 3;
  pic.bits = 16;
  pic.pixels = Buffer::allocate(6, 2);
  const uint16_t result[] = {10, 20, 30, 40, 50, 60};
  std::memcpy(pic.pixels.data(), result, sizeof result);
  ASSERT_TRUE(write_back(l, pic, px.data()).ok());
  EXPECT_EQ(px, (std::vector<uint16_t>{10, 20, 30, 1234, 40, 50, 60, 65535}));

  pic.bits = 8;  // an 8-bit picture for a 16-bit layer would be written as garbage
  EXPECT_FALSE(write_back(l, pic, px.data()).ok());
}

TEST(GimpPrecision, FloatLayersGetLinearLightBackAndEightBitLayersTheirBytes) {
  // Float grey with alpha: the values go over as they are (no clipping of HDR values on the way in).
  const DocumentLayout f = layout_for(Component::Float, true, true, true);
  std::vector<float> fp = {12.5f, 0.25f, 0.0f, 1.0f};
  auto fi = to_image(f, 2, 1, fp.data());
  ASSERT_TRUE(fi);
  EXPECT_EQ(fi->doc_type(), 0);
  EXPECT_FLOAT_EQ(fi->pixels.as<float>()[0], 12.5f);
  EXPECT_FLOAT_EQ(fi->pixels.as<float>()[1], 0.0f);
  Picture fpic{2, 1, 1, 16, Buffer::allocate(2, 2), {}};
  fpic.pixels.as<uint16_t>()[0] = 65535;
  fpic.pixels.as<uint16_t>()[1] = 16384;
  ASSERT_TRUE(write_back(f, fpic, fp.data()).ok());
  EXPECT_FLOAT_EQ(fp[0], 1.0f);
  EXPECT_FLOAT_EQ(fp[1], 0.25f);
  EXPECT_NEAR(fp[2], 16384.0f / 65535.0f, 1e-7);
  EXPECT_FLOAT_EQ(fp[3], 1.0f);

  // 8-bit RGB without alpha: bytes as they are both ways.
  const DocumentLayout b = layout_for(Component::U8, false, false, false);
  std::vector<unsigned char> bp = {0, 128, 255, 7, 8, 9};
  auto bi = to_image(b, 2, 1, bp.data());
  ASSERT_TRUE(bi);
  EXPECT_EQ(bi->doc_type(), 2);
  EXPECT_EQ(std::vector<unsigned char>(bi->pixels.data(), bi->pixels.data() + 6), bp);
  Picture bpic{2, 1, 3, 8, Buffer::allocate(6, 1), {}};
  for (int i = 0; i < 6; ++i) bpic.pixels.data()[i] = (unsigned char)(200 + i);
  ASSERT_TRUE(write_back(b, bpic, bp.data()).ok());
  EXPECT_EQ(bp, (std::vector<unsigned char>{200, 201, 202, 203, 204, 205}));
}
