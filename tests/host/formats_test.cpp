// SPDX-License-Identifier: MIT
// Readers: every input format from a small file written with the format's own library,
// checked against the values written; the document kind of each; hostile headers. The table
// of formats: signatures, extensions and names lead to one format each.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>

#include <tmlib/tmlib.h>

#include <half.h>

#include "formats.h"
#include "icc.h"
#include "image.h"
#include "render.h"
#include "support/test_images.h"

using namespace brightloom;
using namespace testing_host;

namespace {

const float *floats(const Image &img) { return img.pixels.as<float>(); }

std::vector<float> ramp(int w, int h, int c) {
  std::vector<float> v(size_t(w) * h * c);
  for (size_t i = 0; i < v.size(); ++i) v[i] = 0.25f * float(i) - 3.0f;
  return v;
}

// Runs f, which tells whether it had the outcome wanted, and watches its allocations: the
// largest single one, seen through the address sanitizer's allocation hook. Without the
// sanitizer f runs in a child whose address space may grow by no more than `budget`, and
// the largest is 0 when it kept within it, else SIZE_MAX.
struct Watched {
  size_t largest = 0;
  bool outcome = false;
};
#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                                         void (*)(const volatile void *));
std::atomic<bool> g_watching{false};
std::atomic<size_t> g_largest{0};
Watched watch_allocations(const std::function<bool()> &f, size_t) {
  static const int installed = __sanitizer_install_malloc_and_free_hooks(
      [](const volatile void *, size_t n) {
        if (!g_watching) return;
        for (size_t seen = g_largest; n > seen && !g_largest.compare_exchange_weak(seen, n);) {
        }
      },
      [](const volatile void *) {});
  (void)installed;
  g_largest = 0;
  g_watching = true;
  const bool outcome = f();
  g_watching = false;
  return {g_largest, outcome};
}
#else
Watched watch_allocations(const std::function<bool()> &f, size_t budget) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + budget;
    const rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_AS, &rl);
    ::_exit(f() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const bool kept = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return {kept ? 0 : SIZE_MAX, kept};
}
#endif

std::string png_chunk(const char *type, const std::string &data) {
  std::string c;
  for (int shift : {24, 16, 8, 0}) c += char((data.size() >> shift) & 255);
  c += type;
  c += data;
  const uint32_t crc = uint32_t(::crc32(::crc32(0, reinterpret_cast<const Bytef *>(type), 4),
                                        reinterpret_cast<const Bytef *>(data.data()), uInt(data.size())));
  for (int shift : {24, 16, 8, 0}) c += char((crc >> shift) & 255);
  return c;
}

// A PNG of a few dozen bytes that declares w x h RGB pixels.
std::string tiny_png(uint32_t w, uint32_t h) {
  std::string ihdr;
  for (uint32_t v : {w, h})
    for (int shift : {24, 16, 8, 0}) ihdr += char((v >> shift) & 255);
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);
  unsigned char z[64];
  uLongf zn = sizeof z;
  const unsigned char row[4] = {};
  ::compress(z, &zn, row, sizeof row);
  return "\x89PNG\r\n\x1a\n" + png_chunk("IHDR", ihdr) +
         png_chunk("IDAT", std::string(reinterpret_cast<char *>(z), zn)) + png_chunk("IEND", "");
}

// An OpenEXR header of one uncompressed float channel over a w x h data window, and no pixels.
std::string tiny_exr(int w, int h) {
  auto i32 = [](int v) { return std::string(reinterpret_cast<const char *>(&v), 4); };
  auto attr = [&](const char *name, const char *type, const std::string &v) {
    return std::string(name) + '\0' + type + '\0' + i32(int(v.size())) + v;
  };
  const std::string box = i32(0) + i32(0) + i32(w - 1) + i32(h - 1);
  const std::string channel = std::string("R\0", 2) + i32(2) + std::string(4, '\0') + i32(1) + i32(1) + '\0';
  const float one = 1.0f, zero2[2] = {};
  return i32(20000630) + i32(2) + attr("channels", "chlist", channel) +
         attr("compression", "compression", std::string(1, '\0')) + attr("dataWindow", "box2i", box) +
         attr("displayWindow", "box2i", box) + attr("lineOrder", "lineOrder", std::string(1, '\0')) +
         attr("pixelAspectRatio", "float", std::string(reinterpret_cast<const char *>(&one), 4)) +
         attr("screenWindowCenter", "v2f", std::string(reinterpret_cast<const char *>(zero2), 8)) +
         attr("screenWindowWidth", "float", std::string(reinterpret_cast<const char *>(&one), 4)) +
         std::string(17, '\0');
}

}  // namespace

