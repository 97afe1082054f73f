// SPDX-License-Identifier: MIT
// brightloom merge as a user runs it: the file it writes, what it says, and the sets it refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ImfChannelList.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfStandardAttributes.h>
#include <ImfStringAttribute.h>
#include <png.h>

#include <cmath>
#include <filesystem>
#include <fcntl.h>
#include <unistd.h>

#include "image.h"
#include "merge_command.h"
#include "session.h"
#include "support/synth.h"

using namespace brightloom;

namespace {

struct Capture {
  FILE *f = std::tmpfile();
  ~Capture() { std::fclose(f); }
  std::string text() const {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    return s;
  }
};

// Writes a frame of the sample as an 8-bit PNG (exposure e), or 16-bit when bits is 16.
std::string png_frame(const std::string &dir, const std::string &name, double e, int bits = 8, int w = 224,
                      int h = 112) {
  synth::Shot s;
  s.exposure = e;
  s.bits = bits;
  const auto f = synth::make_frame(synth::sample(true), s, synth::srgb, w, h, 100, 60);
  Picture pic;
  pic.width = w;
  pic.height = h;
  pic.spp = 3;
  pic.bits = bits;
  if (bits == 8) {
    pic.pixels = Buffer::copy_of(f.codes8.data(), f.codes8.size());
  } else {
    std::vector<uint16_t> wide(f.codes16.size());
    for (size_t i = 0; i < wide.size(); ++i) wide[i] = uint16_t(std::min(65535u, uint32_t(f.codes16[i]) * 2u));
    pic.pixels = Buffer::copy_of(wide.data(), wide.size() * 2);
  }
  const std::string path = dir + "/" + name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_TRUE(write_png(fd, pic).ok());
  return path;
}

bool exists(const std::string &p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0;
}

}  // namespace

// The file: half OpenEXR with chromaticities and the merge's record, readable by our own
// reader; the report names where the exposures came from and each frame's exposure.
TEST(MergeCommand, WritesExrWithItsRecord) {
  brightloom_test::ScratchDir dir;
  MergeRequest req;
  for (int k = 0; k < 3; ++k) req.inputs.push_back(png_frame(dir.path(), "f" + std::to_string(k) + ".png", 0.04 * (1 << (2 * k))));
  req.output = dir.path() + "/out.exr";
  Capture out, err;
  ASSERT_EQ(run_merge(req, out.f, err.f), 0) << err.text();
  const std::string said = out.text();
  EXPECT_NE(said.find("estimated from the frames"), std::string::npos) << said;
  EXPECT_NE(said.find("f2.png"), std::string::npos);
  EXPECT_NE(said.find("+2.0"), std::string::npos) << said;  // f2 is two stops over f1

  Imf::InputFile in(req.output.c_str());
  EXPECT_EQ(in.header().channels().findChannel("R")->type, Imf::HALF);
  EXPECT_TRUE(Imf::hasChromaticities(in.header()));
  const auto *frames = in.header().findTypedAttribute<Imf::StringAttribute>("brightloomFrames");
  ASSERT_NE(frames, nullptr);
  EXPECT_EQ(frames->value(), "f0.png; f1.png; f2.png");
  ASSERT_NE(in.header().findTypedAttribute<Imf::StringAttribute>("brightloomExposures"), nullptr);
  ASSERT_NE(in.header().findTypedAttribute<Imf::StringAttribute>("brightloomShifts"), nullptr);
  auto back = read_exr(req.output, 1);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->width, 224);

  // The same frames twice over: two identical exposures merge, with a word about it. Written
  // over the first file through a link, as pictures are: the link stays, the file keeps its mode.
  const std::string real = dir.path() + "/real.exr";
  std::filesystem::rename(req.output, real);
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  std::filesystem::create_symlink("real.exr", req.output);
  req.inputs.push_back(req.inputs[1]);
  Capture out2, err2;
  ASSERT_EQ(run_merge(req, out2.f, err2.f), 0) << err2.text();
  EXPECT_NE(out2.text().find("have the same exposure"), std::string::npos) << out2.text();
  EXPECT_TRUE(std::filesystem::is_symlink(req.output));
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_TRUE(read_exr(real, 1).ok());
}

