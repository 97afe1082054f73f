// SPDX-License-Identifier: MIT
// The plug-in inside a real, headless GIMP: a float OpenEXR and a 16-bit TIFF of the data folder
// tone-mapped with "Natural" by a batch script, exported, and compared with `brightloom render`
// of the same settings once both are displayed. The 16-bit run has a selection over the left
// half: the result lands inside it and the rest of the layer keeps its pixels; a third run with
// the last values repeats those settings. One GIMP start serves all three runs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "image.h"
#include "session.h"
#include "support/gimp_run.h"

using namespace brightloom;
using namespace brightloom_test;
using gimp_test::compare;
namespace fs = std::filesystem;

TEST(GimpHeadless, NaturalMatchesTheProgramAndASelectionLimitsTheResult) {
  if (std::string(BRIGHTLOOM_GIMP_PLUGINS).empty())
    GTEST_SKIP() << "the GIMP plug-in was not built (libgimp2.0-dev missing: run scripts/install-deps.sh)";
  if (!have_tool("gimp-console-2.10"))
    GTEST_SKIP() << "gimp-console-2.10 is not installed (run scripts/install-deps.sh)";

  const fs::path data = BRIGHTLOOM_TEST_DATA;
  const ScratchDir scratch;
  const fs::path dir = scratch.path();
  const std::string profile = gimp_test::private_profile(scratch.file("gimpdir"), BRIGHTLOOM_GIMP_PLUGINS);
  const fs::path exr_out = dir / "gimp-exr.tif", tif_out = dir / "gimp-16.tif", last_out = dir / "gimp-last.tif";
  std::ofstream(dir / "run.scm")
      << "(define (bl-run in out select last)\n"
         "  (let* ((image (car (gimp-file-load RUN-NONINTERACTIVE in in)))\n"
         "         (drawable (car (gimp-image-get-active-drawable image))))\n"
         "    (if select (gimp-image-select-rectangle image CHANNEL-OP-REPLACE 0 0 512 512))\n"
         "    (if last\n"
         "      (plug-in-brightloom RUN-WITH-LAST-VALS image drawable \"\" \"\" \"\" \"\")\n"
         "      (plug-in-brightloom RUN-NONINTERACTIVE image drawable \"details\" \"Natural\" \"\" \"\"))\n"
         "    (file-tiff-save RUN-NONINTERACTIVE image drawable out out 0)\n"
         "    (gimp-image-delete image)))\n"
         "(bl-run \""
      << (data / "city.exr").string() << "\" \"" << exr_out.string() << "\" #f #f)\n(bl-run \""
      << (data / "city-16bit.tif").string() << "\" \"" << tif_out.string()
      << "\" #t #f)\n"
      // Repeat: the last values are the "Natural" record of the run before.
      << "(bl-run \"" << (data / "city-16bit.tif").string() << "\" \"" << last_out.string() << "\" #f #t)\n";

  const fs::path log = dir / "gimp.log";
  const std::string cmd = "cd '" + dir.string() + "' && GIMP2_DIRECTORY='" + profile +
                          "' ASAN_OPTIONS=detect_leaks=0 timeout 300 gimp-console-2.10 -i -d -f -b '(load \"" +
                          (dir / "run.scm").string() + "\")' -b '(gimp-quit 0)' >'" + log.string() + "' 2>&1";
  const int rc = std::system(cmd.c_str());
  const std::string out = slurp(log.string());
  // GIMP reports every batch command; without either line it never got as far as running one.
  const bool started = out.find("batch command") != std::string::npos;
  if (!started) GTEST_SKIP() << "GIMP could not start headless (exit " << rc << "):\n" << out;
  ASSERT_NE(out.find("batch command executed successfully"), std::string::npos) << out;
  ASSERT_TRUE(fs::exists(exr_out) && fs::exists(tif_out) && fs::exists(last_out)) << out;

  // The program's renders of the same files and settings (its last settings kept in the scratch folder).
  const std::string program = "XDG_CONFIG_HOME='" + scratch.file("config") + "' '" + BRIGHTLOOM_PROGRAM + "'";
  for (const auto &[in, name] : {std::pair{"city.exr", "cli-exr.tif"}, std::pair{"city-16bit.tif", "cli-16.tif"}}) {
    const std::string render = program + " render '" + (data / in).string() + "' --preset Natural --bits 16 -q -o '" +
                               (dir / name).string() + "'";
    ASSERT_EQ(std::system(render.c_str()), 0) << render;
  }

  auto in_selection = [](int x, int y) { return x < 512 && y < 512; };

  auto gimp_exr = read_image(exr_out.string()), cli_exr = read_image((dir / "cli-exr.tif").string());
  ASSERT_TRUE(gimp_exr && cli_exr);
  ASSERT_EQ(gimp_exr->type, SampleType::F32) << "a float image must stay float, in linear light";
  ASSERT_EQ(gimp_exr->spp, 3);
  ASSERT_EQ(gimp_exr->width, cli_exr->width);
  ASSERT_EQ(gimp_exr->height, cli_exr->height);
  auto [exr_worst, exr_n] = compare(*gimp_exr, *cli_exr, [](int, int) { return true; });
  EXPECT_LE(exr_worst, 2.0) << "float image: GIMP's linear result against the program's picture";
  EXPECT_EQ(exr_n, int64_t(gimp_exr->width) * gimp_exr->height);

  auto gimp16 = read_image(tif_out.string()), cli16 = read_image((dir / "cli-16.tif").string());
  auto original = read_image((data / "city-16bit.tif").string());
  ASSERT_TRUE(gimp16 && cli16 && original);
  ASSERT_EQ(gimp16->type, SampleType::U16);
  auto [in_worst, in_n] = compare(*gimp16, *cli16, in_selection);
  EXPECT_LE(in_worst, 2.0) << "16-bit image inside the selection";
  EXPECT_GT(in_n, 0);
  auto [out_worst, out_n] = compare(*gimp16, *original, [&](int x, int y) { return !in_selection(x, y); });
  EXPECT_EQ(out_worst, 0.0) << "outside the selection the layer must keep its pixels";
  EXPECT_GT(out_n, 0);
  // And the filter did change the selected part.
  auto [changed, n] = compare(*gimp16, *original, in_selection);
  EXPECT_GT(changed, 10.0);
  std::printf(
      "float image: at most %.2f levels from the program; 16-bit image: %.2f inside the selection, "
      "%.2f outside\n",
      exr_worst, in_worst, out_worst);
}

