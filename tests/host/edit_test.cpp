// SPDX-License-Identifier: MIT
// brightloom edit with a stand-in for the dialog bundle (support/fake_dialog.cpp): what the host
// hands the dialog for each kind of document, what it does with OK and Cancel, what it keeps
// for the next run and for render --last, and how it refuses to run without a dialog.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tmlib/tmlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "commands.h"
#include "document_profile.h"
#include "edit.h"
#include "edit_state.h"
#include "support/test_images.h"

using namespace brightloom;
using namespace testing_host;
namespace fs = std::filesystem;

namespace {

uint64_t digest(const unsigned char *p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

std::string hex(uint64_t v) {
  char b[32];
  std::snprintf(b, sizeof b, "%llx", (unsigned long long)v);
  return b;
}

std::string read_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// "1 METHOD SIZE X Y W H P0..P19" for the stand-in.
std::string reply(int result, int method, const UserSettings &u, const TmParam &p) {
  std::string s = std::to_string(result) + " " + std::to_string(method) + " " + std::to_string(u.stickySizeType) + " " +
                  std::to_string(u.winX) + " " + std::to_string(u.winY) + " " + std::to_string(u.winWidth) + " " +
                  std::to_string(u.winHeight);
  char b[32];
  for (float v : p) {
    std::snprintf(b, sizeof b, " %.9g", double(v));
    s += b;
  }
  return s;
}

std::string param_line(const TmParam &p) {
  std::string s = "param";
  char b[32];
  for (float v : p) {
    std::snprintf(b, sizeof b, " %.9g", double(v));
    s += b;
  }
  return s;
}

class Edit : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    ::setenv("BRIGHTLOOM_DIALOG", FAKE_DIALOG_BUNDLE, 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("FAKE_DIALOG_LOG", dir.file("dialog.log").c_str(), 1);
    ::unsetenv("FAKE_DIALOG_REPLY");
    auto full = read_image(std::string(BRIGHTLOOM_TEST_DATA) + "/sunset.exr");
    ASSERT_TRUE(full) << full.failure().message();
    const Image small = reduce(*full, 8);
    w = small.width;
    h = small.height;
    pixels.assign(small.pixels.as<float>(), small.pixels.as<float>() + size_t(w) * h * 3);
    write_exr_rgb(dir.file("a.exr"), w, h, pixels, false);
  }

  int edit(const std::string &input, std::string *errors = nullptr, const std::string &output = "") {
    EditRequest r;
    r.input = input;
    r.output = output;
    r.quiet = true;
    Capture out, err;
    const int rc = run_edit(r, out.f, err.f);
    if (errors) *errors = err.text();
    return rc;
  }

  std::string log() { return read_text(dir.file("dialog.log")); }

  ScratchDir dir;
  int w = 0, h = 0;
  std::vector<float> pixels;
};

// Each kind of document reaches the dialog as the records say: its size, channels, kind, the
// profile the dialog must show it with, and the very samples the readers produce.
TEST_F(Edit, HandsEachKindOfDocumentOverAndCancelWritesNothing) {
  std::vector<uint16_t> s16(size_t(w) * h * 3);
  std::vector<uint8_t> s8(size_t(w) * h);
  for (size_t i = 0; i < s16.size(); ++i) s16[i] = uint16_t(std::min(65535.0f, pixels[i] * 20000.0f));
  for (size_t i = 0; i < s8.size(); ++i) s8[i] = uint8_t(std::min(255.0f, pixels[i * 3 + 1] * 120.0f));
  write_png(dir.file("b16.png"), w, h, 3, 16, s16.data());
  write_png(dir.file("c8.png"), w, h, 1, 8, s8.data());

  struct Case {
    std::string file;
    int spp, docType, bytes;
  } cases[] = {{"a.exr", 3, 0, 4}, {"b16.png", 3, 1, 2}, {"c8.png", 1, 2, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    auto img = read_image(dir.file(c.file));
    ASSERT_TRUE(img);
    const std::vector<unsigned char> icc = document_profile(*img);
    ASSERT_FALSE(icc.empty());
    std::string err;
    // (A PNG input needs another name for its picture.)
    const std::string picture = dir.file("out-" + c.file + ".png");
    EXPECT_EQ(edit(dir.file(c.file), &err, picture), kExitCancelled);
    EXPECT_NE(err.find("cancelled; nothing written"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(picture));
    const std::string got = log();
    EXPECT_NE(got.find("info " + std::to_string(w) + " " + std::to_string(h) + " " + std::to_string(c.spp) + " " +
                       std::to_string(c.docType) + " " + std::to_string(icc.size()) + "\n"),
              std::string::npos)
        << got;
    EXPECT_NE(got.find("profile " + hex(digest(icc.data(), icc.size())) + "\n"), std::string::npos) << got;
    EXPECT_NE(got.find("pixels " + hex(digest(img->pixels.data(), size_t(w) * h * c.spp * c.bytes)) + "\n"),
              std::string::npos)
        << got;
    // The first run: the dialog starts from its defaults.
    EXPECT_NE(got.find("settings 1 1 0 0 0 0\n"), std::string::npos) << got;
  }
}

// A Radiance file is read as RGBE rows; the dialog gets it as float RGB whose every pixel
// encodes back to the file's own RGBE bytes.
TEST_F(Edit, RadianceFilesReachTheDialogAsTheirOwnFloats) {
  const std::string hdr = std::string(BRIGHTLOOM_TEST_DATA) + "/sunset-pfstools.hdr";
  auto rgbe = read_image(hdr);
  ASSERT_TRUE(rgbe);
  ASSERT_EQ(rgbe->type, SampleType::RGBE);
  const int W = rgbe->width, H = rgbe->height;
  ::setenv("FAKE_DIALOG_PIXELS", dir.file("pixels").c_str(), 1);
  EXPECT_EQ(edit(hdr, nullptr, dir.file("out.png")), kExitCancelled);
  ::unsetenv("FAKE_DIALOG_PIXELS");
  EXPECT_NE(log().find("info " + std::to_string(W) + " " + std::to_string(H) + " 3 0 "), std::string::npos) << log();
  const std::string floats = read_text(dir.file("pixels"));
  ASSERT_EQ(floats.size(), size_t(W) * H * 3 * sizeof(float));
  std::vector<unsigned char> back(size_t(W) * H * 4);
  ASSERT_GE(extract_rgbe_preview(10, W, H, 3, int64_t(W) * 3, W, H, floats.data(), back.data()), 0);
  EXPECT_EQ(0, std::memcmp(back.data(), rgbe->pixels.data(), back.size()));
}

// OK: the full image rendered with the returned method and record is the picture render makes
// of the same settings, and render --last reproduces it. The next edit starts from what was
// confirmed; a Cancel keeps the record but remembers the preview size and the window.
TEST_F(Edit, OkRendersLikeRenderAndTheSettingsCarryOver) {
  TmParam chosen{};
  tmparam_default(2, 0, chosen.data());
  chosen[TMLIB_TC_BRIGHTNESS] = 3.5f;
  chosen[TMLIB_TC_SATURATION] = -2.0f;
  ::setenv("FAKE_DIALOG_REPLY", reply(1, 2, {0, 5, 0, 30, 40, 900, 700}, chosen).c_str(), 1);
  std::string err;
  ASSERT_EQ(edit(dir.file("a.exr"), &err), kExitOk) << err;
  ASSERT_TRUE(fs::exists(dir.file("a.png")));  // beside the input

  RenderRequest same;
  same.inputs = {dir.file("a.exr")};
  same.out_dir = dir.file("render");
  same.quiet = true;
  same.save_last = false;
  same.method = "compressor";
  same.sets = {"Brightness=3.5", "Saturation=-2"};
  Capture o1, e1;
  ASSERT_EQ(run_render(same, o1.f, e1.f), kExitOk) << e1.text();
  RenderRequest last;
  last.inputs = {dir.file("a.exr")};
  last.out_dir = dir.file("last");
  last.quiet = true;
  last.last = true;
  Capture o2, e2;
  ASSERT_EQ(run_render(last, o2.f, e2.f), kExitOk) << e2.text();

  const ReadBack edited = read_png_back(dir.file("a.png"));
  for (const char *other : {"render/a.png", "last/a.png"}) {
    SCOPED_TRACE(other);
    const ReadBack r = read_png_back(dir.file(other));
    EXPECT_EQ(r.samples, edited.samples);
    EXPECT_EQ(without_creation_time(r.icc), without_creation_time(edited.icc));
  }
  // Not merely the default picture.
  RenderRequest defaults = same;
  defaults.sets.clear();
  defaults.out_dir = dir.file("defaults");
  Capture o3, e3;
  ASSERT_EQ(run_render(defaults, o3.f, e3.f), kExitOk);
  EXPECT_NE(read_png_back(dir.file("defaults/a.png")).samples, edited.samples);

  // The next run starts from the confirmed records; Cancel changes only size and frame.
  fs::remove(dir.file("a.png"));
  TmParam ignored{};
  ignored.fill(7.0f);
  ::setenv("FAKE_DIALOG_REPLY", reply(0, 1, {0, 7, 0, 50, 60, 1000, 800}, ignored).c_str(), 1);
  EXPECT_EQ(edit(dir.file("a.exr")), kExitCancelled);
  EXPECT_NE(log().find("settings 2 5 30 40 900 700\n" + param_line(chosen) + "\n"), std::string::npos) << log();
  EXPECT_FALSE(fs::exists(dir.file("a.png")));
  ::unsetenv("FAKE_DIALOG_REPLY");
  EXPECT_EQ(edit(dir.file("a.exr")), kExitCancelled);
  EXPECT_NE(log().find("settings 2 7 50 60 1000 800\n" + param_line(chosen) + "\n"), std::string::npos) << log();
}

// A state file that is damaged, truncated or names what the dialog never writes is not
// trusted: a warning, the defaults, and a sound file written back.
TEST_F(Edit, DamagedStateIsIgnoredWithAWarning) {
  TmParam chosen{};
  tmparam_default(1, 0, chosen.data());
  chosen[TMLIB_DE_STRENGTH] = 80.0f;
  EditState good;
  good.settings = {1, 4, 0, 10, 20, 800, 600};
  good.param = chosen;
  const std::string path = edit_state_path();
  ASSERT_TRUE(save_edit_state(path, good));
  const std::string text = read_text(path);
  // The saved state comes back exactly.
  LoadedEditState back = load_edit_state(path);
  EXPECT_TRUE(back.warning.empty());
  EXPECT_EQ(back.state.param, chosen);
  EXPECT_EQ(back.state.settings.winWidth, 800);

  std::string nan_text = text;
  nan_text.replace(nan_text.find("param ") + 6, 0, "nan ");
  nan_text.erase(nan_text.rfind(' '));
  nan_text += "\n";
  std::string bad_method = text;
  bad_method.replace(bad_method.find("method 1"), 8, "method 9");
  for (const std::string &damaged :
       {text.substr(0, text.size() / 2), std::string("\x01\x02garbage"), nan_text, bad_method, text + "more\n"}) {
    SCOPED_TRACE(damaged);
    std::ofstream(path, std::ios::trunc) << damaged;
    std::string err;
    EXPECT_EQ(edit(dir.file("a.exr"), &err), kExitCancelled);
    EXPECT_NE(err.find("warning: the saved dialog state " + path + " is not used"), std::string::npos) << err;
    EXPECT_NE(log().find("settings 1 1 0 0 0 0\n" + param_line(TmParam{}) + "\n"), std::string::npos) << log();
    EXPECT_TRUE(load_edit_state(path).warning.empty());
  }
}

// Whatever cannot be rendered is refused before the dialog opens; a record of zeros (a dialog
// that never set up its controls) is never taken as the user's choice.
TEST_F(Edit, TooSmallImagesAreRefusedBeforeTheDialogAndZerosAreNeverTaken) {
  for (const auto &[W, H] : {std::pair{1, 1}, {5, 5}, {20000, 8}, {8, 20000}}) {
    SCOPED_TRACE(std::to_string(W) + " x " + std::to_string(H));
    const std::string in = dir.file("small.exr");
    write_exr_rgb(in, W, H, std::vector<float>(size_t(W) * H * 3, 0.5f), false);
    fs::remove(dir.file("dialog.log"));
    std::string err;
    EXPECT_EQ(edit(in, &err), kExitSomeFailed);
    EXPECT_NE(err.find("too small"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir.file("dialog.log"))) << "the dialog was opened";
  }
  ::setenv("FAKE_DIALOG_REPLY", reply(1, 1, {0, 1, 0, 0, 0, 0, 0}, TmParam{}).c_str(), 1);
  std::string err;
  EXPECT_EQ(edit(dir.file("a.exr"), &err), kExitSomeFailed);
  EXPECT_NE(err.find("nothing written"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(dir.file("a.png")));
  EXPECT_FALSE(fs::exists(last_settings_path()));
}

// The output name is checked against the input again right before the picture is written: a
// link made while the dialog was open must not let the picture replace the input.
TEST_F(Edit, AnOutputThatCameToBeTheInputMeanwhileIsRefused) {
  const std::string in = dir.file("a.exr"), out = dir.file("a.png");
  const std::string before = read_text(in);
  TmParam p{};
  tmparam_default(2, 0, p.data());
  ::setenv("FAKE_DIALOG_REPLY", reply(1, 2, {0, 1, 0, 0, 0, 0, 0}, p).c_str(), 1);
  ::setenv("FAKE_DIALOG_SYMLINK", (out + " " + in).c_str(), 1);
  std::string err;
  EXPECT_EQ(edit(in, &err, out), kExitSomeFailed);
  ::unsetenv("FAKE_DIALOG_SYMLINK");
  EXPECT_NE(err.find("would overwrite the input"), std::string::npos) << err;
  EXPECT_EQ(read_text(in), before);
  EXPECT_TRUE(fs::is_symlink(out));
}

// A config folder that cannot be made is named with its own reason, not as a missing file.
TEST_F(Edit, AConfigFolderThatCannotBeMadeIsNamedWithItsReason) {
  // A read-only folder stops anyone but root; nobody may make folders in /sys.
  std::string config = dir.file("locked");
  fs::create_directories(config);
  fs::permissions(config, fs::perms::owner_read | fs::perms::owner_exec);
  if (::geteuid() == 0) config = "/sys/brightloom-test-config";
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  std::string err;
  EXPECT_EQ(edit(dir.file("a.exr"), &err), kExitCancelled);
  fs::permissions(dir.file("locked"), fs::perms::owner_all);
  EXPECT_NE(err.find("cannot create the folder " + config + "/brightloom: "), std::string::npos) << err;
  EXPECT_EQ(err.find("No such file or directory"), std::string::npos) << err;
}

// The state is replaced as the settings files are: a state file kept elsewhere and linked into
// the config folder stays linked, and a new one is an ordinary file of the user's umask.
TEST_F(Edit, TheStateFollowsALinkAndTakesTheUmask) {
  const std::string path = edit_state_path();
  const mode_t saved = ::umask(022);
  const Status first = save_edit_state(path, EditState{});
  ::umask(saved);
  ASSERT_TRUE(first) << first.failure().message();
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);

  fs::create_directories(dir.file("dotfiles"));
  fs::rename(path, dir.file("dotfiles/edit-state"));
  fs::create_symlink(dir.file("dotfiles/edit-state"), path);
  EditState chosen;
  chosen.settings.winWidth = 640;
  ASSERT_TRUE(save_edit_state(path, chosen));
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(load_edit_state(dir.file("dotfiles/edit-state")).state.settings.winWidth, 640);
}

// Without a usable dialog edit says what is missing and points to render; it never writes a
// picture nor takes a record the dialog cannot have written.
TEST_F(Edit, RefusesWithoutADialogAndNamesWhatIsMissing) {
  std::string err;
  ::setenv("BRIGHTLOOM_DIALOG", dir.file("nowhere/libBrightloomFilter.so").c_str(), 1);
  EXPECT_EQ(edit(dir.file("a.exr"), &err), kExitSomeFailed);
  EXPECT_NE(err.find("cannot find the dialog bundle"), std::string::npos) << err;
  EXPECT_NE(err.find(dir.file("nowhere/libBrightloomFilter.so")), std::string::npos) << err;
  EXPECT_NE(err.find("brightloom render " + dir.file("a.exr")), std::string::npos) << err;

  write_bytes(dir.file("broken.so"), "not a library");
  ::setenv("BRIGHTLOOM_DIALOG", dir.file("broken.so").c_str(), 1);
  EXPECT_EQ(edit(dir.file("a.exr"), &err), kExitSomeFailed);
  EXPECT_NE(err.find(dir.file("broken.so") + ": the dialog bundle cannot be loaded"), std::string::npos) << err;

  ::setenv("BRIGHTLOOM_DIALOG", FAKE_DIALOG_BUNDLE, 1);
  ::unsetenv("QT_QPA_PLATFORM");
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  EXPECT_EQ(edit(dir.file("a.exr"), &err), kExitSomeFailed);
  EXPECT_NE(err.find("no display"), std::string::npos) << err;
  EXPECT_NE(err.find("brightloom render"), std::string::npos) << err;
  // A display that is not there (left behind by a closed session) is found before Qt would abort.
  ::setenv("DISPLAY", ":987", 1);
  EXPECT_EQ(edit(dir.file("a.exr"), &err), kExitSomeFailed);
  EXPECT_NE(err.find("cannot connect to the display :987"), std::string::npos) << err;
  ::unsetenv("DISPLAY");
  // So is a Wayland display with no compositor behind it (Qt would abort on it too).
  const bool had_runtime = std::getenv("XDG_RUNTIME_DIR") != nullptr;
  const std::string kept_runtime = had_runtime ? std::getenv("XDG_RUNTIME_DIR") : "";
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  ::setenv("WAYLAND_DISPLAY", "wayland-99", 1);
  EXPECT_EQ(edit(dir.file("a.exr"), &err), kExitSomeFailed);
  EXPECT_NE(err.find("cannot connect to the Wayland display wayland-99"), std::string::npos) << err;
  ::unsetenv("WAYLAND_DISPLAY");
  if (had_runtime)
    ::setenv("XDG_RUNTIME_DIR", kept_runtime.c_str(), 1);
  else
    ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

  // A record no dialog writes (an unknown method, a NaN) is refused, and not remembered.
  TmParam p{};
  tmparam_default(1, 0, p.data());
  ::setenv("FAKE_DIALOG_REPLY", reply(1, 7, {0, 1, 0, 0, 0, 0, 0}, p).c_str(), 1);
  EXPECT_EQ(edit(dir.file("a.exr"), &err), kExitSomeFailed);
  EXPECT_NE(err.find("nothing written"), std::string::npos) << err;
  p[3] = NAN;
  ::setenv("FAKE_DIALOG_REPLY", reply(1, 1, {0, 1, 0, 0, 0, 0, 0}, p).c_str(), 1);
  EXPECT_EQ(edit(dir.file("a.exr"), &err), kExitSomeFailed);
  EXPECT_FALSE(fs::exists(dir.file("a.png")));
  EXPECT_EQ(load_edit_state(edit_state_path()).state.param, TmParam{});
  EXPECT_FALSE(fs::exists(last_settings_path()));
}

}  // namespace