TEST(Readers, OpenExrFloatHalfAndLuminance) {
  ScratchDir dir;
  const int w = 7, h = 5;
  std::vector<float> rgb = ramp(w, h, 3);
  rgb[4] = 1e30f;  // beyond half: becomes infinity in the half file, kept in the float file
  write_exr_rgb(dir.file("f.exr"), w, h, rgb, false);
  write_exr_rgb(dir.file("h.exr"), w, h, rgb, true);
  write_exr_y(dir.file("y.exr"), w, h, std::vector<float>(ramp(w, h, 1)));

  auto f = read_image(dir.file("f.exr"));
  ASSERT_TRUE(f) << f.failure().message();
  EXPECT_EQ(f->width, w);
  EXPECT_EQ(f->height, h);
  EXPECT_EQ(f->spp, 3);
  EXPECT_EQ(f->doc_type(), 0);
  for (size_t i = 0; i < rgb.size(); ++i) EXPECT_EQ(floats(*f)[i], rgb[i]) << i;

  auto hf = read_image(dir.file("h.exr"));
  ASSERT_TRUE(hf) << hf.failure().message();
  EXPECT_TRUE(std::isinf(floats(*hf)[4]));
  EXPECT_EQ(floats(*hf)[7], rgb[7]);  // 0.25 steps are exact in half
  EXPECT_NE(hf->kind.find("half"), std::string::npos);

  auto y = read_image(dir.file("y.exr"));
  ASSERT_TRUE(y) << y.failure().message();
  EXPECT_EQ(y->spp, 1);
  EXPECT_EQ(floats(*y)[w * h - 1], 0.25f * float(w * h - 1) - 3.0f);
}

TEST(Readers, TiffFloat16And8BitStripsAndTiles) {
  ScratchDir dir;
  const int w = 20, h = 18;  // more than one 16 × 16 tile each way
  std::vector<float> fl = ramp(w, h, 3);
  std::vector<uint16_t> s16(size_t(w) * h * 3);
  std::vector<uint8_t> s8(size_t(w) * h * 4);
  for (size_t i = 0; i < s16.size(); ++i) s16[i] = uint16_t(i * 97 % 65536);
  s16[0] = 65535;
  s16[1] = 0;
  for (size_t i = 0; i < s8.size(); ++i) s8[i] = uint8_t(i % 251);
  const std::vector<unsigned char> icc = builtin_profile(3);
  write_tiff(dir.file("f.tif"), w, h, 3, 32, true, fl.data(), icc);
  write_tiff(dir.file("s16.tif"), w, h, 3, 16, false, s16.data(), {}, true);
  write_tiff(dir.file("s8.tif"), w, h, 4, 8, false, s8.data());

  auto f = read_image(dir.file("f.tif"));
  ASSERT_TRUE(f) << f.failure().message();
  EXPECT_EQ(f->doc_type(), 0);
  EXPECT_EQ(f->icc, icc);
  EXPECT_EQ(0, std::memcmp(floats(*f), fl.data(), fl.size() * 4));

  auto a = read_image(dir.file("s16.tif"));
  ASSERT_TRUE(a) << a.failure().message();
  EXPECT_EQ(a->doc_type(), 1);
  const uint16_t *p = a->pixels.as<uint16_t>();
  EXPECT_EQ(p[0], 32768);  // full scale
  EXPECT_EQ(p[1], 0);
  for (size_t i = 2; i < s16.size(); ++i) ASSERT_EQ(p[i], uint16_t(std::lround(s16[i] * 32768.0 / 65535.0))) << i;

  auto b = read_image(dir.file("s8.tif"));
  ASSERT_TRUE(b) << b.failure().message();
  EXPECT_EQ(b->doc_type(), 2);
  EXPECT_EQ(b->spp, 3);  // alpha dropped
  for (int i = 0; i < w * h; ++i)
    for (int c = 0; c < 3; ++c) ASSERT_EQ(b->pixels.data()[i * 3 + c], s8[size_t(i) * 4 + c]);
}

