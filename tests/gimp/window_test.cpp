// SPDX-License-Identifier: MIT
// The plug-in inside GIMP as a user has it: GIMP with its windows on an X server of the test's own
// (Xvfb), driven with key presses (xdotool). One GIMP start serves two checks:
// - the filter's write-back is one undo step: after a scripted run on a float OpenEXR, one Ctrl+Z
//   in the image window brings back the layer exactly as it was loaded;
// - the interactive run: the real dialog (the bundle) opens over GIMP, starts from the settings of
//   the run before and, confirmed with Return, tone-maps the layer as `brightloom render` does.
// GIMP's procedure database has no undo call, hence the real window. Skipped, with GIMP's log,
// only where Xvfb, xdotool or GIMP is missing or cannot start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "image.h"
#include "session.h"
#include "support/gimp_run.h"

using namespace brightloom;
using namespace brightloom_test;
namespace fs = std::filesystem;

namespace {

// The test's share of `make test`: GIMP's start, two renders and the dialog take some 20 s.
constexpr double kDeadlineSeconds = 80;

// The pipe the batch script waits on between the undo and the dialog; closed at the end.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

TEST(GimpWindow, UndoRestoresTheLayerAndTheDialogTonesIt) {
  if (std::string(BRIGHTLOOM_GIMP_PLUGINS).empty())
    GTEST_SKIP() << "the GIMP plug-in was not built (libgimp2.0-dev missing: run scripts/install-deps.sh)";
  if (!have_tool("gimp-2.10") || !have_tool("Xvfb") || !have_tool("xdotool"))
    GTEST_SKIP() << "gimp-2.10, Xvfb or xdotool is not installed (scripts/install-deps.sh installs gimp, xvfb and "
                    "xdotool); the undo step and the interactive run in GIMP were not tested";

  const ScratchDir dir;
  const std::string in = std::string(BRIGHTLOOM_TEST_DATA) + "/city.exr";
  const std::string profile = gimp_test::private_profile(dir.file("gimpdir"), BRIGHTLOOM_GIMP_PLUGINS);
  // The script reads one character from this pipe once the test has pressed Ctrl+Z and seen the
  // image clean again; the test holds it open for reading and writing, so that neither side's
  // open blocks and a script that never gets there leaves the test waiting on nothing.
  ASSERT_EQ(::mkfifo(dir.file("go").c_str(), 0600), 0) << std::strerror(errno);
  Fd go{::open(dir.file("go").c_str(), O_RDWR)};
  ASSERT_GE(go.fd, 0) << std::strerror(errno);

  // The image is marked clean after loading so that the window's title shows the filter's change
  // ("*city.exr-1.0 …") and its undoing ("city.exr-1.0 …"). The layer is exported before the
  // filter, after it, after Ctrl+Z, and after the dialog.
  std::ofstream(dir.file("run.scm"))
      << "(define (bl-export image drawable name)\n"
         "  (file-tiff-save RUN-NONINTERACTIVE image drawable name name 0))\n"
         "(let* ((in \""
      << in
      << "\")\n"
         "       (image (car (gimp-file-load RUN-NONINTERACTIVE in in)))\n"
         "       (drawable (car (gimp-image-get-active-drawable image))))\n"
         "  (gimp-image-clean-all image)\n"
         "  (bl-export image drawable \""
      << dir.file("original.tif")
      << "\")\n"
         "  (plug-in-brightloom RUN-NONINTERACTIVE image drawable \"details\" \"Natural\" \"\" \"Strength=80\")\n"
         "  (bl-export image drawable \""
      << dir.file("filtered.tif")
      << "\")\n"
         "  (gimp-display-new image)\n"
         "  (gimp-displays-flush)\n"
         "  (let ((go (open-input-file \""
      << dir.file("go")
      << "\")))\n"
         "    (read-char go)\n"
         "    (close-input-port go))\n"
         "  (bl-export image drawable \""
      << dir.file("undone.tif")
      << "\")\n"
         "  (plug-in-brightloom RUN-INTERACTIVE image drawable \"\" \"\" \"\" \"\")\n"
         "  (bl-export image drawable \""
      << dir.file("dialog.tif") << "\"))\n";

  Xvfb x;
  if (x.display().empty()) GTEST_SKIP() << "Xvfb did not start; the undo step and the interactive run were not tested";
  const std::string env = "DISPLAY=" + x.display() + " ";
  fs::create_directories(dir.file("home"));
  fs::create_directories(dir.file("runtime"));
  fs::permissions(dir.file("runtime"), fs::perms::owner_all);
  const std::string log = dir.file("gimp.log");
  const auto start = std::chrono::steady_clock::now();
  // Seconds left of the test's budget, for each wait in turn.
  auto left = [&] {
    const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return std::max(1, int(kDeadlineSeconds - spent));
  };
  auto timeout = [](int seconds) { return "timeout " + std::to_string(seconds) + " "; };
  // -c: GIMP's messages go to the log, not to message windows nobody would see. The plug-in runs
  // under the sanitizers of the test build; the dialog is a Qt window on the same display.
  Child gimp({"gimp-2.10", "--new-instance", "--no-splash", "--no-data", "--no-fonts", "--console-messages", "-b",
              "(load \"" + dir.file("run.scm") + "\")", "-b", "(gimp-quit 1)"},
             {"DISPLAY=" + x.display(), "GIMP2_DIRECTORY=" + profile, "HOME=" + dir.file("home"),
              "XDG_CONFIG_HOME=" + dir.file("home/config"), "XDG_DATA_HOME=" + dir.file("home/data"),
              "XDG_RUNTIME_DIR=" + dir.file("runtime"), "QT_QPA_PLATFORM=xcb", "NO_AT_BRIDGE=1",
              "ASAN_OPTIONS=detect_leaks=0"},
             log);
  ASSERT_TRUE(gimp.started());

  // The image window, once the scripted run has changed the layer.
  const std::string image_window =
      shell(env + timeout(left()) + "xdotool search --sync --onlyvisible --name 'city\\.exr-' | head -1");
  if (image_window.empty()) {
    // Without the export made before the filter, GIMP never got as far as the script.
    if (!fs::exists(dir.file("original.tif")))
      GTEST_SKIP() << "GIMP could not start on Xvfb; the undo step and the interactive run were not tested. GIMP "
                      "said:\n"
                   << slurp(log);
    FAIL() << "GIMP ran the script but its image window never appeared:\n" << slurp(log);
  }
  const std::string wid = image_window.substr(0, image_window.find('\n'));
  const std::string title = shell(env + "xdotool getwindowname " + wid);
  EXPECT_EQ(title.rfind('*', 0), 0u) << "the filter left the image unchanged in GIMP's eyes: " << title;

  // One Ctrl+Z, never repeated: a second one would hide a write-back made of two undo steps.
  shell(env + timeout(10) + "xdotool windowfocus --sync " + wid + " key ctrl+z");
  const std::string clean = shell(env + timeout(std::min(left(), 15)) +
                                  "xdotool search --sync --onlyvisible --name '^city\\.exr-' | head -1");
  EXPECT_FALSE(clean.empty()) << "after one Ctrl+Z the image is still modified: "
                              << shell(env + "xdotool getwindowname " + wid);
  ASSERT_EQ(::write(go.fd, "g\n", 2), 2);

  // The dialog, over GIMP; it starts from the settings of the run before ("Natural", Strength 80),
  // and OK, its default button, takes Return.
  const std::string dialog =
      shell(env + timeout(left()) + "xdotool search --sync --onlyvisible --name 'Brightloom Tone Mapping' | head -1");
  ASSERT_FALSE(dialog.empty()) << "the dialog never appeared:\n" << slurp(log);
  shell(env + timeout(10) + "xdotool windowfocus --sync " + dialog.substr(0, dialog.find('\n')) + " key Return");
  const int rc = gimp.wait(left());
  ASSERT_EQ(rc, 0) << (rc < 0 ? "GIMP did not finish the script in time" : "GIMP failed") << ":\n" << slurp(log);
  ASSERT_EQ(slurp(log).find("batch command experienced"), std::string::npos) << slurp(log);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const std::string render = "XDG_CONFIG_HOME='" + dir.file("config") + "' '" + BRIGHTLOOM_PROGRAM + "' render '" + in +
                             "' --preset Natural --set Strength=80 --bits 16 -q -o '" + dir.file("cli.tif") + "'";
  ASSERT_EQ(std::system(render.c_str()), 0) << render;

  auto original = read_image(dir.file("original.tif")), filtered = read_image(dir.file("filtered.tif"));
  auto undone = read_image(dir.file("undone.tif")), confirmed = read_image(dir.file("dialog.tif"));
  auto program = read_image(dir.file("cli.tif"));
  ASSERT_TRUE(original && filtered && undone && confirmed && program) << slurp(log);
  for (const Image *img : {&*filtered, &*undone, &*confirmed}) {
    ASSERT_EQ(img->type, SampleType::F32);
    ASSERT_EQ(img->spp, 3);
    ASSERT_EQ(img->width, original->width);
    ASSERT_EQ(img->height, original->height);
  }
  ASSERT_EQ(program->width, original->width);
  ASSERT_EQ(program->height, original->height);

  EXPECT_GT(gimp_test::compare(*filtered, *original).worst, 10.0) << "the scripted run did not change the layer";
  ASSERT_EQ(undone->pixels.size(), original->pixels.size());
  EXPECT_EQ(std::memcmp(undone->pixels.data(), original->pixels.data(), original->pixels.size()), 0)
      << "Ctrl+Z did not bring back the layer as it was loaded (worst difference "
      << gimp_test::compare(*undone, *original).worst << " levels)";
  const double scripted = gimp_test::compare(*filtered, *program).worst;
  const double interactive = gimp_test::compare(*confirmed, *program).worst;
  EXPECT_LE(scripted, 2.0) << "the scripted run against `brightloom render` with the same settings";
  EXPECT_LE(interactive, 2.0) << "the dialog's result against `brightloom render` with its starting settings";
  std::printf("GIMP on Xvfb: %.1f s; scripted run %.2f levels, dialog %.2f levels from the program\n", seconds,
              scripted, interactive);
}
