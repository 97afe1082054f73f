// SPDX-License-Identifier: MIT
// The commands as a user meets them: batches with a broken file, outputs read back with their
// libraries, unwritable destinations, settings from the command line, files and presets.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <tmlib/tmlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <chrono>

#include <lcms2.h>

#include <cmath>

#include "cleanup.h"
#include "commands.h"
#include "document_profile.h"
#include "progress.h"
#include "icc.h"
#include "support/test_images.h"

using namespace brightloom;
using namespace testing_host;
namespace fs = std::filesystem;

namespace {

// Every writable format at every depth it holds, each read back by its own reader.
struct OutputCase {
  const char *name;
  int bits;
  ReadBack (*read)(const std::string &);
};
const OutputCase kOutputCases[] = {{"p8.png", 8, read_png_back},
                                   {"p16.png", 16, read_png_back},
                                   {"t8.tif", 8, read_tiff_back},
                                   {"t16.tif", 16, read_tiff_back},
                                   {"j.jpg", 8, read_jpeg_back}};

// Small real inputs: reduced copies of data files, written as OpenEXR and PFM.
class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    auto full = read_image(std::string(BRIGHTLOOM_TEST_DATA) + "/sunset.exr");
    ASSERT_TRUE(full) << full.failure().message();
    const Image small = reduce(*full, 8);  // 128 × 64
    w = small.width;
    h = small.height;
    pixels.assign(small.pixels.as<float>(), small.pixels.as<float>() + size_t(w) * h * 3);
    write_exr_rgb(dir.file("a.exr"), w, h, pixels, true);
    write_pfm(dir.file("b.pfm"), w, h, 3, pixels, true);
  }

  RenderRequest request(std::vector<std::string> inputs) {
    RenderRequest r;
    r.inputs = std::move(inputs);
    r.out_dir = dir.file("out");
    r.quiet = true;
    r.threads = 2;
    return r;
  }

  ScratchDir dir;
  int w = 0, h = 0;
  std::vector<float> pixels;
};

bool has_partial_files(const std::string &folder) {
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(folder, ec))
    if (e.path().filename().string().find(".partial") != std::string::npos) return true;
  return false;
}

}  // namespace

TEST_F(Commands, BatchGoesOnPastABrokenFileAndSaysWhichFailed) {
  write_bytes(dir.file("broken.exr"), std::string("\x76\x2f\x31\x01garbage", 11));
  Capture out, err;
  RenderRequest req = request({dir.file("a.exr"), dir.file("broken.exr"), dir.file("b.pfm")});
  req.jobs = 2;
  req.quiet = false;
  EXPECT_EQ(run_render(req, out.f, err.f), kExitSomeFailed);
  EXPECT_TRUE(fs::exists(dir.file("out/a.png")));
  EXPECT_TRUE(fs::exists(dir.file("out/b.png")));
  EXPECT_FALSE(fs::exists(dir.file("out/broken.png")));
  EXPECT_FALSE(has_partial_files(dir.file("out")));
  const std::string e = err.text();
  EXPECT_NE(e.find(dir.file("broken.exr") + ": cannot read the OpenEXR file"), std::string::npos) << e;
  EXPECT_NE(e.find("2 of 3 files rendered; failed: " + dir.file("broken.exr")), std::string::npos) << e;
  EXPECT_NE(out.text().find("a.exr -> "), std::string::npos);
  // Not a terminal: no status lines, no escape sequences.
  EXPECT_EQ(e.find('\033'), std::string::npos);
  EXPECT_EQ(out.text().find('\033'), std::string::npos);

  Capture out2, err2;
  EXPECT_EQ(run_render(request({dir.file("a.exr"), dir.file("b.pfm")}), out2.f, err2.f), kExitOk);
  EXPECT_EQ(err2.text(), "");
}

TEST_F(Commands, OutputsCarryTheirDepthAndProfile) {
  for (const OutputCase &c : kOutputCases) {
    Capture out, err;
    RenderRequest req = request({dir.file("a.exr")});
    req.out_dir.clear();
    req.output = dir.file(c.name);
    req.bits = c.bits;
    req.method = "compressor";
    ASSERT_EQ(run_render(req, out.f, err.f), kExitOk) << c.name << err.text();
    const ReadBack r = c.read(dir.file(c.name));
    EXPECT_EQ(r.width, w) << c.name;
    EXPECT_EQ(r.height, h) << c.name;
    EXPECT_EQ(r.spp, 3) << c.name;
    EXPECT_EQ(r.bits, c.bits) << c.name;
    // A float document's picture is display-encoded with the 1/2.2 power and says so.
    EXPECT_EQ(without_creation_time(r.icc), without_creation_time(primaries_profile(kRec709, 3, 2.2))) << c.name;
    EXPECT_EQ(r.samples.size(), size_t(w) * h * 3);
  }
  // 16-bit pictures use the whole range, not 8-bit values in 16-bit samples.
  const ReadBack p16 = read_png_back(dir.file("p16.png"));
  uint16_t mx = 0;
  for (uint16_t v : p16.samples) mx = std::max(mx, v);
  EXPECT_GT(mx, 4096);

  // The input's own profile travels to the output; a grey input gets a grey picture.
  std::vector<uint16_t> grey(size_t(w) * h);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = uint16_t(pixels[i * 3 + 1] * 20000.0f + 100.0f);
  const std::vector<unsigned char> grey_profile = builtin_profile(1);
  write_png(dir.file("grey.png"), w, h, 1, 16, grey.data(), grey_profile);
  Capture out, err;
  RenderRequest req = request({dir.file("grey.png")});
  req.format = "tiff";
  ASSERT_EQ(run_render(req, out.f, err.f), kExitOk) << err.text();
  const ReadBack g = read_tiff_back(dir.file("out/grey.tif"));
  EXPECT_EQ(g.spp, 1);
  EXPECT_EQ(g.icc, grey_profile);
}

