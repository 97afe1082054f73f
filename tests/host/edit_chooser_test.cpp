// SPDX-License-Identifier: MIT
// brightloom edit without a file, as the desktop menu starts it, in a real window (Xvfb), driven
// from the keyboard (xdotool): the open chooser, the dialog, the save chooser, the picture where
// the user put it; the folders remembered for the next run; Cancel in either chooser writes
// nothing. Skipped, saying why, where Xvfb or xdotool is missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "edit_choosers.h"
#include "session.h"
#include "support/test_images.h"

using namespace brightloom;
using namespace brightloom_test;
namespace fs = std::filesystem;

namespace {

class Session {
 public:
  Session(const ScratchDir &dir, const Xvfb &x) : dir_(dir), x_(x) {
    std::ofstream(dir.file("lsan.supp")) << "leak:libfontconfig.so\nleak:libdbus-1.so\n";
  }
  // Starts `brightloom edit` with no file.
  std::unique_ptr<Child> start(const std::string &log) const {
    return std::make_unique<Child>(
        std::vector<std::string>{BRIGHTLOOM_PROGRAM, "edit"},
        std::vector<std::string>{"DISPLAY=" + x_.display(), "QT_QPA_PLATFORM=xcb", "BRIGHTLOOM_DIALOG=" DIALOG_BUNDLE,
                                 "XDG_CONFIG_HOME=" + dir_.file("config"), "XDG_DATA_HOME=" + dir_.file("data"),
                                 "LSAN_OPTIONS=suppressions=" + dir_.file("lsan.supp")},
        log);
  }
  // Waits for a window whose title holds `title`, focuses it and sends it xdotool commands
  // ("key Return", "type text") a moment apart, as a user types: a Return right behind a typed
  // name would reach the chooser's name completion, not the chooser. False when the window
  // never appeared.
  bool send(const std::string &title, const std::vector<std::string> &commands) const {
    const std::string env = "DISPLAY=" + x_.display() + " ";
    const std::string id =
        shell(env + "timeout 90 xdotool search --sync --onlyvisible --name '" + title + "' | head -1");
    if (id.empty()) return false;
    shell(env + "xdotool windowfocus --sync " + id.substr(0, id.find('\n')));
    for (const std::string &c : commands) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      shell(env + "xdotool " + c);
    }
    return true;
  }

 private:
  const ScratchDir &dir_;
  const Xvfb &x_;
};

std::vector<std::string> names_in(const std::string &folder) {
  std::vector<std::string> out;
  for (const auto &e : fs::directory_iterator(folder)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(EditChoosers, WithoutAFileTheChoosersAskAndThePictureGoesWhereChosenAndTheFoldersAreRemembered) {
  if (!have_tool("Xvfb") || !have_tool("xdotool"))
    GTEST_SKIP() << "Xvfb or xdotool is not installed (scripts/install-deps.sh installs xvfb and xdotool); "
                    "the file choosers of brightloom edit were not tried";
  ScratchDir dir;
  fs::create_directories(dir.file("shots"));
  fs::create_directories(dir.file("out"));
  std::vector<float> px(64 * 48 * 3);
  for (size_t i = 0; i < px.size(); ++i) px[i] = 0.01f + float(i % 192) * float(i / 192) / 300.0f;
  testing_host::write_exr_rgb(dir.file("shots/a.exr"), 64, 48, px, false);
  Xvfb x;
  ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
  const Session s(dir, x);
  const std::string open = "Open an HDR image", dialog = "Brightloom Tone Mapping", save = "Save the picture";

  {  // First run: the image by its full name; the picture somewhere else, as a TIFF by its name.
    auto edit = s.start(dir.file("1.log"));
    ASSERT_TRUE(s.send(open, {"type --delay 20 '" + dir.file("shots/a.exr") + "'", "key Return"}))
        << slurp(dir.file("1.log"));
    ASSERT_TRUE(s.send(dialog, {"key Return"})) << slurp(dir.file("1.log"));
    ASSERT_TRUE(s.send(save, {"key ctrl+a", "type --delay 20 '" + dir.file("out/chosen.tif") + "'", "key Return"}))
        << slurp(dir.file("1.log"));
    ASSERT_EQ(edit->wait(120), 0) << slurp(dir.file("1.log"));
  }
  const std::string tif = slurp(dir.file("out/chosen.tif"));
  ASSERT_GT(tif.size(), 8u);
  EXPECT_TRUE(tif.rfind("II*", 0) == 0 || tif.rfind("MM", 0) == 0) << "not a TIFF";
  EXPECT_EQ(names_in(dir.file("shots")), std::vector<std::string>{"a.exr"}) << "nothing is written beside the image";
  const ChooserFolders remembered = load_chooser_folders(dir.file("config/brightloom/chooser-folders"));
  EXPECT_EQ(remembered.open, dir.file("shots"));
  EXPECT_EQ(remembered.save, dir.file("out"));

  {  // Second run: the open chooser starts in the image's folder, the save chooser proposes
     // render's name in the folder saved to last.
    auto edit = s.start(dir.file("2.log"));
    ASSERT_TRUE(s.send(open, {"type --delay 20 a.exr", "key Return"})) << slurp(dir.file("2.log"));
    ASSERT_TRUE(s.send(dialog, {"key Return"})) << slurp(dir.file("2.log"));
    ASSERT_TRUE(s.send(save, {"key Return"})) << slurp(dir.file("2.log"));
    ASSERT_EQ(edit->wait(120), 0) << slurp(dir.file("2.log"));
  }
  EXPECT_EQ(slurp(dir.file("out/a.png")).substr(0, 4), "\x89PNG");

  {  // Cancel in the save chooser after OK in the dialog: nothing written.
    auto edit = s.start(dir.file("3.log"));
    ASSERT_TRUE(s.send(open, {"type --delay 20 a.exr", "key Return"})) << slurp(dir.file("3.log"));
    ASSERT_TRUE(s.send(dialog, {"key Return"})) << slurp(dir.file("3.log"));
    ASSERT_TRUE(s.send(save, {"key Escape"})) << slurp(dir.file("3.log"));
    EXPECT_EQ(edit->wait(120), kExitCancelled) << slurp(dir.file("3.log"));
  }
  {  // Cancel in the open chooser: no dialog, nothing written.
    auto edit = s.start(dir.file("4.log"));
    ASSERT_TRUE(s.send(open, {"key Escape"})) << slurp(dir.file("4.log"));
    EXPECT_EQ(edit->wait(60), kExitCancelled) << slurp(dir.file("4.log"));
  }
  EXPECT_EQ(names_in(dir.file("out")), (std::vector<std::string>{"a.png", "chosen.tif"}));
  EXPECT_EQ(names_in(dir.file("shots")), std::vector<std::string>{"a.exr"});
}

}  // namespace