TEST(Readers, Png16And8Bit) {
  ScratchDir dir;
  const int w = 6, h = 4;
  std::vector<uint16_t> s16(size_t(w) * h * 3);
  for (size_t i = 0; i < s16.size(); ++i) s16[i] = uint16_t(i * 2731);
  std::vector<uint8_t> g8(size_t(w) * h);
  for (size_t i = 0; i < g8.size(); ++i) g8[i] = uint8_t(i * 10);
  const std::vector<unsigned char> icc = builtin_profile(1);
  write_png(dir.file("a.png"), w, h, 3, 16, s16.data());
  write_png(dir.file("g.png"), w, h, 1, 8, g8.data(), icc);

  auto a = read_image(dir.file("a.png"));
  ASSERT_TRUE(a) << a.failure().message();
  EXPECT_EQ(a->doc_type(), 1);
  for (size_t i = 0; i < s16.size(); ++i)
    ASSERT_EQ(a->pixels.as<uint16_t>()[i], uint16_t(std::lround(s16[i] * 32768.0 / 65535.0)));
  auto g = read_image(dir.file("g.png"));
  ASSERT_TRUE(g) << g.failure().message();
  EXPECT_EQ(g->doc_type(), 2);
  EXPECT_EQ(g->spp, 1);
  EXPECT_EQ(g->icc, icc);
  EXPECT_EQ(0, std::memcmp(g->pixels.data(), g8.data(), g8.size()));
}

TEST(Readers, PfmBothByteOrdersRowsTopDown) {
  ScratchDir dir;
  const int w = 3, h = 4;
  std::vector<float> v = ramp(w, h, 3);
  write_pfm(dir.file("le.pfm"), w, h, 3, v, true);
  write_pfm(dir.file("be.pfm"), w, h, 3, v, false);
  for (const char *name : {"le.pfm", "be.pfm"}) {
    auto img = read_image(dir.file(name));
    ASSERT_TRUE(img) << img.failure().message();
    EXPECT_EQ(img->doc_type(), 0);
    EXPECT_EQ(0, std::memcmp(floats(*img), v.data(), v.size() * 4)) << name;
  }
  std::vector<float> g = {1, 2, 3, 4, 5, 6};
  write_pfm(dir.file("g.pfm"), 2, 3, 1, g, true);
  auto gi = read_image(dir.file("g.pfm"));
  ASSERT_TRUE(gi);
  EXPECT_EQ(gi->spp, 1);
  EXPECT_EQ(floats(*gi)[0], 1.0f);
  EXPECT_EQ(floats(*gi)[5], 6.0f);
}

TEST(Readers, PfmHostileHeadersAreRefusedBeforeAllocating) {
  auto parse = [](const std::string &s) {
    return parse_pfm_header(reinterpret_cast<const unsigned char *>(s.data()), s.size());
  };
  EXPECT_TRUE(parse("PF\n3 4\n-1.0\n"));
  EXPECT_EQ(parse("PF\n3 4\n-1.0\n")->data_offset, 12u);
  EXPECT_FALSE(parse("P6\n3 4\n255\n"));
  EXPECT_FALSE(parse("PF\n-3 4\n-1\n"));
  EXPECT_FALSE(parse("PF\n3 0\n-1\n"));
  EXPECT_FALSE(parse("PF\n3 4\n0\n"));
  EXPECT_FALSE(parse("PF\n3 4\nnan\n"));
  EXPECT_FALSE(parse("PF\n99999999999 4\n-1\n"));
  EXPECT_FALSE(parse("PF\n3 4\n-1.0"));  // no separator before the samples
  EXPECT_FALSE(parse(std::string("PF\n") + std::string(100, '9')));

  ScratchDir dir;
  // A header that claims two gigapixels over a few bytes of data.
  write_bytes(dir.file("big.pfm"), "PF\n65536 32768\n-1.0\n" + std::string(64, '\0'));
  auto big = read_image(dir.file("big.pfm"));
  ASSERT_FALSE(big);
  EXPECT_NE(big.failure().reason.find("shorter"), std::string::npos) << big.failure().reason;
}