TEST_F(Commands, FloatPicturesShowTheEnginesLinearResultThroughTheirProfile) {
  // A float scene of known linear values in Rec. 2020 primaries. A colour-managed viewer must
  // show each written picture as the engine's linear result seen through a linear profile of
  // those primaries (what the dialog previews): decoded through its embedded profile, every
  // sample is within 2 levels of that display value, at 8 and 16 bits, PNG, TIFF and JPEG.
  const Chromaticities rec2020{0.708f, 0.292f, 0.170f, 0.797f, 0.131f, 0.046f, 0.3127f, 0.3290f};
  const int sw = 96, sh = 64;
  std::vector<float> scene(size_t(sw) * sh * 3);
  for (int y = 0; y < sh; ++y)
    for (int x = 0; x < sw; ++x)
      for (int c = 0; c < 3; ++c)
        scene[(size_t(y) * sw + x) * 3 + c] = std::exp2(-9.0f + 11.0f * float(x) / sw) *
                                                  (c == 0   ? 1.0f
                                                   : c == 1 ? 0.8f
                                                            : 0.5f) *
                                                  (1.0f + 0.3f * float((y / 8) % 3)) +
                                              ((x / 8 + y / 8) % 5 == 0 ? 2.0f : 0.0f);
  write_exr_rgb(dir.file("scene.exr"), sw, sh, scene, false, &rec2020);
  auto doc = read_image(dir.file("scene.exr"));
  ASSERT_TRUE(doc) << doc.failure().message();
  ASSERT_TRUE(same_primaries(doc->primaries, rec2020));

  // The viewer's working space for the comparison, built here from the chromaticities alone.
  cmsCIExyY white{rec2020.white_x, rec2020.white_y, 1.0};
  cmsCIExyYTRIPLE prim{{rec2020.red_x, rec2020.red_y, 1.0},
                       {rec2020.green_x, rec2020.green_y, 1.0},
                       {rec2020.blue_x, rec2020.blue_y, 1.0}};
  cmsToneCurve *one = cmsBuildGamma(nullptr, 1.0);
  cmsToneCurve *curves[3] = {one, one, one};
  cmsHPROFILE lin = cmsCreateRGBProfile(&white, &prim, curves);
  cmsFreeToneCurve(one);
  cmsUInt32Number len = 0;
  cmsSaveProfileToMem(lin, nullptr, &len);
  std::vector<unsigned char> linear_2020(len);
  cmsSaveProfileToMem(lin, linear_2020.data(), &len);
  cmsCloseProfile(lin);

  for (const char *method : {"details", "compressor"}) {
    // The engine's linear result, as the dialog receives it with the document's profile.
    Image copy = reduce(*doc, 1);
    RenderOptions lo;
    lo.method = std::string(method) == "details" ? 1 : 2;
    lo.bits = 16;
    lo.workers = 2;
    lo.linear_float = true;
    tmparam_default(lo.method, 0, lo.param.data());
    auto linear = render(copy, lo);
    ASSERT_TRUE(linear) << linear.failure().reason;
    linear->icc = document_profile(*doc);
    const std::vector<float> want = decode_through_profile(*linear, linear_2020);
    const uint16_t *L = linear->pixels.as<uint16_t>();
    for (size_t i = 0; i < want.size(); i += 97) ASSERT_NEAR(want[i], L[i] / 65535.0f, 2e-4f) << "document profile";

    for (const OutputCase &c : kOutputCases) {
      SCOPED_TRACE(std::string(method) + " " + c.name);
      Capture out, err;
      RenderRequest req = request({dir.file("scene.exr")});
      req.out_dir.clear();
      req.output = dir.file(c.name);
      req.bits = c.bits;
      req.method = method;
      ASSERT_EQ(run_render(req, out.f, err.f), kExitOk) << err.text();
      const ReadBack r = c.read(dir.file(c.name));
      ASSERT_EQ(r.samples.size(), want.size());
      const std::vector<float> got = decode_through_profile(r, linear_2020);
      // Display levels of the picture's depth, with the allowance of the reference's own 16-bit
      // linear step (wide only in the deepest shadows).
      const double top = c.bits == 16 ? 65535.0 : 255.0;
      auto level = [&](double v) { return std::pow(std::max(v, 0.0), 1.0 / 2.2) * top; };
      double worst = 0, sum = 0;
      for (size_t i = 0; i < want.size(); ++i) {
        const double step = level((L[i] + 1) / 65535.0) - level(L[i] / 65535.0);
        const double d = std::fabs(level(got[i]) - level(L[i] / 65535.0));
        worst = std::max(worst, d - step);
        sum += std::max(0.0, d - step);
      }
      const bool jpeg = c.read == read_jpeg_back;
      // JPEG's lossy coding moves samples by a few levels around the scene's sharp edges.
      EXPECT_LE(worst, jpeg ? 24.0 : 2.0);
      EXPECT_LE(sum / double(want.size()), jpeg ? 2.0 : 0.6);
    }
  }
}

