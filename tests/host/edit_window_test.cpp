// SPDX-License-Identifier: MIT
// brightloom edit in a real window: an X server of its own (Xvfb), the program started as a
// user starts it, the dialog looked at in a screenshot and tuned and confirmed from the keyboard (xdotool).
// Skipped, saying why, where Xvfb or xdotool is missing (scripts/install-deps.sh installs both).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <tmlib/tmlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "commands.h"
#include "edit_state.h"
#include "session.h"
#include "support/test_images.h"

using namespace brightloom;
using namespace testing_host;
using namespace brightloom_test;
namespace fs = std::filesystem;

namespace {

uint32_t be32(const unsigned char *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The rectangle (x, y, w, h) of the screen in an Xvfb XWD file (32-bit pixels), as RGB bytes.
std::vector<unsigned char> screen_rect(const std::string &xwd, int x, int y, int w, int h) {
  std::ifstream in(xwd, std::ios::binary);
  std::vector<unsigned char> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<unsigned char> rgb;
  if (f.size() < 100) return rgb;
  const uint32_t header = be32(&f[0]), width = be32(&f[16]), height = be32(&f[20]), byte_order = be32(&f[28]),
                 bpp = be32(&f[44]), stride = be32(&f[48]), ncolors = be32(&f[76]);
  const size_t data = size_t(header) + size_t(ncolors) * 12;
  if (bpp != 32 || x < 0 || y < 0 || uint32_t(x + w) > width || uint32_t(y + h) > height ||
      data + size_t(stride) * height > f.size())
    return rgb;
  for (int j = y; j < y + h; ++j)
    for (int i = x; i < x + w; ++i) {
      const unsigned char *p = &f[data + size_t(j) * stride + size_t(i) * 4];
      const uint32_t v = byte_order == 0 ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 : be32(p);
      rgb.push_back((unsigned char)(v >> 16));
      rgb.push_back((unsigned char)(v >> 8));
      rgb.push_back((unsigned char)v);
    }
  return rgb;
}

TEST(EditWindow, ConfirmedInARealWindowWritesThePicture) {
  if (!have_tool("Xvfb") || !have_tool("xdotool"))
    GTEST_SKIP() << "Xvfb or xdotool is not installed (scripts/install-deps.sh installs xvfb and xdotool); "
                    "the real-window test of brightloom edit did not run";
  ScratchDir dir;
  ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
  auto full = read_image(std::string(BRIGHTLOOM_TEST_DATA) + "/sunset.exr");
  ASSERT_TRUE(full) << full.failure().message();
  const Image small = reduce(*full, 4);
  std::vector<float> px(small.pixels.as<float>(), small.pixels.as<float>() + size_t(small.width) * small.height * 3);
  write_exr_rgb(dir.file("a.exr"), small.width, small.height, px, false);
  // The record an earlier edit confirmed: Strength 80, which the dialog starts from.
  EditState before;
  tmparam_default(1, 0, before.param.data());
  before.param[TMLIB_DE_STRENGTH] = 80.0f;
  ASSERT_TRUE(save_edit_state(edit_state_path(), before));

  fs::create_directories(dir.file("fb"));
  Xvfb x(dir.file("fb"));
  ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
  const std::string env = "DISPLAY=" + x.display() + " ";

  // The system libraries a real display brings in keep caches for the life of the process
  // (fontconfig, D-Bus) that are never freed; leak detection stays on for everything else.
  std::ofstream(dir.file("lsan.supp")) << "leak:libfontconfig.so\nleak:libdbus-1.so\n";
  const std::string lsan = "suppressions=" + dir.file("lsan.supp");

  const pid_t edit = ::fork();
  if (edit == 0) {
    ::setenv("DISPLAY", x.display().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("BRIGHTLOOM_DIALOG", DIALOG_BUNDLE, 1);
    ::setenv("LSAN_OPTIONS", lsan.c_str(), 1);
    const std::string log = dir.file("edit.log");
    std::freopen(log.c_str(), "w", stdout);
    std::freopen(log.c_str(), "a", stderr);
    ::execl(BRIGHTLOOM_PROGRAM, BRIGHTLOOM_PROGRAM, "edit", dir.file("a.exr").c_str(), static_cast<char *>(nullptr));
    ::_exit(127);
  }
  int st = 0;
  const std::string id =
      shell(env + "timeout 90 xdotool search --sync --onlyvisible --name 'Brightloom Tone Mapping' | head -1", &st);
  if (id.empty()) {
    wait_for(edit, 1);
    FAIL() << "the dialog's window never appeared; edit said:\n" << std::ifstream(dir.file("edit.log")).rdbuf();
  }
  const std::string wid = id.substr(0, id.find('\n'));
  // Give the window time to paint its first preview.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const std::string geometry = shell(env + "xdotool getwindowgeometry --shell " + wid);
  int gx = -1, gy = -1, gw = 0, gh = 0;
  std::sscanf(geometry.c_str() + geometry.find("X="), "X=%d", &gx);
  std::sscanf(geometry.c_str() + geometry.find("Y="), "Y=%d", &gy);
  std::sscanf(geometry.c_str() + geometry.find("WIDTH="), "WIDTH=%d", &gw);
  std::sscanf(geometry.c_str() + geometry.find("HEIGHT="), "HEIGHT=%d", &gh);
  const std::vector<unsigned char> shot = screen_rect(dir.file("fb/Xvfb_screen0"), gx, gy, gw, gh);
  ASSERT_FALSE(shot.empty()) << geometry;
  // Kept beside the test for a person to look at.
  write_png(SCREENSHOT, gw, gh, 3, 8, shot.data());
  // A painted dialog with a tone-mapped preview has many colours; an empty window has a few.
  std::set<uint32_t> colours;
  for (size_t i = 0; i + 2 < shot.size(); i += 3)
    colours.insert(uint32_t(shot[i]) << 16 | shot[i + 1] << 8 | shot[i + 2]);
  EXPECT_GT(colours.size(), 500u) << "see " << SCREENSHOT;

  // Move the Strength slider from the keyboard as a user without a mouse does: the eighth Tab
  // stop of the dialog (after the preview button, the size stepper and its field, the preset
  // menu, the scroll view, the method tabs and the Tone box's disclosure button) is that slider,
  // and Page Down moves it a page of 10 (twice, so that it does not land on the default 70).
  // The pause lets the preview catch up before OK.
  std::string keys = "xdotool windowfocus --sync " + wid + " key --delay 100";
  for (int i = 0; i < 8; ++i) keys += " Tab";
  shell(env + keys + " Page_Down Page_Down");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  // OK is the dialog's default button: Return confirms.
  shell(env + "xdotool key Return");
  const int rc = wait_for(edit, 120);
  ASSERT_EQ(rc, 0) << std::ifstream(dir.file("edit.log")).rdbuf();
  ASSERT_TRUE(fs::exists(dir.file("a.png")));

  // The confirmed record is the sticky one with Strength moved down and nothing else changed.
  const LoadedEditState after = load_edit_state(edit_state_path());
  ASSERT_TRUE(after.warning.empty()) << after.warning;
  const float strength = after.state.param[TMLIB_DE_STRENGTH];
  EXPECT_EQ(strength, 60.0f) << "is the eighth Tab stop still the Strength slider?";
  for (int slot = 0; slot < 20; ++slot) {
    if (slot == TMLIB_DE_STRENGTH) continue;
    EXPECT_EQ(after.state.param[slot], before.param[slot]) << "slot " << slot;
  }

  RenderRequest req;
  req.inputs = {dir.file("a.exr")};
  req.quiet = true;
  req.save_last = false;
  req.out_dir = dir.file("moved");
  req.sets = {"Strength=60"};
  ASSERT_EQ(run_render(req), kExitOk);
  req.out_dir = dir.file("defaults");
  req.sets.clear();
  ASSERT_EQ(run_render(req), kExitOk);
  const ReadBack edited = read_png_back(dir.file("a.png"));
  EXPECT_EQ(edited.samples, read_png_back(dir.file("moved/a.png")).samples);
  EXPECT_NE(edited.samples, read_png_back(dir.file("defaults/a.png")).samples);
}

}  // namespace