// What the filter cannot tone-map is refused with a calling error before any work, and the
// refusals name what the procedure's caller gave: its arguments (not the program's options)
// and the settings file that cannot be opened. A plain layer of the same image still works.
TEST(GimpHeadless, GroupsMasksChannelsAndBadArgumentsAreRefusedByName) {
  if (std::string(BRIGHTLOOM_GIMP_PLUGINS).empty())
    GTEST_SKIP() << "the GIMP plug-in was not built (libgimp2.0-dev missing: run scripts/install-deps.sh)";
  if (!have_tool("gimp-console-2.10"))
    GTEST_SKIP() << "gimp-console-2.10 is not installed (run scripts/install-deps.sh)";

  const ScratchDir scratch;
  const fs::path dir = scratch.path();
  const std::string profile = gimp_test::private_profile(scratch.file("gimpdir"), BRIGHTLOOM_GIMP_PLUGINS);
  std::ofstream(dir / "refuse.scm")
      << "(define (bl-image)\n"
         "  (let* ((image (car (gimp-image-new 64 64 RGB)))\n"
         "         (layer (car (gimp-layer-new image 64 64 RGB-IMAGE \"base\" 100 LAYER-MODE-NORMAL))))\n"
         "    (gimp-image-insert-layer image layer 0 0)\n"
         "    (gimp-drawable-fill layer FILL-WHITE)\n"
         "    (list image layer)))\n"
         "(define (bl-run image drawable method file preset)\n"
         "  (plug-in-brightloom RUN-NONINTERACTIVE image drawable method preset file \"\"))\n"
         "(define (bl-group)\n"
         "  (let* ((il (bl-image)) (image (car il)) (group (car (gimp-layer-group-new image))))\n"
         "    (gimp-image-insert-layer image group 0 0)\n"
         "    (gimp-image-reorder-item image (cadr il) group 0)\n"
         "    (bl-run image group \"details\" \"\" \"\")))\n"
         "(define (bl-mask)\n"
         "  (let* ((il (bl-image)) (layer (cadr il)) (mask (car (gimp-layer-create-mask layer ADD-MASK-WHITE))))\n"
         "    (gimp-layer-add-mask layer mask)\n"
         "    (bl-run (car il) mask \"details\" \"\" \"\")))\n"
         "(define (bl-channel)\n"
         "  (let* ((il (bl-image)) (channel (car (gimp-channel-new (car il) 64 64 \"extra\" 50 '(0 0 0)))))\n"
         "    (gimp-image-insert-channel (car il) channel 0 0)\n"
         "    (bl-run (car il) channel \"details\" \"\" \"\")))\n"
         "(define (bl-layer method file preset)\n"
         "  (let* ((il (bl-image))) (bl-run (car il) (cadr il) method file preset)))\n";

  const fs::path log = dir / "gimp.log";
  std::string cmd = "cd '" + dir.string() + "' && GIMP2_DIRECTORY='" + profile +
                    "' ASAN_OPTIONS=detect_leaks=0 timeout 300 gimp-console-2.10 -i -d -f";
  // Each batch command is evaluated on its own: each loads the definitions.
  // (A plain layer is tone-mapped by the test above; each call here starts the plug-in.)
  for (const char *call : {"(bl-group)", "(bl-mask)", "(bl-channel)", "(bl-layer \"bogus\" \"\" \"\")",
                           "(bl-layer \"\" \"/nonexistent/x.xmp\" \"\")"})
    cmd += " -b '(begin (load \"" + (dir / "refuse.scm").string() + "\") " + call + ")'";
  cmd += " -b '(gimp-quit 0)' >'" + log.string() + "' 2>&1";
  const int rc = std::system(cmd.c_str());
  const std::string out = slurp(log.string());
  if (out.find("batch command") == std::string::npos)
    GTEST_SKIP() << "GIMP could not start headless (exit " << rc << "):\n" << out;

  auto count = [&out](const std::string &what) {
    size_t n = 0;
    for (size_t at = out.find(what); at != std::string::npos; at = out.find(what, at + 1)) ++n;
    return n;
  };
  // Each refused as a calling error, before any work.
  const std::string refused = "failed on invalid input arguments: Brightloom: ";
  EXPECT_EQ(count(refused + "a layer group cannot be tone-mapped"), 1u) << out;
  EXPECT_EQ(count(refused + "only RGB and grey layers can be tone-mapped, not a layer mask or a channel"), 2u) << out;
  EXPECT_EQ(count(refused + "unknown method \"bogus\""), 1u) << out;
  EXPECT_EQ(count(refused + "/nonexistent/x.xmp: cannot open the settings file"), 1u) << out;
  EXPECT_EQ(count("--method") + count("--settings"), 0u) << "no command-line option is named\n" << out;
  EXPECT_EQ(count("batch command executed successfully"), 0u) << out;
}