TEST_F(Commands, UnwritableDestinationsFailClearlyAndLeaveNothing) {
  write_bytes(dir.file("plain-file"), "not a folder");
  {
    Capture out, err;
    RenderRequest req = request({dir.file("a.exr")});
    req.out_dir = dir.file("plain-file/pictures");
    EXPECT_NE(run_render(req, out.f, err.f), kExitOk);
    EXPECT_NE(err.text().find("cannot use the output folder"), std::string::npos) << err.text();
  }
  {
    Capture out, err;
    RenderRequest req = request({dir.file("a.exr")});
    req.out_dir.clear();
    req.output = dir.file("plain-file/a.png");
    EXPECT_EQ(run_render(req, out.f, err.f), kExitSomeFailed);
    EXPECT_NE(err.text().find("does not exist or is not a folder"), std::string::npos) << err.text();
  }
  {
    // The picture is complete but cannot take its name (a folder holds it): the temporary
    // file must go, and the folder stays as it was.
    fs::create_directories(dir.file("out/a.png"));
    Capture out, err;
    EXPECT_EQ(run_render(request({dir.file("a.exr")}), out.f, err.f), kExitSomeFailed);
    EXPECT_NE(err.text().find("out/a.png: is a folder"), std::string::npos) << err.text();
    EXPECT_FALSE(has_partial_files(dir.file("out")));
    EXPECT_TRUE(fs::is_directory(dir.file("out/a.png")));
  }
  {
    // An existing picture is replaced whole, never truncated first.
    write_bytes(dir.file("old.png"), "previous picture");
    Capture out, err;
    RenderRequest req = request({dir.file("a.exr")});
    req.out_dir.clear();
    req.output = dir.file("old.png");
    req.bits = 16;
    req.format = "jpeg";
    EXPECT_EQ(run_render(req, out.f, err.f), kExitUsage);
    std::ifstream in(dir.file("old.png"));
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "previous picture");
  }
}

