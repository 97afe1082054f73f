// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "brightloom/pipeline.h"

namespace brightloom::pipeline {
namespace {

bool run_length_width(int width) { return width >= 8 && width <= 0x7fff; }

void append_row(const unsigned char *row, int width, RadianceLayout layout, std::vector<unsigned char> &out) {
  if (layout == RadianceLayout::Flat || !run_length_width(width)) {
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 4; ++c) out.push_back(row[int64_t(c) * width + x]);
    return;
  }
  out.insert(out.end(), {2, 2, (unsigned char)(width >> 8), (unsigned char)(width & 255)});
  for (int c = 0; c < 4; ++c) {
    const unsigned char *v = row + int64_t(c) * width;
    if (layout == RadianceLayout::Runs) {
      encode_radiance_component(v, width, out);
      continue;
    }
    for (int x = 0; x < width; x += 128) {
      const int count = std::min(128, width - x);
      out.push_back((unsigned char)count);
      out.insert(out.end(), v + x, v + x + count);
    }
  }
}

}  // namespace

int64_t encode_radiance_component(const unsigned char *v, int n, std::vector<unsigned char> &out) {
  int64_t packets = 0;
  int i = 0;
  while (i < n) {
    int run = 1;
    while (i + run < n && run < 127 && v[i + run] == v[i]) ++run;
    if (run >= 3) {
      out.push_back((unsigned char)(128 + run));
      out.push_back(v[i]);
      i += run;
      ++packets;
      continue;
    }
    // A literal run stops where a repeat of three begins.
    int j = i;
    while (j < n && j - i < 128 && !(j + 2 < n && v[j] == v[j + 1] && v[j] == v[j + 2])) ++j;
    if (j == i) j = i + 1;
    out.push_back((unsigned char)(j - i));
    out.insert(out.end(), v + i, v + j);
    i = j;
    ++packets;
  }
  return packets;
}

std::vector<unsigned char> encode_radiance(const unsigned char *rgbe, int width, int height, RadianceLayout layout,
                                           const std::string &extra_header) {
  const std::string head = "#?RADIANCE\n" + extra_header + "FORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(height) +
                           " +X " + std::to_string(width) + "\n";
  std::vector<unsigned char> out(head.begin(), head.end());
  for (int y = 0; y < height; ++y) append_row(rgbe + int64_t(y) * width * 4, width, layout, out);
  return out;
}

int write_radiance(const std::string &path, const unsigned char *rgbe, int width, int height, RadianceLayout layout) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return TMLIB_ERR_OPEN;
  std::fprintf(f, "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n", height, width);
  // Row by row, so that a picture of gigapixels never needs a second copy in memory.
  std::vector<unsigned char> row;
  row.reserve(size_t(width) * 5 + 8);
  bool ok = true;
  for (int y = 0; y < height && ok; ++y) {
    row.clear();
    append_row(rgbe + int64_t(y) * width * 4, width, layout, row);
    ok = std::fwrite(row.data(), 1, row.size(), f) == row.size();
  }
  if (std::fclose(f) != 0 || !ok) return TMLIB_ERR_SHORT_IO;
  return 0;
}

}  // namespace brightloom::pipeline
