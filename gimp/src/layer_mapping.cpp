// SPDX-License-Identifier: MIT
#include "layer_mapping.h"

#include <cstring>

namespace brightloom::gimp {

bool split_precision(int code, Component &component, bool &linear_trc) {
  static const Component by_hundred[] = {Component::U8,   Component::U16,   Component::U32,   Component::U32,
                                         Component::Half, Component::Float, Component::Double};
  const int hundreds = code / 100, rest = code % 100;
  // 100 u8, 200 u16, 300 u32, 500 half, 600 float, 700 double (400 is unused).
  if (hundreds < 1 || hundreds > 7 || hundreds == 4 || (rest != 0 && rest != 50)) return false;
  component = by_hundred[hundreds - 1];
  linear_trc = rest == 0;
  return true;
}

DocumentLayout layout_for(Component c, bool linear_trc, bool grey, bool alpha) {
  DocumentLayout l;
  l.spp = grey ? 1 : 3;
  l.alpha = alpha;
  switch (c) {
    case Component::Half:
    case Component::Float:
    case Component::Double:
      l.doc_type = 0;
      l.sample = SampleType::F32;
      l.linear = true;
      break;
    case Component::U16:
    case Component::U32:
      l.doc_type = 1;
      l.sample = SampleType::U16;
      l.linear = linear_trc;
      break;
    case Component::U8:
      l.doc_type = 2;
      l.sample = SampleType::U8;
      l.linear = linear_trc;
      break;
  }
  return l;
}

std::string babl_format_name(const DocumentLayout &l) {
  std::string model;
  if (l.spp == 1)
    model = l.linear ? "Y" : "Y'";
  else
    model = l.linear ? "RGB" : "R'G'B'";
  if (l.alpha) model += "A";
  const char *type = l.sample == SampleType::F32 ? "float" : l.sample == SampleType::U16 ? "u16" : "u8";
  return model + " " + type;
}

static int sample_bytes(const DocumentLayout &l) {
  return l.sample == SampleType::F32 ? 4 : l.sample == SampleType::U16 ? 2 : 1;
}

int bytes_per_pixel(const DocumentLayout &l) { return (l.spp + (l.alpha ? 1 : 0)) * sample_bytes(l); }

Result<Image> to_image(const DocumentLayout &l, int width, int height, const void *pixels) {
  Image img;
  img.width = width;
  img.height = height;
  img.spp = l.spp;
  img.type = l.sample;
  const int64_t n = int64_t(width) * height;
  const int stride = l.spp + (l.alpha ? 1 : 0);  // samples a pixel in GIMP's buffer
  img.pixels = Buffer::allocate(n * l.spp, sample_bytes(l), false);
  if (!img.pixels) return fail("", "not enough memory for a copy of the layer");
  auto copy = [&](auto *dst, const auto *src, auto convert) {
    for (int64_t i = 0; i < n; ++i)
      for (int c = 0; c < l.spp; ++c) dst[i * l.spp + c] = convert(src[i * stride + c]);
  };
  switch (l.sample) {
    case SampleType::F32:
      img.kind = "GIMP float layer";
      copy(img.pixels.as<float>(), static_cast<const float *>(pixels), [](float v) { return v; });
      break;
    case SampleType::U16:
      img.kind = "GIMP 16-bit layer";
      copy(img.pixels.as<uint16_t>(), static_cast<const uint16_t *>(pixels),
           [](uint16_t v) { return uint16_t((uint32_t(v) * 32768u + 32767u) / 65535u); });
      break;
    case SampleType::U8:
    default:
      img.kind = "GIMP 8-bit layer";
      copy(img.pixels.data(), static_cast<const unsigned char *>(pixels), [](unsigned char v) { return v; });
      break;
  }
  return img;
}

Status write_back(const DocumentLayout &l, const Picture &pic, void *pixels) {
  if (pic.spp != l.spp || pic.bits != out_bits(l))
    return fail("", "the rendered picture does not match the layer (" + std::to_string(pic.spp) + " samples of " +
                        std::to_string(pic.bits) + " bits)");
  const int64_t n = int64_t(pic.width) * pic.height;
  const int stride = l.spp + (l.alpha ? 1 : 0);
  auto copy = [&](auto *dst, const auto *src, auto convert) {
    for (int64_t i = 0; i < n; ++i)
      for (int c = 0; c < l.spp; ++c) dst[i * stride + c] = convert(src[i * l.spp + c]);
  };
  switch (l.sample) {
    case SampleType::F32:
      copy(static_cast<float *>(pixels), pic.pixels.as<uint16_t>(), [](uint16_t v) { return float(v) / 65535.0f; });
      break;
    case SampleType::U16:
      copy(static_cast<uint16_t *>(pixels), pic.pixels.as<uint16_t>(), [](uint16_t v) { return v; });
      break;
    case SampleType::U8:
    default:
      copy(static_cast<unsigned char *>(pixels), pic.pixels.data(), [](unsigned char v) { return v; });
      break;
  }
  return Status::success();
}

}  // namespace brightloom::gimp