// A device node of this scratch folder (so that a faulty program cannot replace the system's
// own), or the system's where nodes cannot be made and the program cannot replace it either.
std::string device(const ScratchDir &dir, const char *name, unsigned minor) {
  const std::string own = dir.file(name);
  if (::mknod(own.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0) {
    const int fd = ::open(own.c_str(), O_WRONLY);
    if (fd >= 0) {
      ::close(fd);
      return own;
    }
  }
  return ::geteuid() != 0 ? std::string("/dev/") + name : std::string();
}

TEST_F(Commands, OutputsGoThroughLinksIntoDevicesAndNeverOverRefusals) {
  auto render_to = [&](const std::string &target, const char *format, std::string &errors) {
    Capture out, err;
    RenderRequest req = request({dir.file("a.exr")});
    req.out_dir.clear();
    req.output = target;
    req.format = format;
    req.method = "compressor";
    const int rc = run_render(req, out.f, err.f);
    errors = err.text();
    return rc;
  };
  std::string e;
  fs::create_directories(dir.file("real"));
  // A link is written through to its target, also when that does not exist yet.
  write_bytes(dir.file("real/old.png"), "previous picture");
  fs::create_symlink("real/old.png", dir.file("link.png"));
  fs::create_symlink(dir.file("real/new.png"), dir.file("dangling.png"));
  for (const char *link : {"link.png", "dangling.png"}) {
    ASSERT_EQ(render_to(dir.file(link), "", e), kExitOk) << link << ": " << e;
    EXPECT_TRUE(fs::is_symlink(dir.file(link))) << link;
  }
  EXPECT_EQ(read_png_back(dir.file("real/old.png")).width, w);
  EXPECT_EQ(read_png_back(dir.file("real/new.png")).width, w);

  // A name of 255 characters, the most a folder entry holds, leaves no room for a long
  // temporary name beside it.
  const std::string longest = dir.file(std::string(251, 'n') + ".jpg");
  EXPECT_EQ(render_to(longest, "", e), kExitOk) << e;
  EXPECT_EQ(read_jpeg_back(longest).width, w);

  // A read-only picture stays as it is.
  write_bytes(dir.file("kept.png"), "previous picture");
  fs::permissions(dir.file("kept.png"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(render_to(dir.file("kept.png"), "", e), kExitSomeFailed);
  EXPECT_NE(e.find(dir.file("kept.png") + ": the existing file is read-only"), std::string::npos) << e;
  std::ifstream kept(dir.file("kept.png"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), std::istreambuf_iterator<char>()), "previous picture");

  // A pipe nobody reads fails at once instead of waiting for a reader.
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
  EXPECT_EQ(render_to(dir.file("pipe"), "png", e), kExitSomeFailed);
  EXPECT_NE(e.find("nothing reads from this pipe"), std::string::npos) << e;
  EXPECT_EQ(fs::status(dir.file("pipe")).type(), fs::file_type::fifo);
  EXPECT_FALSE(has_partial_files(dir.path()));

  // Devices are written in place; a full one says so, for every format.
  const std::string null = device(dir, "null", 3), full = device(dir, "full", 7);
  if (null.empty() || full.empty()) GTEST_SKIP() << "no device node to write to";
  EXPECT_EQ(render_to(null, "png", e), kExitOk) << e;
  EXPECT_EQ(fs::status(null).type(), fs::file_type::character);
  for (const char *format : {"png", "tiff", "jpeg"}) {
    EXPECT_EQ(render_to(full, format, e), kExitSomeFailed) << format;
    EXPECT_NE(e.find(full + ": cannot write the "), std::string::npos) << e;
    EXPECT_NE(e.find(" file: the disk is full"), std::string::npos) << e;
    EXPECT_EQ(fs::status(full).type(), fs::file_type::character);
  }
}

TEST_F(Commands, SetRefusesUnknownNamesAndValuesOutOfRange) {
  Capture out, err;
  RenderRequest req = request({dir.file("a.exr")});
  req.sets = {"Strenght=80"};
  EXPECT_EQ(run_render(req, out.f, err.f), kExitUsage);
  const std::string e = err.text();
  EXPECT_NE(e.find("unknown setting \"Strenght\""), std::string::npos) << e;
  EXPECT_NE(e.find("valid names: Luminosity, Strength, ColorSaturation"), std::string::npos) << e;
  EXPECT_FALSE(fs::exists(dir.file("out/a.png")));

  auto a = parse_assignment(1, "Strength=101");
  ASSERT_FALSE(a);
  EXPECT_NE(a.failure().reason.find("Strength takes 1 to 100"), std::string::npos) << a.failure().reason;
  EXPECT_FALSE(parse_assignment(1, "Strength=0"));
  EXPECT_FALSE(parse_assignment(1, "Strength=eighty"));
  EXPECT_FALSE(parse_assignment(1, "Strength"));
  EXPECT_FALSE(parse_assignment(1, "WhiteClip=10.5"));
  EXPECT_FALSE(parse_assignment(1, "Gamma=3"));
  EXPECT_FALSE(parse_assignment(1, "Microsmoothing=nan"));
  // Numbers beyond double's range are numbers out of range, not text.
  for (const char *text : {"Strength=1e-400", "Smoothing=1e999", "Strength=-inf"}) {
    auto c = parse_assignment(1, text);
    ASSERT_FALSE(c) << text;
    EXPECT_NE(c.failure().reason.find("is out of range"), std::string::npos) << c.failure().reason;
  }
  EXPECT_FALSE(parse_assignment(2, "Strength=50"));  // a Details Enhancer name
  auto b = parse_assignment(2, "Brightness=11");
  ASSERT_FALSE(b);
  EXPECT_NE(b.failure().reason.find("-10 to 10"), std::string::npos);
}

TEST_F(Commands, SetStoresValuesTheWayTheDialogDoes) {
  SettingsRecipe r;
  r.method = 1;
  for (const char *s : {"strength=49.5", "ColorSaturation=49.51", "Gamma=2", "WhiteClip=0.25", "Smoothing=Very Low",
                        "Panorama360=1", "Luminosity=-3.5"}) {
    auto a = parse_assignment(1, s);
    ASSERT_TRUE(a) << s << ": " << a.failure().reason;
    r.changes.push_back(*a);
  }
  auto p = resolve(r, 0);
  ASSERT_TRUE(p);
  EXPECT_EQ((*p)[1], 49.0f);  // a fraction of exactly 0.5 rounds down
  EXPECT_EQ((*p)[2], 50.0f);
  EXPECT_EQ((*p)[8], 0.0f);  // gamma 2.0 is slider position 0
  EXPECT_EQ((*p)[3], 0.25f);
  EXPECT_EQ((*p)[16], 0.0f);  // a level word selects the five-level smoothing
  EXPECT_EQ((*p)[5], 4.0f);
  EXPECT_EQ((*p)[15], 1.0f);
  EXPECT_EQ((*p)[0], -3.5f);
  // Defaults depend on the document kind.
  SettingsRecipe d;
  EXPECT_EQ((*resolve(d, 0))[1], 70.0f);
  EXPECT_EQ((*resolve(d, 1))[1], 40.0f);
}

TEST_F(Commands, SettingsFileValuesAreHeldToTheRangesOfSet) {
  // 256 x 128 pixels: large enough for the solver to iterate (a smaller picture has no level
  // to solve). A huge Smoothing lets it iterate 2^31 - 1 times, and a huge Microcontrast
  // gives it a right-hand side it never converges on.
  auto full = read_image(std::string(BRIGHTLOOM_TEST_DATA) + "/sunset.exr");
  ASSERT_TRUE(full) << full.failure().message();
  const Image mid = reduce(*full, 4);
  write_exr_rgb(dir.file("mid.exr"), mid.width, mid.height,
                std::vector<float>(mid.pixels.as<float>(), mid.pixels.as<float>() + mid.pixel_count() * 3), true);
  // A render that hangs must fail the test, not stall the suite: it runs in a child that is
  // stopped after a minute.
  auto render_within_a_minute = [&](const std::string &settings, std::string &errors) {
    const std::string log = dir.file("render.log");
    const pid_t pid = ::fork();
    if (pid == 0) {
      FILE *err = std::fopen(log.c_str(), "w");
      RenderRequest req = request({dir.file("mid.exr")});
      req.settings_file = settings;
      const int rc = run_render(req, err, err);
      std::fclose(err);
      ::_exit(rc);
    }
    int status = -1;
    for (int i = 0; i < 600 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (::waitpid(pid, &status, WNOHANG) == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::ifstream in(log);
    errors.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  const struct {
    const char *lines;
    const char *says;
  } cases[] = {
      {"<bltm:SmoothingMode>Slider</bltm:SmoothingMode>\n<bltm:Smoothing>1e9</bltm:Smoothing>\n"
       "<bltm:Microcontrast>1e9</bltm:Microcontrast>\n",
       "Smoothing=1e+09 is out of range: Smoothing takes -10 to 10"},
      {"<bltm:Microcontrast>1e9</bltm:Microcontrast>\n", "Microcontrast=1e+09 is out of range"},
      {"<bltm:Strength>nan</bltm:Strength>\n", "Strength is not a number"},
      {"<bltm:WhiteClip>inf</bltm:WhiteClip>\n", "WhiteClip=inf is out of range: WhiteClip takes 0 to 10"},
      {"<bltm:Gamma>3.0</bltm:Gamma>\n", "Gamma=3 is out of range: Gamma takes 0.25 to 2"},
  };
  for (const auto &c : cases) {
    const std::string file = dir.file("odd.xmp");
    write_bytes(file,
                "<rdf:Description rdf:about=''\nxmlns:bltm='http://example.com/tone_mapping_settings'>\n"
                "<bltm:Version>3.2</bltm:Version>\n" +
                    std::string(c.lines) + "</rdf:Description>\n\n");
    std::string errors;
    EXPECT_EQ(render_within_a_minute(file, errors), kExitUsage) << c.says;
    EXPECT_NE(errors.find(file + ": " + c.says), std::string::npos) << errors;
    EXPECT_FALSE(fs::exists(dir.file("out/mid.png"))) << c.says;
  }
  // What the program ships and saves passes.
  for (const std::string &name : preset_names()) {
    auto path = find_preset(name);
    ASSERT_TRUE(path);
    EXPECT_TRUE(check_settings_file(*path, *probe_settings_file(*path))) << name;
  }
}

TEST_F(Commands, SettingsFilesAndPresetsChooseTheMethod) {
  float tc[20] = {};
  tmparam_default(2, 0, tc);
  tc[0] = 3.0f;
  ASSERT_EQ(write_xmp(dir.file("tc.xmp").c_str(), 2, tc), 1);
  {
    Capture out, err;
    RenderRequest req = request({dir.file("a.exr")});
    req.settings_file = dir.file("tc.xmp");
    req.quiet = false;
    EXPECT_EQ(run_render(req, out.f, err.f), kExitOk) << err.text();
    EXPECT_NE(out.text().find("Tone Compressor"), std::string::npos) << out.text();
  }
  {
    Capture out, err;
    RenderRequest req = request({dir.file("a.exr")});
    req.settings_file = dir.file("tc.xmp");
    req.method = "details";
    EXPECT_EQ(run_render(req, out.f, err.f), kExitUsage);
    EXPECT_NE(err.text().find("not for Details Enhancer"), std::string::npos) << err.text();
  }
  {
    write_bytes(dir.file("other.xmp"), "<x:xmpmeta>\n</x:xmpmeta>\n");
    Capture out, err;
    RenderRequest req = request({dir.file("a.exr")});
    req.settings_file = dir.file("other.xmp");
    EXPECT_EQ(run_render(req, out.f, err.f), kExitUsage);
    EXPECT_NE(err.text().find("does not contain tone-mapping settings"), std::string::npos) << err.text();
  }
  {
    // A device or pipe is refused before it is read (a pipe with no writer would block for ever).
    Capture out, err;
    RenderRequest req = request({dir.file("a.exr")});
    req.settings_file = "/dev/null";
    EXPECT_EQ(run_render(req, out.f, err.f), kExitUsage);
    EXPECT_NE(err.text().find("/dev/null: not a regular file"), std::string::npos) << err.text();
  }
  {
    // A settings file without a method line suits either method; Details Enhancer by default.
    write_bytes(dir.file("nomethod.xmp"),
                "<rdf:Description rdf:about=''\nxmlns:bltm='http://example.com/tone_mapping_settings'>\n"
                "<bltm:Version>3.2</bltm:Version>\n<bltm:Strength>90.0</bltm:Strength>\n</rdf:Description>\n\n");
    EXPECT_EQ(*probe_settings_file(dir.file("nomethod.xmp")), 0);
    Capture out, err;
    RenderRequest req = request({dir.file("a.exr")});
    req.settings_file = dir.file("nomethod.xmp");
    req.quiet = false;
    EXPECT_EQ(run_render(req, out.f, err.f), kExitOk) << err.text();
    EXPECT_NE(out.text().find("Details Enhancer"), std::string::npos);
  }
  const std::vector<std::string> names = preset_names();
  ASSERT_FALSE(names.empty()) << "no built-in presets found";
  auto found = find_preset(names.front());
  ASSERT_TRUE(found) << found.failure().reason;
  // The menu title finds the same file as its spelling without spaces, in any case.
  auto byTitle = find_preset("smooth skies");
  ASSERT_TRUE(byTitle) << byTitle.failure().reason;
  EXPECT_EQ(fs::path(*byTitle).filename(), "SmoothSkies.xmp");
  auto missing = find_preset("no-such-preset");
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.failure().reason.find("available: " + names.front()), std::string::npos);
}

TEST_F(Commands, OutputNamesNeverCollideOrOverwriteAnInput) {
  fs::create_directories(dir.file("other"));
  write_exr_rgb(dir.file("other/a.exr"), w, h, pixels, false);
  Capture out, err;
  EXPECT_EQ(run_render(request({dir.file("a.exr"), dir.file("other/a.exr")}), out.f, err.f), kExitOk);
  EXPECT_TRUE(fs::exists(dir.file("out/a.png")));
  EXPECT_TRUE(fs::exists(dir.file("out/a-2.png")));

  std::vector<uint8_t> rgb(size_t(w) * h * 3, 120);
  write_png(dir.file("photo.png"), w, h, 3, 8, rgb.data());
  const auto before = fs::file_size(dir.file("photo.png"));
  Capture out2, err2;
  RenderRequest req = request({dir.file("photo.png")});
  req.out_dir = dir.path();
  EXPECT_EQ(run_render(req, out2.f, err2.f), kExitSomeFailed);
  EXPECT_NE(err2.text().find("would overwrite the input"), std::string::npos) << err2.text();
  EXPECT_EQ(fs::file_size(dir.file("photo.png")), before);

  // Another input of the batch is passed over too, whichever comes first: photo.exr beside
  // photo.png must not replace photo.png before it is read.
  write_exr_rgb(dir.file("photo.exr"), w, h, pixels, false);
  Capture out3, err3;
  RenderRequest both = request({dir.file("photo.exr"), dir.file("photo.png")});
  both.out_dir = dir.path();
  EXPECT_EQ(run_render(both, out3.f, err3.f), kExitSomeFailed);
  EXPECT_EQ(fs::file_size(dir.file("photo.png")), before);
  auto kept = read_image(dir.file("photo.png"));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->pixels.data()[0], 120);
  EXPECT_TRUE(fs::exists(dir.file("photo-2.png")));
}

TEST_F(Commands, ABatchGoesOnWhenNoMoreJobThreadsCanBeCreated) {
  // Only root can run the program as another user with a process limit of one, which leaves
  // no thread to be created; elsewhere there is nothing to try.
  if (::geteuid() != 0 || std::system("command -v setpriv > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs root and setpriv";
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  if (std::system((as_nobody + "test -x " + std::string(BRIGHTLOOM_PROGRAM) + " > /dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "the program cannot be run as another user here";
  const auto all = fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all;
  fs::create_directories(dir.file("out"));
  for (const std::string &p : {dir.path(), dir.file("out"), dir.file("a.exr"), dir.file("b.pfm")})
    fs::permissions(p, all, fs::perm_options::add);
  const std::string log = dir.file("log");
  const std::string cmd = as_nobody +
                          "bash -c 'ulimit -u 1 && "
                          "ASAN_OPTIONS=detect_leaks=0 exec " +
                          std::string(BRIGHTLOOM_PROGRAM) + " render " + dir.file("a.exr") + " " + dir.file("b.pfm") +
                          " --jobs 2 --threads 1 --quiet --out-dir " + dir.file("out") + "' > " + log + " 2>&1";
  const int st = std::system(cmd.c_str());
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_TRUE(WIFEXITED(st)) << text;
  EXPECT_EQ(WEXITSTATUS(st), 0) << text;
  EXPECT_TRUE(fs::exists(dir.file("out/a.png")));
  EXPECT_TRUE(fs::exists(dir.file("out/b.png")));
}

TEST_F(Commands, LastSettingsAreRememberedAndReused) {
  Capture out, err;
  RenderRequest req = request({dir.file("a.exr")});
  req.method = "compressor";
  req.sets = {"Brightness=2.5"};
  ASSERT_EQ(run_render(req, out.f, err.f), kExitOk);
  ASSERT_TRUE(fs::exists(last_settings_path()));
  EXPECT_EQ(last_settings_path().rfind(dir.file("config/brightloom"), 0), 0u);
  float p[20] = {};
  EXPECT_EQ(parse_xmp(last_settings_path().c_str(), -1, nullptr), 2);
  EXPECT_GT(parse_xmp(last_settings_path().c_str(), 2, p), 0);
  EXPECT_EQ(p[0], 2.5f);

  Capture out2, err2;
  RenderRequest again = request({dir.file("b.pfm")});
  again.last = true;
  again.quiet = false;
  EXPECT_EQ(run_render(again, out2.f, err2.f), kExitOk) << err2.text();
  EXPECT_NE(out2.text().find("Tone Compressor"), std::string::npos);

  // A settings file kept elsewhere and linked into the config folder stays linked.
  fs::create_directories(dir.file("dotfiles"));
  fs::rename(last_settings_path(), dir.file("dotfiles/last.xmp"));
  fs::create_symlink(dir.file("dotfiles/last.xmp"), last_settings_path());
  Capture out3, err3;
  req.sets = {"Brightness=-1.5"};
  ASSERT_EQ(run_render(req, out3.f, err3.f), kExitOk) << err3.text();
  EXPECT_TRUE(fs::is_symlink(last_settings_path()));
  EXPECT_GT(parse_xmp(dir.file("dotfiles/last.xmp").c_str(), 2, p), 0);
  EXPECT_EQ(p[0], -1.5f);
}

// Every file a batch creates takes its mode from the umask, however many jobs create files at
// once: nothing may change the process-wide umask while threads run.
TEST_F(Commands, ManyJobsGiveEveryNewFileTheModeOfTheUmask) {
  std::vector<std::string> inputs;
  const std::vector<float> tiny(16 * 12 * 3, 0.5f);
  for (int i = 0; i < 160; ++i) {
    inputs.push_back(dir.file("in/" + std::to_string(i) + ".pfm"));
    if (i == 0) fs::create_directories(dir.file("in"));
    write_pfm(inputs.back(), 16, 12, 3, tiny, true);
  }
  RenderRequest req = request(inputs);
  req.jobs = 16;
  req.threads = 1;
  req.method = "compressor";
  Capture out, err;
  const mode_t saved = ::umask(077);
  const int rc = run_render(req, out.f, err.f);
  ::umask(saved);
  ASSERT_EQ(rc, kExitOk) << err.text();
  int pictures = 0, wrong = 0;
  for (const auto &e : fs::directory_iterator(dir.file("out"))) {
    ++pictures;
    if ((e.status().permissions() & fs::perms::all) != (fs::perms::owner_read | fs::perms::owner_write)) ++wrong;
  }
  EXPECT_EQ(pictures, 160);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(fs::status(last_settings_path()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(Commands, InfoDescribesTheFile) {
  Capture out, err;
  EXPECT_EQ(run_info(dir.file("a.exr"), out.f, err.f), kExitOk) << err.text();
  const std::string t = out.text();
  EXPECT_NE(t.find("size:      128 x 64 pixels"), std::string::npos) << t;
  EXPECT_NE(t.find("OpenEXR half RGB"), std::string::npos) << t;
  EXPECT_NE(t.find("float (docType 0)"), std::string::npos) << t;
  EXPECT_NE(t.find("profile:   none"), std::string::npos) << t;
  EXPECT_NE(t.find("primaries: Rec. 709/sRGB (the file names none)"), std::string::npos) << t;
  EXPECT_NE(t.find("output:    the linear result encoded with the exact 1/2.2 power"), std::string::npos) << t;
  EXPECT_NE(t.find("stops"), std::string::npos) << t;
  // Primaries a file names are shown; implausible ones are named in a warning and replaced.
  const Chromaticities p3{0.680f, 0.320f, 0.265f, 0.690f, 0.150f, 0.060f, 0.3127f, 0.3290f};
  const Chromaticities flat{0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3127f, 0.3290f};
  write_exr_rgb(dir.file("p3.exr"), w, h, pixels, true, &p3);
  write_exr_rgb(dir.file("flat.exr"), w, h, pixels, true, &flat);
  Capture o3, e3, of, ef;
  EXPECT_EQ(run_info(dir.file("p3.exr"), o3.f, e3.f), kExitOk);
  EXPECT_NE(o3.text().find("primaries: red 0.6800 0.3200, green 0.2650 0.6900, blue 0.1500 0.0600, white 0.3127 "
                           "0.3290 (the file's chromaticities attribute)"),
            std::string::npos)
      << o3.text();
  EXPECT_EQ(run_info(dir.file("flat.exr"), of.f, ef.f), kExitOk);
  EXPECT_NE(of.text().find("primaries: Rec. 709/sRGB (assumed: the file's chromaticities attribute names no usable "
                           "primaries)"),
            std::string::npos)
      << of.text();
  EXPECT_NE(ef.text().find("warning: the primaries of the file's chromaticities attribute"), std::string::npos)
      << ef.text();
  // A 16-bit document keeps its own encoding.
  std::vector<uint16_t> s16(size_t(w) * h * 3, 1000);
  write_png(dir.file("s16.png"), w, h, 3, 16, s16.data());
  Capture o16, e16;
  EXPECT_EQ(run_info(dir.file("s16.png"), o16.f, e16.f), kExitOk);
  EXPECT_EQ(o16.text().find("primaries:"), std::string::npos) << o16.text();
  EXPECT_NE(o16.text().find("output:    in the file's own encoding, tagged sRGB"), std::string::npos) << o16.text();
  Capture out2, err2;
  EXPECT_EQ(run_info(dir.file("nothing.exr"), out2.f, err2.f), kExitSomeFailed);
  EXPECT_NE(err2.text().find(dir.file("nothing.exr")), std::string::npos);
}

TEST_F(Commands, TheProgramExplainsItselfAndRejectsBadUsage) {
  const std::string prog = BRIGHTLOOM_PROGRAM;
  const std::string log = dir.file("log");
  auto run = [&](const std::string &args) {
    const int st = std::system((prog + " " + args + " > " + log + " 2>&1").c_str());
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::make_pair(WEXITSTATUS(st), text);
  };
  auto [rc, help] = run("--help");
  EXPECT_EQ(rc, 0);
  for (const char *word : {"render", "info", "demo", "Details Enhancer", "Tone Compressor"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  auto [rc2, rhelp] = run("render --help");
  EXPECT_EQ(rc2, 0);
  EXPECT_NE(rhelp.find("Strength"), std::string::npos);
  EXPECT_NE(rhelp.find("--out-dir"), std::string::npos);
  // --set takes one value, so the input after it stays an input.
  auto [rc3, t3] =
      run("render --set Strength=80 " + dir.file("a.exr") + " --set Gamma=1.2 -o " + dir.file("p.png") + " --quiet");
  EXPECT_EQ(rc3, 0) << t3;
  EXPECT_TRUE(fs::exists(dir.file("p.png")));
  // Every usage error exits 2, the parser's own as well as the program's.
  for (const char *args : {"", "render", "render x.exr --bits 12", "render x.exr --jobs 0", "render x.exr --bogus",
                           "render x.exr -o a.png --out-dir b", "render x.exr --method fast"}) {
    auto [rc5, t5] = run(args);
    EXPECT_EQ(rc5, kExitUsage) << args << ": " << t5;
  }
  // An empty output or settings name is refused, not taken as "not given".
  for (const char *opt : {"-o", "--out-dir", "--settings", "--preset"}) {
    auto [rc4, t4] = run("render " + dir.file("a.exr") + " " + opt + " '' --quiet");
    EXPECT_EQ(rc4, kExitUsage) << opt;
    EXPECT_NE(t4.find("empty"), std::string::npos) << opt << ": " << t4;
  }
  EXPECT_FALSE(fs::exists("a.png"));
}

TEST(Interrupt, RegisteredTemporariesAreRemovedWhenTheProgramIsStopped) {
  ScratchDir dir;
  const std::string folder = dir.file("work"), inside = dir.file("work/rhs"), partial = dir.file(".a.png.partial-x"),
                    kept = dir.file("kept");
  fs::create_directories(folder);
  for (const std::string &f : {inside, partial, kept}) write_bytes(f, "data");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    install_interrupt_cleanup();
    register_temp_folder(folder.c_str());
    register_temp_file(inside.c_str());
    const int slot = register_temp_file(kept.c_str());
    unregister_temp(slot);  // finished files are no longer temporary
    register_temp_file(partial.c_str());
    ::raise(SIGTERM);
    ::_exit(0);  // not reached: the signal ends the child
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_FALSE(fs::exists(inside));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_TRUE(fs::exists(kept));
}

TEST(ProgressLines, StagesShowAfterASecondAndFilesAreCounted) {
  Capture term;
  {
    Progress p(true, 2, term.f);
    p.started(0, "quick.exr");
    p.finished(0, "quick.exr -> quick.png");
    p.started(1, "slow.exr");
    p.stage(1, "solve");
    std::this_thread::sleep_for(std::chrono::milliseconds(1400));
    p.finished(1, "slow.exr -> slow.png");
  }
  const std::string t = term.text();
  EXPECT_NE(t.find("[1/2] quick.exr -> quick.png\n"), std::string::npos) << t;
  EXPECT_NE(t.find("slow.exr: solve (1 s)"), std::string::npos) << t;
  EXPECT_NE(t.find("\r\033[K[2/2] slow.exr -> slow.png\n"), std::string::npos) << t;
  EXPECT_EQ(t.find("quick.exr: "), std::string::npos) << "a file done within a second shows no stages";

  Capture quiet;
  {
    Progress p(false, 1, quiet.f);
    p.started(0, "a.exr");
    p.finished(0, "a.exr -> a.png");
  }
  EXPECT_EQ(quiet.text(), "");
}
