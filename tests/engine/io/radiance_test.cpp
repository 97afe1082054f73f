// SPDX-License-Identifier: MIT
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brightloom/pipeline.h"
#include "tmlib/rgbe.h"

namespace tmlib::testing {
extern bool fail_radiance_file_buffer;  // defined by the Radiance readers
extern bool radiance_without_avx2;
}  // namespace tmlib::testing

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

// A picture in the engine's scanline-planar layout.
struct Picture {
  int width = 0;
  int height = 0;
  Bytes planar;
  const unsigned char *component(int y, int c) const { return planar.data() + (4 * y + c) * width; }
};

// Smooth gradients with noise, flat stretches and one channel of long runs, so that rows
// carry both literals and repeats of every length.
Picture make_picture(int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(0, 3);
  Picture p{width, height, Bytes(static_cast<std::size_t>(4) * width * height)};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      unsigned char *row = p.planar.data() + static_cast<std::size_t>(4) * width * y;
      row[x] = static_cast<unsigned char>(std::min(255, 90 + x + noise(rng)));
      row[width + x] = static_cast<unsigned char>(x < width / 3 ? 40 : 60 + (y * 7) % 150);
      row[2 * width + x] = static_cast<unsigned char>((x * 37 + y * 11) % 256);
      row[3 * width + x] = static_cast<unsigned char>(128 + x / 40);
    }
  }
  return p;
}

// Run-length coding of one component: repeats of 3 or more become repeat packets (at most
// 127 bytes each), the rest literals of at most 128 bytes.
void encode_component(const unsigned char *v, int n, Bytes &out) {
  brightloom::pipeline::encode_radiance_component(v, n, out);
}

std::string header(int width, int height, const std::string &extra = "") {
  return "#?RADIANCE\n" + extra + "FORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(height) + " +X " +
         std::to_string(width) + "\n";
}

Bytes rle_data(const Picture &p) {
  Bytes out;
  for (int y = 0; y < p.height; ++y) {
    out.insert(out.end(), {2, 2, static_cast<unsigned char>(p.width >> 8), static_cast<unsigned char>(p.width & 255)});
    for (int c = 0; c < 4; ++c) encode_component(p.component(y, c), p.width, out);
  }
  return out;
}

Bytes flat_data(const Picture &p) {
  Bytes out = brightloom::pipeline::encode_radiance(p.planar.data(), p.width, p.height,
                                                    brightloom::pipeline::RadianceLayout::Flat);
  out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(header(p.width, p.height).size()));
  return out;
}