TEST(Readers, DeclaredSizesAreCheckedBeforeAnythingIsAllocated) {
  // Tiny files that declare huge pictures: each must be refused before a buffer of the size it
  // declares is asked for (the PNG of 400,000,000 x 1 pixels made libpng set up 2.3 GB of rows).
  ScratchDir dir;
  write_bytes(dir.file("long.png"), tiny_png(400000000, 1));
  write_bytes(dir.file("square.png"), tiny_png(0x7fffffff, 0x7fffffff));
  write_bytes(dir.file("window.exr"), tiny_exr(1 << 27, 8));  // exactly a gigapixel
  write_bytes(dir.file("huge.exr"), tiny_exr(50000, 50000));
  write_bytes(dir.file("big.hdr"), "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 30000 +X 30000\n" + std::string(64, '\2'));
  {
    // Uncompressed float rows of which only the first was written.
    TIFF *t = TIFFOpen(dir.file("big.tif").c_str(), "w");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 30000u);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 30000u);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 32);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 1u);
    std::vector<float> row(30000 * 3, 0.5f);
    ASSERT_EQ(TIFFWriteScanline(t, row.data(), 0, 0), 1);
    TIFFClose(t);
  }
  for (const char *name : {"long.png", "square.png", "window.exr", "huge.exr", "big.hdr", "big.tif"}) {
    for (bool as_rgbe : {false, true}) {
      std::string reason = "read";
      const Watched w = watch_allocations(
          [&] {
            auto r = read_image(dir.file(name), 2, as_rgbe);
            reason = r ? "read" : r.failure().reason;
            return reason.find(" declares ") != std::string::npos;
          },
          size_t(256) << 20);
      EXPECT_LT(w.largest, size_t(64) << 20) << name;
      EXPECT_TRUE(w.outcome) << name << ": " << reason;
    }
  }
}

TEST(Readers, RadianceFilesOfOtherProgramsMatchTheirOpenExrOriginals) {
  const std::string data = BRIGHTLOOM_TEST_DATA;
  auto exr = read_image(data + "/sunset.exr");
  auto hdr = read_image(data + "/sunset-pfstools.hdr");
  ASSERT_TRUE(exr) << exr.failure().message();
  ASSERT_TRUE(hdr) << hdr.failure().message();
  EXPECT_EQ(hdr->type, SampleType::RGBE);
  EXPECT_EQ(hdr->doc_type(), 0);
  ASSERT_EQ(hdr->width, exr->width);
  ASSERT_EQ(hdr->height, exr->height);
  // RGBE keeps 8 mantissa bits of the brightest channel: compare bright pixels relatively.
  const int W = hdr->width;
  int compared = 0;
  for (int y = 0; y < hdr->height; y += 37)
    for (int x = 0; x < W; x += 41) {
      const unsigned char *row = hdr->pixels.data() + size_t(y) * W * 4;
      const int e = row[3 * W + x];
      if (e == 0) continue;
      const float g = (row[W + x] + 0.5f) * std::ldexp(1.0f, e - 136);
      const float ref = floats(*exr)[(size_t(y) * W + x) * 3 + 1];
      const float rmax =
          std::max({floats(*exr)[(size_t(y) * W + x) * 3], ref, floats(*exr)[(size_t(y) * W + x) * 3 + 2]});
      EXPECT_NEAR(g, ref, rmax * 0.02f + 1e-6f) << x << "," << y;
      ++compared;
    }
  EXPECT_GT(compared, 200);
  // Bands of 128 rows cut from the panoramas, the rows as their programs wrote them.
  for (const char *name : {"forest-luminancehdr.hdr", "courtyard-imagemagick.hdr"}) {
    auto other = read_image(data + "/" + name);
    ASSERT_TRUE(other) << other.failure().message();
    EXPECT_EQ(other->width, 1024);
    EXPECT_EQ(other->height, 128);
  }
}

TEST(Readers, SmallRadianceFilesReadAndRowsOfAnotherWidthAreNamed) {
  // 16 x 16 run-length pixels take 241 bytes: far below the 128 bytes per header line that
  // larger files are allowed.
  auto file = [](int odd_row, int odd_width) {
    std::string s = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 16 +X 16\n";
    for (int y = 0; y < 16; ++y) {
      s += {2, 2, 0, char(y == odd_row ? odd_width : 16)};
      for (int v : {100 + y, 50, 10, 128}) s += {char(128 + 16), char(v)};
    }
    return s;
  };
  ScratchDir dir;
  write_bytes(dir.file("small.hdr"), file(-1, 16));
  auto img = read_image(dir.file("small.hdr"));
  ASSERT_TRUE(img) << img.failure().message();
  EXPECT_EQ(img->width, 16);
  EXPECT_EQ(img->height, 16);
  const unsigned char *row9 = img->pixels.data() + 9 * 64;
  EXPECT_EQ(row9[15], 109);
  EXPECT_EQ(row9[16 + 15], 50);
  EXPECT_EQ(row9[48], 128);

  write_bytes(dir.file("wide.hdr"), file(5, 17));
  auto wide = read_image(dir.file("wide.hdr"));
  ASSERT_FALSE(wide);
  EXPECT_NE(wide.failure().reason.find("row whose width differs"), std::string::npos) << wide.failure().reason;
}

