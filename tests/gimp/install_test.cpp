// SPDX-License-Identifier: MIT
// The packagers' install (cmake --install --component gimp) into a scratch prefix: one folder
// that holds the plug-in, the dialog bundle and everything the dialog loads from beside itself,
// and that a GIMP told about it registers the filter from.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "session.h"
#include "support/gimp_run.h"

using namespace brightloom_test;
namespace fs = std::filesystem;

TEST(GimpInstall, OneFolderHoldsThePluginTheDialogAndItsResourcesAndGimpLoadsIt) {
  if (std::string(BRIGHTLOOM_GIMP_PLUGINS).empty())
    GTEST_SKIP() << "the GIMP plug-in was not built (libgimp2.0-dev missing: run scripts/install-deps.sh)";
  const fs::path relative = BRIGHTLOOM_GIMP_INSTALL_DIR;
  if (relative.is_absolute())
    GTEST_SKIP() << "BRIGHTLOOM_GIMP_INSTALL_DIR is set to a folder outside the install prefix: " << relative;

  const ScratchDir dir;
  const std::string install = "'" CMAKE_COMMAND "' --install '" BRIGHTLOOM_BUILD_DIR "' --component gimp --prefix '" +
                              dir.file("prefix") + "' > '" + dir.file("install.log") + "' 2>&1";
  ASSERT_EQ(std::system(install.c_str()), 0) << slurp(dir.file("install.log"));
  const fs::path folder = fs::path(dir.file("prefix")) / relative;

  // GIMP runs the program named after its folder.
  struct stat st {};
  ASSERT_EQ(::stat((folder / "brightloom").c_str(), &st), 0) << slurp(dir.file("install.log"));
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  // The plug-in loads the bundle from lib/; the dialog takes its presets, button images and help
  // from lib/../share/brightloom, the plug-in its presets from share/brightloom/presets.
  EXPECT_TRUE(fs::is_regular_file(folder / "lib/libBrightloomFilter.so"));
  const fs::path resources = BRIGHTLOOM_SOURCE_DIR "/resources";
  int shipped = 0;
  for (const char *kind : {"presets", "images", "help"})
    for (const auto &e : fs::directory_iterator(resources / kind)) {
      const std::string ext = e.path().extension().string();
      if (ext != ".xmp" && ext != ".png" && ext != ".html") continue;
      const fs::path installed = folder / "lib/../share/brightloom" / kind / e.path().filename();
      EXPECT_EQ(slurp(installed.string()), slurp(e.path().string())) << installed;
      ++shipped;
    }
  EXPECT_GE(shipped, 7);  // four presets, two images, the help page

  if (!have_tool("gimp-console-2.10")) GTEST_SKIP() << "gimp-console-2.10 is not installed: GIMP was not asked";
  // A GIMP that knows only the installed folder's parent (and Script-Fu) registers the filter.
  const std::string profile = gimp_test::private_profile(dir.file("gimpdir"), folder.parent_path().string());
  const std::string log = dir.file("gimp.log");
  const std::string cmd =
      "GIMP2_DIRECTORY='" + profile +
      "' ASAN_OPTIONS=detect_leaks=0 timeout 120 gimp-console-2.10 -i -d -f -b "
      "'(gimp-message (if (= 1 (car (gimp-procedural-db-proc-exists \"plug-in-brightloom\"))) \"filter \" \"no \"))' "
      "-b '(gimp-quit 0)' > '" +
      log + "' 2>&1";
  const int rc = std::system(cmd.c_str());
  const std::string out = slurp(log);
  if (out.find("batch command") == std::string::npos)
    GTEST_SKIP() << "GIMP could not start headless (exit " << rc << "):\n" << out;
  EXPECT_NE(out.find("filter "), std::string::npos) << "GIMP did not register plug-in-brightloom:\n" << out;
  EXPECT_NE(slurp(profile + "/pluginrc").find("\"" + (folder / "brightloom").string() + "\""), std::string::npos)
      << slurp(profile + "/pluginrc");
}