// Sets that cannot be merged: refused with the file and the reason, nothing written.
TEST(MergeCommand, RefusesBadSetsByName) {
  brightloom_test::ScratchDir dir;
  const std::string a = png_frame(dir.path(), "a.png", 0.3), b = png_frame(dir.path(), "b.png", 1.2);
  const std::string small = png_frame(dir.path(), "small.png", 0.6, 8, 200, 100);
  const std::string deep = png_frame(dir.path(), "deep.png", 0.6, 16);
  const std::string black = png_frame(dir.path(), "black.png", 1e-7);
  const std::string white = png_frame(dir.path(), "white.png", 1e4);
  const std::string out = dir.path() + "/out.exr";
  struct Case {
    std::vector<std::string> inputs;
    std::vector<double> ev;
    std::string output, expect;
    int code;
  };
  const Case cases[] = {
      {{a}, {}, out, "at least two exposures", 2},
      {{a, small}, {}, out, "small.png: is 200 x 100 pixels but a.png is 224 x 112", 1},
      {{a, b, deep}, {}, out, "deep.png: is PNG 16-bit RGB among frames of another kind", 1},
      {{a, black, b}, {}, out, "black.png: the frame is black all over", 1},
      {{a, b, white}, {}, out, "white.png: the frame is white all over", 1},
      {std::vector<std::string>(50, a), {}, out, "50 frames given", 2},
      {{a, b}, {0, 1, 2}, out, "--ev gives 3 exposure values for 2 frames", 2},
      {{a, b}, {}, dir.path() + "/out.png", "name the output .exr", 2},
      {{a, dir.path() + "/missing.png"}, {}, out, "missing.png: cannot open", 1},
  };
  for (const Case &c : cases) {
    MergeRequest req;
    req.inputs = c.inputs;
    req.ev = c.ev;
    req.output = c.output;
    Capture o, e;
    EXPECT_EQ(run_merge(req, o.f, e.f), c.code) << c.expect;
    EXPECT_NE(e.text().find(c.expect), std::string::npos) << e.text();
    EXPECT_FALSE(exists(c.output)) << c.expect;
  }
  // Nothing but the frames in the folder: no temporary file left behind either.
  int entries = 0;
  for (const auto &entry : std::filesystem::directory_iterator(dir.path())) entries += entry.is_regular_file();
  EXPECT_EQ(entries, 6);
}

// A saved response is used as it was saved: the same set merged again through it gives the
// same picture, and a curve for the wrong depth is refused.
TEST(MergeCommand, SavedResponseIsReused) {
  brightloom_test::ScratchDir dir;
  MergeRequest req;
  for (int k = 0; k < 3; ++k) req.inputs.push_back(png_frame(dir.path(), "f" + std::to_string(k) + ".png", 0.04 * (1 << (2 * k))));
  req.output = dir.path() + "/first.exr";
  req.save_response = dir.path() + "/camera.response";
  req.full_float = true;
  Capture o1, e1;
  ASSERT_EQ(run_merge(req, o1.f, e1.f), 0) << e1.text();
  req.save_response.clear();
  req.response = dir.path() + "/camera.response";
  req.output = dir.path() + "/second.exr";
  Capture o2, e2;
  ASSERT_EQ(run_merge(req, o2.f, e2.f), 0) << e2.text();
  EXPECT_NE(o2.text().find("loaded from"), std::string::npos) << o2.text();
  auto first = read_exr(dir.path() + "/first.exr", 1), second = read_exr(dir.path() + "/second.exr", 1);
  ASSERT_TRUE(first.ok() && second.ok());
  ASSERT_EQ(first->pixels.size(), second->pixels.size());
  const float *p = first->pixels.as<float>(), *q = second->pixels.as<float>();
  double worst = 0;
  for (size_t i = 0; i < first->pixels.size() / 4; ++i) worst = std::max(worst, std::fabs(std::log((p[i] + 1e-6) / (q[i] + 1e-6))));
  EXPECT_LT(worst, 1e-4);

  req.inputs = {png_frame(dir.path(), "d0.png", 0.3, 16), png_frame(dir.path(), "d1.png", 1.2, 16)};
  Capture o3, e3;
  EXPECT_EQ(run_merge(req, o3.f, e3.f), 1);
  EXPECT_NE(e3.text().find("is for 8-bit frames"), std::string::npos) << e3.text();
}
