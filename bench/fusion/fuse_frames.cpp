// SPDX-License-Identifier: MIT
// fuse_frames [--method 10|11] [--set SLOT=VALUE]... [--workers N] [--bits 8|16] OUT.png FRAME...
// Fuses frames read with the program's own readers (PNG, TIFF, ...) through the kit, one frame
// in memory at a time, and prints the time the fusion took (reading included).
#include <tmlib/tmlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats.h"
#include "fuse_frames.h"
#include "icc.h"
#include "image.h"
#include "workers.h"

int main(int argc, char **argv) {
  using namespace brightloom;
  FusionOptions o;
  o.workers = default_worker_count();
  std::vector<std::pair<int, float>> sets;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) break;
    if (a == "--method")
      o.method = std::atoi(argv[++i]);
    else if (a == "--workers")
      o.workers = std::atoi(argv[++i]);
    else if (a == "--bits")
      o.bits = std::atoi(argv[++i]);
    else if (a == "--set") {
      const char *s = argv[++i];
      sets.emplace_back(std::atoi(s), float(std::atof(std::strchr(s, '=') ? std::strchr(s, '=') + 1 : "0")));
    }
  }
  if (argc - i < 3) {
    std::fprintf(stderr, "usage: %s [--method 10|11] [--set SLOT=VALUE] [--workers N] OUT FRAME FRAME...\n", argv[0]);
    return 2;
  }
  tmparam_default(o.method, 2, o.param.data());
  for (auto [slot, v] : sets) o.param[size_t(slot)] = v;
  const std::string out = argv[i++];
  std::vector<std::string> names(argv + i, argv + argc);
  std::vector<unsigned char> icc;
  const auto t0 = std::chrono::steady_clock::now();
  auto pic = fuse_frames(
      int(names.size()),
      [&](int k) -> Result<Image> {
        auto img = read_image(names[size_t(k)]);
        if (img && k == 0) icc = img->icc;
        return img;
      },
      o, names);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!pic) {
    std::fprintf(stderr, "%s: %s\n", pic.failure().file.c_str(), pic.failure().reason.c_str());
    return 1;
  }
  pic->icc = profile_for_output(icc, pic->spp);
  const FormatDescriptor *f = output_format_of_path(out);
  if (f == nullptr) f = &default_output_format();
  if (Status st = write_picture(out, *f, *pic, WriteOptions{}); !st) {
    std::fprintf(stderr, "%s: %s\n", out.c_str(), st.failure().reason.c_str());
    return 1;
  }
  std::printf("fused %zu frames of %d x %d in %.3f s\n", names.size(), pic->width, pic->height, secs);
  return 0;
}