Bytes concat(const std::string &text, const Bytes &data) {
  Bytes out(text.begin(), text.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

class Radiance : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/radiance_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string &name, const Bytes &bytes) {
    const std::string path = (dir_ / name).string();
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string write(const std::string &name, const std::string &text) {
    return write(name, Bytes(text.begin(), text.end()));
  }

  fs::path dir_;
};

struct Read {
  int rc;
  Bytes pixels;
};

using Reader = int (*)(const char *, const int32_t *, unsigned char *);

Read read_with(Reader reader, const std::string &path, const int32_t *dims) {
  Read r{0, Bytes(static_cast<std::size_t>(4) * dims[0] * dims[1], 0xCD)};
  r.rc = reader(path.c_str(), dims, r.pixels.data());
  return r;
}

TEST_F(Radiance, StandardHeaderGivesSizesAndTheResolutionLineIndex) {
  const Bytes file = concat(header(768, 512), Bytes(600, 7));
  const std::string path = write("std.hdr", file);
  float prim[8];
  int32_t dims[7] = {};
  EXPECT_EQ(rgbe_dim2(path.c_str(), prim, dims), 3);
  EXPECT_EQ(dims[0], 768);
  EXPECT_EQ(dims[1], 512);
  EXPECT_EQ(dims[2], static_cast<int32_t>(file.size()));
  EXPECT_EQ(dims[6], 0);
  for (float v : prim) EXPECT_EQ(v, 0.0f);
}

// The number of header lines examined follows the file size below 12,801 bytes (size / 128,
// but never fewer than 16) and is 100 from there on; the resolution line counts only when it
// lies within that limit.
TEST_F(Radiance, HeaderLineLimitFollowsTheFileSize) {
  auto file_with_resolution_at = [&](int index, std::size_t size) {
    std::string text;
    for (int i = 0; i < index; ++i) text += "#\n";
    text += "-Y 2 +X 3\n";
    text.resize(size, '\n');
    return write("limit.hdr", text);
  };
  int32_t dims[7] = {};
  float prim[8];
  EXPECT_EQ(rgbe_dim2(file_with_resolution_at(15, 1000).c_str(), prim, dims), 15);
  EXPECT_EQ(rgbe_dim2(file_with_resolution_at(16, 1000).c_str(), prim, dims), -3);
  EXPECT_EQ(rgbe_dim2(file_with_resolution_at(38, 5000).c_str(), prim, dims), 38);
  EXPECT_EQ(rgbe_dim2(file_with_resolution_at(39, 5000).c_str(), prim, dims), -3);
  EXPECT_EQ(rgbe_dim2(file_with_resolution_at(99, 12801).c_str(), prim, dims), 99);
  EXPECT_EQ(rgbe_dim2(file_with_resolution_at(100, 12801).c_str(), prim, dims), -3);
  EXPECT_EQ(rgbe_dim2(file_with_resolution_at(100, 40000).c_str(), prim, dims), -3);
  // A long line is read 127 characters at a time and counts as several lines.
  std::string text = "#" + std::string(300, 'x') + "\n-Y 2 +X 3\n";
  text.resize(2000, '\n');
  EXPECT_EQ(rgbe_dim2(write("long.hdr", text).c_str(), prim, dims), 3);
}

TEST_F(Radiance, PrimariesLineSetsTheFlag) {
  const Picture pic = make_picture(24, 12, 1);
  const std::string with =
      write("prim.hdr", concat(header(24, 12, "PRIMARIES= 0.64 0.33 0.3 0.6 0.15 0.06 0.3127 0.329\n"), rle_data(pic)));
  float prim[8];
  int32_t dims[7] = {};
  EXPECT_EQ(rgbe_dim2(with.c_str(), prim, dims), 4);
  EXPECT_EQ(dims[6], 32);
  const float expected[8] = {0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f, 0.3127f, 0.329f};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(prim[i], expected[i]) << i;

  // No primaries line: zeros, unless the caller flagged the record, then the defaults.
  const std::string without = write("plain.hdr", concat(header(24, 12), rle_data(pic)));
  int32_t fresh[7] = {};
  EXPECT_EQ(rgbe_dim2(without.c_str(), prim, fresh), 3);
  EXPECT_EQ(fresh[6], 0);
  for (float v : prim) EXPECT_EQ(v, 0.0f);
  int32_t flagged[7] = {0, 0, 0, 0, 0, 0, 32};
  EXPECT_EQ(rgbe_dim2(without.c_str(), prim, flagged), 3);
  EXPECT_EQ(prim[0], 0.648431f);
  EXPECT_EQ(prim[7], 0.3162f);

  // An incomplete primaries line is not one.
  const std::string partial = write("partial.hdr", concat(header(24, 12, "PRIMARIES=0.64 0.33 0.3\n"), rle_data(pic)));
  int32_t zero[7] = {};
  EXPECT_EQ(rgbe_dim2(partial.c_str(), prim, zero), 4);
  EXPECT_EQ(zero[6], 0);
}

// Both readers give back exactly the bytes written, from run-length and from flat files.
TEST_F(Radiance, WrittenPicturesReadBackByteForByte) {
  for (const auto &[w, h] : {std::pair{24, 12}, std::pair{300, 9}, std::pair{1, 700}}) {
    const Picture pic = make_picture(w, h, static_cast<unsigned>(w * h));
    for (const bool rle : {true, false}) {
      const std::string path = write("rt.hdr", concat(header(w, h), rle ? rle_data(pic) : flat_data(pic)));
      float prim[8];
      int32_t dims[7] = {};
      ASSERT_EQ(rgbe_dim2(path.c_str(), prim, dims), 3);
      ASSERT_EQ(dims[0], w);
      ASSERT_EQ(dims[1], h);
      const Read a = read_with(decomp_rle, path, dims);
      const Read b = read_with(decomp2, path, dims);
      EXPECT_EQ(a.rc, h) << w << "x" << h << (rle ? " rle" : " flat");
      EXPECT_EQ(b.rc, h) << w << "x" << h << (rle ? " rle" : " flat");
      EXPECT_TRUE(a.pixels == pic.planar) << w << "x" << h << (rle ? " rle" : " flat");
      EXPECT_TRUE(b.pixels == pic.planar) << w << "x" << h << (rle ? " rle" : " flat");
    }
  }
}

// One hand-made row of width 130: red a literal of 128 then a repeat of 2, green a repeat of
// one (code 129) then a literal of 129 split as 128 + 1, blue and exponent two repeats.
TEST_F(Radiance, PacketCodesAtTheirLimits) {
  const int w = 130;
  Bytes row = {2, 2, 0, w};
  Picture want{w, 1, Bytes(4 * w)};
  row.push_back(128);
  for (int i = 0; i < 128; ++i) {
    row.push_back(static_cast<unsigned char>(i * 3));
    want.planar[i] = static_cast<unsigned char>(i * 3);
  }
  row.insert(row.end(), {130, 9});
  want.planar[128] = want.planar[129] = 9;
  row.insert(row.end(), {129, 77, 128});
  want.planar[w] = 77;
  for (int i = 1; i <= 128; ++i) {
    row.push_back(static_cast<unsigned char>(255 - i));
    want.planar[w + i] = static_cast<unsigned char>(255 - i);
  }
  row.insert(row.end(), {1, 5});
  want.planar[w + 129] = 5;
  row.insert(row.end(), {255, 11, 131, 12, 255, 130, 131, 131});
  std::fill_n(want.planar.begin() + 2 * w, 127, 11);
  std::fill_n(want.planar.begin() + 2 * w + 127, 3, 12);
  std::fill_n(want.planar.begin() + 3 * w, 127, 130);
  std::fill_n(want.planar.begin() + 3 * w + 127, 3, 131);
  // Trailing bytes after the last row are ignored; they lift the header line limit.
  row.resize(row.size() + 600, 0);
  const std::string padded = write("packets.hdr", concat(header(w, 1), row));
  const int32_t dims[7] = {w, 1, static_cast<int32_t>(fs::file_size(padded))};
  float prim[8];
  int32_t measured[7] = {};
  ASSERT_GE(rgbe_dim2(padded.c_str(), prim, measured), 0);
  for (Reader reader : {decomp_rle, decomp2}) {
    const Read r = read_with(reader, padded, dims);
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(r.pixels == want.planar);
  }
}

// Each malformed row gives its code from both readers.
TEST_F(Radiance, MalformedRunLengthRows) {
  const int w = 24, h = 12;
  const Picture pic = make_picture(w, h, 5);
  const std::string head = header(w, h);
  const Bytes good = rle_data(pic);
  auto check = [&](const char *what, Bytes data, int rle, int disk) {
    const std::string path = write("bad.hdr", concat(head, data));
    const int32_t dims[7] = {w, h, static_cast<int32_t>(head.size() + data.size())};
    EXPECT_EQ(read_with(decomp_rle, path, dims).rc, rle) << what;
    EXPECT_EQ(read_with(decomp2, path, dims).rc, disk) << what;
  };
  Bytes b = good;
  b[3] = w + 1;
  check("first row one pixel wider", b, -4, -4);
  b = good;
  b[4] = 0;
  check("code 0", b, -6, -6);
  b = good;
  b[4] = 128 + 25;  // a repeat of 25 in a component of 24
  check("repeat past the component", b, -5, -5);
  b = good;
  b[4] = 25;  // a literal of 25
  check("literal past the component", b, -6, -6);

  // The second row's header: another width, and a width byte with its top bit set, which
  // only the disk reader examines.
  const Picture one{w, 1, Bytes(pic.planar.begin(), pic.planar.begin() + 4 * w)};
  const std::size_t second = rle_data(one).size();
  b = good;
  b[second + 3] = w - 1;
  check("second row narrower", b, -4, -4);
  b = good;
  b[second + 2] = 0x80;
  check("second row header top bit", b, -4, -6);

  // The same faults within the last bytes of the data, where the in-memory reader checks
  // every count: a file of one 8-pixel row (too small for the disk reader's line limit).
  const Picture tiny{8, 1, Bytes(pic.planar.begin(), pic.planar.begin() + 32)};
  const Bytes small = rle_data(tiny);
  const std::string tinyHead = header(8, 1);
  auto check_tiny = [&](const char *what, Bytes data, int rc) {
    const std::string path = write("tiny.hdr", concat(tinyHead, data));
    const int32_t dims[7] = {8, 1, static_cast<int32_t>(tinyHead.size() + data.size())};
    EXPECT_EQ(read_with(decomp_rle, path, dims).rc, rc) << what;
  };
  check_tiny("valid", small, 1);
  b = small;
  b[3] = 9;
  check_tiny("tiny: another width", b, -4);
  b = small;
  b[4] = 0;
  check_tiny("tiny: code 0", b, -6);
  b = small;
  b[4] = 128 + 9;
  check_tiny("tiny: repeat past the component", b, -5);
  b = small;
  b[4] = 9;
  check_tiny("tiny: literal past the component", b, -6);
}

// Run-length data far from both ends, where the in-memory reader copies whole blocks past each
// packet: every literal length 1..128 and every repeat length 1..127, in mixed order, each
// component cut to its width. Packet positions are kept for the malformed cases below.
struct PacketPicture {
  Picture pic;
  Bytes data;
  std::vector<std::size_t> lastPacket;  // offset in data of each component's last code
  std::vector<int> lastCount;           // and that packet's length
};

PacketPicture every_packet_length(int width, int height, unsigned seed) {
  std::vector<int> lengths;  // positive: literal, negative: repeat
  for (int n = 1; n <= 128; ++n) lengths.push_back(n);
  for (int n = 1; n <= 127; ++n) lengths.push_back(-n);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  PacketPicture pp{Picture{width, height, Bytes(static_cast<std::size_t>(4) * width * height)}, {}, {}, {}};
  std::size_t next = lengths.size();
  for (int y = 0; y < height; ++y) {
    pp.data.insert(pp.data.end(),
                   {2, 2, static_cast<unsigned char>(width >> 8), static_cast<unsigned char>(width & 255)});
    for (int c = 0; c < 4; ++c) {
      unsigned char *dst = pp.pic.planar.data() + (static_cast<std::size_t>(4) * y + c) * width;
      int left = width;
      while (left > 0) {
        if (next == lengths.size()) {
          std::shuffle(lengths.begin(), lengths.end(), rng);
          next = 0;
        }
        const int n = std::min(left, std::abs(lengths[next]));
        const bool repeat = lengths[next++] < 0;
        if (n == left) {
          pp.lastPacket.push_back(pp.data.size());
          pp.lastCount.push_back(n);
        }
        if (repeat) {
          const auto v = static_cast<unsigned char>(byte(rng));
          pp.data.insert(pp.data.end(), {static_cast<unsigned char>(128 + n), v});
          std::fill_n(dst, n, v);
        } else {
          pp.data.push_back(static_cast<unsigned char>(n));
          for (int i = 0; i < n; ++i) pp.data.push_back(dst[i] = static_cast<unsigned char>(byte(rng)));
        }
        dst += n;
        left -= n;
      }
    }
  }
  return pp;
}

// Both run-length decoders of the in-memory reader, whatever the processor.
class RadianceDecoders : public Radiance, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    Radiance::SetUp();
    tmlib::testing::radiance_without_avx2 = GetParam();
  }
  void TearDown() override {
    tmlib::testing::radiance_without_avx2 = false;
    Radiance::TearDown();
  }
};