TEST(Readers, DataFolderTiffsHaveTheirDocumentKinds) {
  const std::string data = BRIGHTLOOM_TEST_DATA;
  auto f = read_image(data + "/courtyard-float32.tif");
  auto s = read_image(data + "/city-16bit.tif");
  ASSERT_TRUE(f) << f.failure().message();
  ASSERT_TRUE(s) << s.failure().message();
  EXPECT_EQ(f->doc_type(), 0);
  EXPECT_EQ(s->doc_type(), 1);
  uint16_t mx = 0;
  for (size_t i = 0; i < size_t(s->pixel_count()) * 3; ++i) mx = std::max(mx, s->pixels.as<uint16_t>()[i]);
  EXPECT_LE(mx, 32768);
  EXPECT_GT(mx, 16000);
}

TEST(Readers, BrokenFilesNameTheProblem) {
  ScratchDir dir;
  write_bytes(dir.file("empty.exr"), "");
  write_bytes(dir.file("text.exr"), "hello, this is not a picture");
  write_bytes(dir.file("trunc.exr"), std::string("\x76\x2f\x31\x01\x02\x00\x00\x00", 8));
  write_bytes(dir.file("trunc.png"), std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
  write_bytes(dir.file("bad.hdr"), "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 100 +X 100\n\x02\x02\x00");
  for (const char *name : {"empty.exr", "text.exr", "trunc.exr", "trunc.png", "bad.hdr", "missing.exr"}) {
    auto r = read_image(dir.file(name));
    ASSERT_FALSE(r) << name;
    EXPECT_EQ(r.failure().file, dir.file(name));
    EXPECT_FALSE(r.failure().reason.empty()) << name;
  }
  auto folder = read_image(dir.path());
  ASSERT_FALSE(folder);
  EXPECT_NE(folder.failure().reason.find("folder"), std::string::npos);

  // A pipe is refused by its kind, not read: with no writer, opening it would never return.
  // The test keeps an end open with bytes in it so that a faulty reader fails instead of hanging.
  const std::string pipe = dir.file("pipe.exr");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const int keep = ::open(pipe.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(keep, 0);
  ASSERT_EQ(::write(keep, "no picture in a pipe", 20), 20);
  auto piped = read_image(pipe);
  ::close(keep);
  ASSERT_FALSE(piped);
  EXPECT_EQ(piped.failure().file, pipe);
  EXPECT_NE(piped.failure().reason.find("regular file"), std::string::npos) << piped.failure().reason;
}

TEST(Readers, FloatFilesReadAsRgbeEqualTheEngineEncodingOfTheirFloats) {
  // Strips of 128 rows; 133 and 260 rows exercise a merged last strip and a short one.
  ScratchDir dir;
  for (int h : {7, 133, 260}) {
    const int w = 21;
    std::vector<float> rgb(size_t(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = std::ldexp(1.0f + float(i % 17) / 17.0f, int(i % 23) - 11);
    rgb[5] = -2.0f;
    // An OpenEXR data window away from the origin: the image is the data window.
    write_exr_window(dir.file("s.exr"), 5, 3, w, h, rgb);
    write_pfm(dir.file("s.pfm"), w, h, 3, rgb, false);
    write_tiff(dir.file("s.tif"), w, h, 3, 32, true, rgb.data());
    for (const char *name : {"s.exr", "s.pfm", "s.tif"}) {
      SCOPED_TRACE(std::string(name) + ", " + std::to_string(h) + " rows");
      auto f = read_image(dir.file(name), 2, false);
      auto e = read_image(dir.file(name), 2, true);
      ASSERT_TRUE(f && e);
      ASSERT_EQ(f->width, w);
      ASSERT_EQ(e->height, h);
      EXPECT_EQ(0, std::memcmp(f->pixels.data(), rgb.data(), rgb.size() * 4));
      EXPECT_EQ(e->type, SampleType::RGBE);
      EXPECT_EQ(e->doc_type(), 0);
      std::vector<unsigned char> expect(size_t(w) * h * 4);
      ASSERT_EQ(extract_rgbe_preview(10, w, h, 3, int64_t(w) * 3, w, h, f->pixels.data(), expect.data()), h);
      EXPECT_EQ(0, std::memcmp(expect.data(), e->pixels.data(), expect.size()));
    }
  }
}

TEST(Readers, HalfFloatTiffRendersLikeTheFloatTiff) {
  // The same picture as 16-bit (half) and 32-bit float TIFF, stripped and tiled: read as floats
  // and as RGBE strips alike, and rendered to the same picture.
  ScratchDir dir;
  const int w = 40, h = 36;
  std::vector<float> fl(size_t(w) * h * 3);
  std::vector<uint16_t> hf(fl.size());
  for (size_t i = 0; i < fl.size(); ++i) {
    const half v(std::ldexp(1.0f + float(i % 13) / 13.0f, int(i % 19) - 12) * (i % 29 == 0 ? -1.0f : 1.0f));
    hf[i] = v.bits();
    fl[i] = float(v);
  }
  write_tiff(dir.file("f.tif"), w, h, 3, 32, true, fl.data());
  write_tiff(dir.file("h.tif"), w, h, 3, 16, true, hf.data());
  write_tiff(dir.file("ht.tif"), w, h, 3, 16, true, hf.data(), {}, true);
  for (bool as_rgbe : {false, true}) {
    auto f = read_image(dir.file("f.tif"), 2, as_rgbe);
    ASSERT_TRUE(f) << f.failure().message();
    for (const char *name : {"h.tif", "ht.tif"}) {
      if (as_rgbe && name[1] == 't') continue;  // tiled files are read as floats either way
      SCOPED_TRACE(std::string(name) + (as_rgbe ? " as RGBE" : " as floats"));
      auto hi = read_image(dir.file(name), 2, as_rgbe);
      ASSERT_TRUE(hi) << hi.failure().message();
      EXPECT_EQ(hi->doc_type(), 0);
      EXPECT_NE(hi->kind.find("half"), std::string::npos) << hi->kind;
      ASSERT_EQ(hi->pixels.size(), f->pixels.size());
      EXPECT_EQ(0, std::memcmp(hi->pixels.data(), f->pixels.data(), f->pixels.size()));
    }
  }
  for (int method : {1, 2}) {
    auto a = read_image(dir.file("f.tif"), 2, true);
    auto b = read_image(dir.file("h.tif"), 2, true);
    ASSERT_TRUE(a && b);
    RenderOptions o;
    o.method = method;
    o.workers = 2;
    tmparam_default(method, 0, o.param.data());
    auto pa = render(*a, o);
    auto pb = render(*b, o);
    ASSERT_TRUE(pa && pb);
    EXPECT_EQ(0, std::memcmp(pa->pixels.data(), pb->pixels.data(), pa->pixels.size())) << "method " << method;
  }
}

TEST(Readers, LogLuvTiffReadsAsLinearRgb) {
  ScratchDir dir;
  const int w = 24, h = 10;
  std::vector<float> rgb(size_t(w) * h * 3), grey(size_t(w) * h);
  for (int i = 0; i < w * h; ++i) {
    const float l = std::exp2(-8.0f + 14.0f * float(i) / float(w * h));
    rgb[size_t(i) * 3 + 0] = l * (0.4f + 0.6f * float(i % 3 == 0));
    rgb[size_t(i) * 3 + 1] = l * 0.7f;
    rgb[size_t(i) * 3 + 2] = l * (0.3f + 0.7f * float(i % 5 == 0));
    grey[size_t(i)] = l;
  }
  write_logluv_tiff(dir.file("luv.tif"), w, h, 3, rgb);
  write_logluv_tiff(dir.file("l.tif"), w, h, 1, grey);
  for (bool as_rgbe : {false, true}) {
    auto c = read_image(dir.file("luv.tif"), 2, as_rgbe);
    ASSERT_TRUE(c) << c.failure().message();
    EXPECT_EQ(c->doc_type(), 0);
    EXPECT_EQ(c->spp, 3);
    EXPECT_EQ(c->kind, "TIFF LogLuv RGB");
    if (as_rgbe) {
      EXPECT_EQ(c->type, SampleType::RGBE);
      continue;
    }
    // LogLuv keeps luminance to about 0.3 % and chromaticity to about 1/400 of u'v'.
    for (size_t i = 0; i < rgb.size(); ++i) {
      const float l = rgb[i / 3 * 3 + 1] / 0.7f;
      ASSERT_NEAR(floats(*c)[i], rgb[i], 0.02f * l) << i;
    }
  }
  auto g = read_image(dir.file("l.tif"));
  ASSERT_TRUE(g) << g.failure().message();
  EXPECT_EQ(g->spp, 1);
  for (size_t i = 0; i < grey.size(); ++i) ASSERT_NEAR(floats(*g)[i], grey[i], 0.005f * grey[i]) << i;
}

TEST(Readers, PrimariesComeFromTheFileOrFallBackWithAWarning) {
  ScratchDir dir;
  const int w = 8, h = 6;
  const std::vector<float> rgb = std::vector<float>(size_t(w) * h * 3, 0.5f);
  // ACES primaries lie outside the spectral locus (blue y < 0) and are still a colour space.
  const Chromaticities aces{0.7347f, 0.2653f, 0.0f, 1.0f, 0.0001f, -0.0770f, 0.32168f, 0.33767f};
  const Chromaticities swapped{0.64f, 0.33f, 0.30f, 0.60f, 0.15f, 0.06f, 0.15f, 0.06f};
  write_exr_rgb(dir.file("aces.exr"), w, h, rgb, true, &aces);
  write_exr_rgb(dir.file("bad.exr"), w, h, rgb, true, &swapped);
  write_exr_rgb(dir.file("plain.exr"), w, h, rgb, true);
  auto a = read_image(dir.file("aces.exr"));
  ASSERT_TRUE(a);
  EXPECT_TRUE(same_primaries(a->primaries, aces));
  EXPECT_EQ(a->primaries_origin, "the file's chromaticities attribute");
  EXPECT_TRUE(a->warnings.empty());
  auto b = read_image(dir.file("bad.exr"));
  ASSERT_TRUE(b);
  EXPECT_TRUE(same_primaries(b->primaries, kRec709));
  ASSERT_EQ(b->warnings.size(), 1u);
  EXPECT_NE(b->warnings[0].find("white point"), std::string::npos) << b->warnings[0];
  auto p = read_image(dir.file("plain.exr"));
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->primaries_origin.empty());
  EXPECT_TRUE(p->warnings.empty());

  // A float TIFF's profile names the primaries of its linear samples, whatever its curves.
  const Chromaticities rec2020{0.708f, 0.292f, 0.170f, 0.797f, 0.131f, 0.046f, 0.3127f, 0.3290f};
  const Chromaticities d50_wide{0.7347f, 0.2653f, 0.1596f, 0.8404f, 0.0366f, 0.0001f, 0.3457f, 0.3585f};
  write_tiff(dir.file("p2020.tif"), w, h, 3, 32, true, rgb.data(), primaries_profile(rec2020, 3, 2.2));
  write_tiff(dir.file("pro.tif"), w, h, 3, 32, true, rgb.data(), primaries_profile(d50_wide, 3, 1.0));
  write_tiff(dir.file("srgb.tif"), w, h, 3, 32, true, rgb.data(), builtin_profile(3));
  for (auto [name, want] :
       {std::pair{"p2020.tif", rec2020}, std::pair{"pro.tif", d50_wide}, std::pair{"srgb.tif", kRec709}}) {
    auto t = read_image(dir.file(name));
    ASSERT_TRUE(t) << t.failure().message();
    EXPECT_TRUE(same_primaries(t->primaries, want)) << name << ": " << describe_primaries(t->primaries);
    EXPECT_EQ(t->primaries_origin, "the file's ICC profile") << name;
  }

  // Radiance: a PRIMARIES line is taken; ImageMagick's line of eight zeros is not.
  std::string pic =
      "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\nPRIMARIES= 0.708 0.292 0.170 0.797 0.131 0.046 0.3127 0.3290\n\n"
      "-Y 64 +X 64\n";
  pic += std::string(64 * 64 * 4, '\x80');
  write_bytes(dir.file("p.hdr"), pic);
  auto r = read_image(dir.file("p.hdr"));
  ASSERT_TRUE(r) << r.failure().message();
  EXPECT_TRUE(
      same_primaries(r->primaries, Chromaticities{0.708f, 0.292f, 0.170f, 0.797f, 0.131f, 0.046f, 0.3127f, 0.3290f}));
  EXPECT_EQ(r->primaries_origin, "the file's PRIMARIES line");
  auto im = read_image(std::string(BRIGHTLOOM_TEST_DATA) + "/courtyard-imagemagick.hdr");
  ASSERT_TRUE(im) << im.failure().message();
  EXPECT_TRUE(same_primaries(im->primaries, kRec709));
  ASSERT_EQ(im->warnings.size(), 1u);
  EXPECT_NE(im->warnings[0].find("PRIMARIES"), std::string::npos) << im->warnings[0];
}

TEST(Formats, EachProbeKnowsItsOwnSignatureAndNoOther) {
  // Signatures as files begin, by the label of their format.
  const std::pair<const char *, std::string> signatures[] = {
      {"OpenEXR", std::string("\x76\x2f\x31\x01\x02\0\0\0", 8)},
      {"Radiance .hdr", "#?RADIANCE\n"},
      {"Radiance .hdr", "#?RGBE\n"},
      {"TIFF", std::string("II*\0\x08\0\0\0", 8)},
      {"TIFF", std::string("MM\0*\0\0\0\x08", 8)},
      {"TIFF", std::string("II+\0\x08\0\0\0", 8)},
      {"TIFF", std::string("MM\0+\0\x08\0\0", 8)},
      {"PFM", "PF\n4 4\n-1\n"},
      {"PFM", "Pf 4 4 1\n"},
      {"PNG", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16)},
  };
  for (const FormatDescriptor &f : all_formats()) {
    if (f.read == nullptr) continue;
    ASSERT_NE(f.probe, nullptr) << f.label;
    bool has_signature = false;
    for (const auto &[owner, bytes] : signatures) {
      const auto *b = reinterpret_cast<const unsigned char *>(bytes.data());
      const bool own = std::string(owner) == f.label;
      has_signature |= own;
      EXPECT_EQ(f.probe(b, bytes.size()), own) << f.label << " on a " << owner << " signature";
      if (own) {
        EXPECT_EQ(format_of_bytes(b, bytes.size()), &f) << owner;
      }
    }
    EXPECT_TRUE(has_signature) << f.label << " has no signature in this test";
  }
  // A file shorter than a signature is no file of that format, and nothing reads past it.
  for (const auto &[owner, bytes] : signatures) {
    const size_t cut = std::string(owner) == "PFM" ? 2 : std::string(owner) == "Radiance .hdr" ? 1 : 3;
    std::vector<unsigned char> head(bytes.begin(), bytes.begin() + long(cut));
    EXPECT_EQ(format_of_bytes(head.data(), head.size()), nullptr) << owner;
  }
  // Text that merely starts like a signature.
  for (const char *text : {"P6\n4 4\n255\n", "#!/bin/sh\n", "PFX", "IM*"})
    EXPECT_EQ(format_of_bytes(reinterpret_cast<const unsigned char *>(text), std::strlen(text)), nullptr) << text;
}

TEST(Formats, ExtensionsAndNamesLeadBackToTheirFormat) {
  for (const FormatDescriptor &f : all_formats()) {
    ASSERT_FALSE(f.extensions.empty()) << f.label;
    for (const char *ext : f.extensions) {
      std::string upper = ext;
      for (char &c : upper) c = char(std::toupper((unsigned char)c));
      EXPECT_EQ(format_of_extension(std::string("dir.x/photo") + ext), &f) << ext;
      EXPECT_EQ(format_of_extension("photo" + upper), &f) << upper;
      // -o and --format find writable formats only.
      EXPECT_EQ(output_format_of_path("photo" + upper), f.write ? &f : nullptr) << upper;
      EXPECT_EQ(output_format_named(upper.substr(1)), f.write ? &f : nullptr) << upper;
    }
    if (f.write) {
      EXPECT_EQ(output_format_named(f.name), &f) << f.name;
      EXPECT_TRUE(f.holds_bits(8) || f.holds_bits(16)) << f.label;
    }
  }
  EXPECT_EQ(format_of_extension("photo.raw"), nullptr);
  EXPECT_EQ(format_of_extension("png"), nullptr);  // a name without an extension
  EXPECT_EQ(output_format_named(""), nullptr);
  const FormatDescriptor &d = default_output_format();
  EXPECT_TRUE(d.write && d.holds_bits(8) && d.holds_bits(16) && !d.writer_seeks) << d.label;
}