INSTANTIATE_TEST_SUITE_P(, RadianceDecoders, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Blocks" : "Wide"; });

TEST_P(RadianceDecoders, EveryPacketLengthAwayFromTheEnds) {
  const int w = 1000, h = 9;
  const PacketPicture pp = every_packet_length(w, h, 3);
  const std::string head = header(w, h);
  const std::string path = write("lengths.hdr", concat(head, pp.data));
  const int32_t dims[7] = {w, h, static_cast<int32_t>(fs::file_size(path))};
  for (Reader reader : {decomp_rle, decomp2}) {
    // The buffer is longer than the picture: the bytes after it stay untouched.
    Bytes out(static_cast<std::size_t>(4) * w * h + 300, 0xCD);
    ASSERT_EQ(reader(path.c_str(), dims, out.data()), h);
    EXPECT_TRUE(std::equal(pp.pic.planar.begin(), pp.pic.planar.end(), out.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<long>(pp.pic.planar.size()), out.end(),
                            [](unsigned char c) { return c == 0xCD; }));
  }

  // Faults in the middle of the data, in each component of a middle row and of the last row,
  // give both readers' codes; a packet is made too long by one byte, the least that fails.
  auto check = [&](const std::string &what, Bytes data, int rc) {
    const std::string bad = write("bad.hdr", concat(head, data));
    const int32_t d[7] = {w, h, static_cast<int32_t>(head.size() + data.size())};
    EXPECT_EQ(read_with(decomp_rle, bad, d).rc, rc) << what;
    EXPECT_EQ(read_with(decomp2, bad, d).rc, rc) << what;
  };
  for (const int row : {4, h - 1}) {
    for (int c = 0; c < 4; ++c) {
      const std::size_t at = pp.lastPacket[static_cast<std::size_t>(4 * row + c)];
      const int n = pp.lastCount[static_cast<std::size_t>(4 * row + c)];
      const std::string where = " in row " + std::to_string(row) + " component " + std::to_string(c);
      Bytes b = pp.data;
      b[at] = 0;
      check("code 0" + where, b, -6);
      if (n < 127) {
        b[at] = static_cast<unsigned char>(128 + n + 1);
        check("repeat one past" + where, b, -5);
      }
      if (n < 128) {
        b[at] = static_cast<unsigned char>(n + 1);
        check("literal one past" + where, b, -6);
      }
      // A row header in the middle of the data that declares another width.
      if (c == 0) {
        b = pp.data;
        const std::size_t rowStart = pp.lastPacket[static_cast<std::size_t>(4 * row - 1)] +
                                     (pp.data[pp.lastPacket[static_cast<std::size_t>(4 * row - 1)]] > 128
                                          ? 2
                                          : 1 + pp.lastCount[static_cast<std::size_t>(4 * row - 1)]);
        ASSERT_EQ(b[rowStart], 2) << where;
        b[rowStart + 3] ^= 1;
        check("another width" + where, b, -4);
      }
    }
  }
}

TEST_F(Radiance, RefusesFilesThatAreNotPictures) {
  const int32_t dims[7] = {24, 12, 700};
  unsigned char out[4 * 24 * 12];
  float prim[8];
  int32_t d[7] = {};
  const std::string missing = (dir_ / "missing.hdr").string();
  EXPECT_EQ(rgbe_dim2(missing.c_str(), prim, d), -1);
  EXPECT_EQ(decomp_rle(missing.c_str(), dims, out), -1);
  EXPECT_EQ(decomp2(missing.c_str(), dims, out), -1);
  const std::string folder = dir_.string();
  EXPECT_EQ(rgbe_dim2(folder.c_str(), prim, d), -1);
  EXPECT_EQ(decomp_rle(folder.c_str(), dims, out), -1);
  EXPECT_EQ(decomp2(folder.c_str(), dims, out), -1);
  EXPECT_EQ(rgbe_dim2(nullptr, prim, d), -1);

  const std::string empty = write("empty.hdr", Bytes{});
  EXPECT_EQ(rgbe_dim2(empty.c_str(), prim, d), -3);
  EXPECT_EQ(decomp_rle(empty.c_str(), dims, out), -2);  // the record promises 700 bytes
  const int32_t emptyDims[7] = {24, 12, 0};
  EXPECT_EQ(decomp_rle(empty.c_str(), emptyDims, out), -3);
  EXPECT_EQ(decomp2(empty.c_str(), dims, out), -3);
}

TEST_F(Radiance, ResolutionLineMissingOrDisagreeing) {
  float prim[8];
  int32_t d[7] = {};
  // 60 comment lines in a 2,000-byte file: the limit of 15 lines is reached first.
  std::string text;
  for (int i = 0; i < 60; ++i) text += "# comment\n";
  text += "-Y 12 +X 24\n";
  text.resize(2000, 'z');
  const std::string late = write("late.hdr", text);
  EXPECT_EQ(rgbe_dim2(late.c_str(), prim, d), -3);
  const int32_t dims[7] = {24, 12, 2000};
  unsigned char out[4 * 24 * 12];
  EXPECT_EQ(decomp2(late.c_str(), dims, out), -3);

  const std::string none = write("none.hdr", std::string(2000, '\n'));
  EXPECT_EQ(rgbe_dim2(none.c_str(), prim, d), -3);
  EXPECT_EQ(decomp_rle(none.c_str(), dims, out), -3);

  const Picture pic = make_picture(24, 12, 3);
  const std::string path = write("pic.hdr", concat(header(24, 12), rle_data(pic)));
  for (const auto &[w, h] : {std::pair{24, 13}, std::pair{23, 12}}) {
    const int32_t other[7] = {w, h, static_cast<int32_t>(fs::file_size(path))};
    Bytes buf(static_cast<std::size_t>(4 * w * h));
    EXPECT_EQ(decomp_rle(path.c_str(), other, buf.data()), -3);
    EXPECT_EQ(decomp2(path.c_str(), other, buf.data()), -3);
  }

  // Zero, negative and out-of-range sizes are not resolution lines that could be used.
  for (const char *line : {"-Y 0 +X 24\n", "-Y -12 +X 24\n", "-Y 4294967308 +X 24\n"}) {
    std::string t = std::string("#?RADIANCE\n\n") + line;
    t.resize(1000, '\n');
    EXPECT_EQ(rgbe_dim2(write("zero.hdr", t).c_str(), prim, d), -3) << line;
  }
}

// Every prefix of a valid file, run-length and flat: the header scan, and both readers with
// the record of the whole file and with the record of the prefix, each into a buffer of
// exactly the declared size. A prefix that ends inside the pixel data gives -1 or -2, the
// same code from both readers.
TEST_P(RadianceDecoders, EveryTruncationFailsCleanly) {
  const int w = 24, h = 12;
  const Picture pic = make_picture(w, h, 11);
  const std::string head = header(w, h);
  for (const bool rle : {true, false}) {
    const Bytes full = concat(head, rle ? rle_data(pic) : flat_data(pic));
    const int32_t wholeDims[7] = {w, h, static_cast<int32_t>(full.size())};
    Bytes out(4 * w * h);
    for (std::size_t len = 0; len < full.size(); ++len) {
      const std::string path = write("cut.hdr", Bytes(full.begin(), full.begin() + static_cast<long>(len)));
      float prim[8];
      int32_t d[7] = {};
      const int line = rgbe_dim2(path.c_str(), prim, d);
      ASSERT_TRUE(line == 3 || line == -2 || line == -3) << len << ": " << line;
      ASSERT_EQ(decomp_rle(path.c_str(), wholeDims, out.data()), -2) << len;
      const int32_t cutDims[7] = {w, h, static_cast<int32_t>(len)};
      const int a = decomp_rle(path.c_str(), cutDims, out.data());
      const int b = decomp2(path.c_str(), wholeDims, out.data());
      ASSERT_TRUE(a < 0 && a >= -6) << len << ": " << a;
      ASSERT_TRUE(b < 0 && b >= -6) << len << ": " << b;
      // Past the first row header, and long enough for the line limit to reach the
      // resolution line, both readers are inside the pixel data.
      if (len > head.size() + 4 && len >= 512) {
        ASSERT_TRUE(a == -1 || a == -2) << len << ": " << a;
        ASSERT_EQ(a, b) << len;
      }
    }
  }
}

// A header may declare far more pixels than the 32-bit sizes hold: the dimensions are given
// back as declared, and the readers fail on the data without writing a byte.
TEST_F(Radiance, HugeDeclaredPictureNeverWraps) {
  Bytes rleRow = {2, 2, 0x86, 0xA0};  // 100000 does not fit a run-length row header
  rleRow.resize(700, 1);
  for (const Bytes &data : {rleRow, Bytes(700, 3)}) {
    const std::string path = write("huge.hdr", concat(header(100000, 100000), data));
    float prim[8];
    int32_t dims[7] = {};
    ASSERT_EQ(rgbe_dim2(path.c_str(), prim, dims), 3);
    ASSERT_EQ(dims[0], 100000);
    ASSERT_EQ(dims[1], 100000);
    EXPECT_EQ(4 * static_cast<int64_t>(dims[0]) * dims[1], 40000000000LL);
    // The contract wants 40 GB; a guard buffer shows that nothing is written.
    unsigned char guard[16] = {};
    const int a = decomp_rle(path.c_str(), dims, guard);
    const int b = decomp2(path.c_str(), dims, guard);
    EXPECT_TRUE(a == -4 || a == -2) << a;
    EXPECT_EQ(a, b);
    EXPECT_TRUE(std::all_of(std::begin(guard), std::end(guard), [](unsigned char c) { return c == 0; }));
  }
}

TEST_F(Radiance, InMemoryReaderFallsBackToTheDisk) {
  const Picture pic = make_picture(40, 20, 21);
  const std::string path = write("fb.hdr", concat(header(40, 20), rle_data(pic)));
  float prim[8];
  int32_t dims[7] = {};
  ASSERT_EQ(rgbe_dim2(path.c_str(), prim, dims), 3);
  tmlib::testing::fail_radiance_file_buffer = true;
  ::testing::internal::CaptureStdout();
  const Read r = read_with(decomp_rle, path, dims);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  tmlib::testing::fail_radiance_file_buffer = false;
  EXPECT_EQ(r.rc, 20);
  EXPECT_TRUE(r.pixels == pic.planar);
  EXPECT_EQ(printed, "could not allocate " + std::to_string(dims[2]) + " bytes - will try reading from disk\n");
}

// An empty line after the resolution line is skipped by the in-memory reader before
// run-length data, but a flat picture whose first byte is a newline keeps that byte.
TEST_F(Radiance, NewlineAfterTheResolutionLine) {
  const Picture pic = make_picture(24, 12, 8);
  const std::string blank = write("blank.hdr", concat(header(24, 12) + "\n", rle_data(pic)));
  const int32_t dims[7] = {24, 12, static_cast<int32_t>(fs::file_size(blank))};
  const Read a = read_with(decomp_rle, blank, dims);
  EXPECT_EQ(a.rc, 12);
  EXPECT_TRUE(a.pixels == pic.planar);

  Picture flat = pic;
  flat.planar[0] = '\n';
  const std::string path = write("flat10.hdr", concat(header(24, 12), flat_data(flat)));
  const int32_t flatDims[7] = {24, 12, static_cast<int32_t>(fs::file_size(path))};
  for (Reader reader : {decomp_rle, decomp2}) {
    const Read r = read_with(reader, path, flatDims);
    EXPECT_EQ(r.rc, 12);
    EXPECT_TRUE(r.pixels == flat.planar);
  }
}

// Files written by other programs: both readers agree with each other and with the header.
// The forest and courtyard files are bands of rows cut from the full panoramas with the rows'
// bytes kept as their programs encoded them (tests/data/README.md).
TEST(RadianceFiles, RealFilesReadAlike) {
  const fs::path data = BRIGHTLOOM_TEST_DATA;
  const struct {
    const char *name;
    int w, h;
  } files[] = {{"sunset-pfstools.hdr", 1024, 512}, {"forest-luminancehdr.hdr", 1024, 128},
               {"courtyard-imagemagick.hdr", 1024, 128}};
  for (const auto &f : files) {
    const std::string path = (data / f.name).string();
    SCOPED_TRACE(path);
    ASSERT_TRUE(fs::exists(path)) << "test image missing: " << path;
    float prim[8];
    int32_t dims[7] = {};
    ASSERT_GE(rgbe_dim2(path.c_str(), prim, dims), 0);
    EXPECT_EQ(dims[0], f.w);
    ASSERT_EQ(dims[1], f.h);
    EXPECT_EQ(dims[2], static_cast<int32_t>(fs::file_size(path)));
    const Read a = read_with(decomp_rle, path, dims);
    const Read b = read_with(decomp2, path, dims);
    ASSERT_EQ(a.rc, f.h);
    ASSERT_EQ(b.rc, f.h);
    EXPECT_TRUE(a.pixels == b.pixels);
    // Real content: exponents vary and most pixels are not black.
    std::size_t black = 0;
    for (int y = 0; y < f.h; ++y) {
      const unsigned char *e = a.pixels.data() + static_cast<std::size_t>(4) * f.w * y + 3 * f.w;
      black += static_cast<std::size_t>(std::count(e, e + f.w, 0));
    }
    EXPECT_LT(black, static_cast<std::size_t>(f.w * f.h / 10));
    if (std::string(f.name) == "courtyard-imagemagick.hdr") {
      EXPECT_EQ(dims[6], 32);  // "PRIMARIES=0 0 0 0 0 0 0 0"
      for (float v : prim) EXPECT_EQ(v, 0.0f);
    }
  }
}

}  // namespace
