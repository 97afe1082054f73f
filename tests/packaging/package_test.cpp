// SPDX-License-Identifier: MIT
// The Debian packages as a user gets them: CPack run over this build (the packaging of
// `make package`, without its release build), every package unpacked with dpkg -x into one
// scratch root, and the unpacked tree used from there: the program renders, edit loads the
// bundle and the presets and images beside it and nothing from the build or source tree, and
// a GIMP pointed at the unpacked plug-in folder registers the filter. The package lists must
// hold what the install layout says, each file in its own package, and nothing that names the
// build tree. Skipped, saying why, where dpkg-deb or cpack is missing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "session.h"
#include "support/gimp_run.h"

using namespace brightloom_test;
namespace fs = std::filesystem;

namespace {

const std::string kLibdir = BRIGHTLOOM_INSTALL_LIBDIR;

struct Packages {
  std::string dir = PACKAGES_DIR;                         // debs/, root/ (all of them unpacked), scratch/
  std::string skip;                                       // why the packages cannot be made here
  std::string failed;                                     // why making or unpacking them failed
  std::map<std::string, std::string> deb;                 // package name -> .deb
  std::map<std::string, std::set<std::string>> contents;  // package -> files and links ("usr/...")
  std::string root = dir + "/root";
  std::string file(const std::string &name) const { return dir + "/scratch/" + name; }
};

std::string why_not_here() {
  if (!have_tool("dpkg-deb") || !have_tool("dpkg-shlibdeps"))
    return "dpkg-deb or dpkg-shlibdeps is not installed (scripts/install-deps.sh installs dpkg-dev)";
  if (std::string(CPACK_COMMAND).empty() || !fs::exists(CPACK_COMMAND)) return "cpack was not found beside cmake";
  return "";
}

// CPack over this build into PACKAGES_DIR/debs, each package unpacked into PACKAGES_DIR/root.
// The slow part (CPack over the whole build): ctest runs it once, as the set-up of the cases.
std::string make_packages() {
  const std::string dir = PACKAGES_DIR;
  fs::remove_all(dir);
  fs::create_directories(dir + "/scratch");
  // gzip and unstripped: the cases look at the contents, and xz over sanitized binaries is slow.
  const std::string cmd = "cd '" + dir +
                          "' && '" CPACK_COMMAND "' --config '" BRIGHTLOOM_BUILD_DIR "/CPackConfig.cmake' -B '" + dir +
                          "/debs' -D CPACK_DEBIAN_COMPRESSION_TYPE=gzip " + "-D CPACK_STRIP_FILES=OFF > cpack.log 2>&1";
  if (std::system(cmd.c_str()) != 0) return "cpack failed:\n" + slurp(dir + "/cpack.log");
  for (const auto &e : fs::directory_iterator(dir + "/debs"))
    if (e.path().extension() == ".deb" &&
        std::system(("dpkg -x '" + e.path().string() + "' '" + dir + "/root'").c_str()) != 0)
      return "dpkg -x " + e.path().string() + " failed";
  std::ofstream(dir + "/made") << "made\n";
  return "";
}

const Packages &packages() {
  static Packages p = [] {
    Packages p;
    p.skip = why_not_here();
    if (!p.skip.empty()) return p;
    if (!fs::exists(p.dir + "/made")) p.failed = make_packages();
    if (!p.failed.empty()) return p;
    for (const auto &e : fs::directory_iterator(p.dir + "/debs")) {
      if (e.path().extension() != ".deb") continue;
      const std::string name = e.path().filename().string();
      const std::string package = name.substr(0, name.find('_'));
      p.deb[package] = e.path().string();
      int st = 0;
      const std::string list = shell("dpkg-deb --fsys-tarfile '" + e.path().string() + "' | tar -t", &st);
      if (st != 0) p.failed += "cannot list " + name + "\n";
      std::istringstream lines(list);
      for (std::string l; std::getline(lines, l);) {
        if (l.rfind("./", 0) == 0) l = l.substr(2);
        if (l.empty() || l.back() == '/') continue;  // folders
        p.contents[package].insert(l);
      }
    }
    return p;
  }();
  return p;
}

// Run first by ctest (the fixture of the other cases); alone, it makes the packages anew.
TEST(PackagesMade, FromThisBuildAndUnpacked) {
  if (const std::string why = why_not_here(); !why.empty()) GTEST_SKIP() << why;
  const std::string failed = make_packages();
  ASSERT_TRUE(failed.empty()) << failed;
}

#define NEED_PACKAGES()                          \
  const Packages &pk = packages();               \
  if (!pk.skip.empty()) GTEST_SKIP() << pk.skip; \
  ASSERT_TRUE(pk.failed.empty()) << pk.failed

std::string control_field(const std::string &deb, const std::string &field) {
  std::string v = shell("dpkg-deb -f '" + deb + "' " + field);
  while (!v.empty() && (v.back() == '\n' || v.back() == ' ')) v.pop_back();
  return v;
}

std::set<std::string> files_of(const std::string &folder, const char *ext) {
  std::set<std::string> names;
  for (const auto &e : fs::directory_iterator(folder))
    if (e.path().extension() == ext) names.insert(e.path().filename().string());
  return names;
}

TEST(Packages, HoldTheInstallLayoutEachFileInItsOwnPackageAndNothingFromTheBuild) {
  NEED_PACKAGES();
  const std::string src = BRIGHTLOOM_SOURCE_DIR;
  std::map<std::string, std::set<std::string>> want;
  const std::string lib = "usr/" + kLibdir + "/";
  want["libtmlib0"] = {lib + "libtmlib.so.0", lib + "libtmlib.so." BRIGHTLOOM_VERSION};
  want["libtmlib-dev"] = {lib + "libtmlib.so",
                          "usr/include/tmlib/tmlib.h",
                          "usr/include/brightloom/plugin.h",
                          lib + "pkgconfig/tmlib.pc",
                          lib + "cmake/tmlib/tmlibConfig.cmake",
                          lib + "cmake/tmlib/tmlibConfigVersion.cmake",
                          lib + "cmake/tmlib/tmlibTargets.cmake"};
  for (const auto &e : fs::directory_iterator(src + "/engine/include/tmlib"))
    want["libtmlib-dev"].insert("usr/include/tmlib/" + e.path().filename().string());
  // tmlibTargets-<config>.cmake: one per build type.
  for (const std::string &f : pk.contents.at("libtmlib-dev"))
    if (f.rfind(lib + "cmake/tmlib/tmlibTargets-", 0) == 0) want["libtmlib-dev"].insert(f);
  auto &app = want["brightloom"];
  app = {"usr/bin/brightloom",
         "usr/" BRIGHTLOOM_BUNDLE_INSTALL_DIR "/libBrightloomFilter.so",
         "usr/share/applications/brightloom.desktop",
         "usr/share/mime/packages/brightloom.xml",
         "usr/share/icons/hicolor/scalable/apps/brightloom.svg",
         "usr/share/man/man1/brightloom.1.gz",
         "usr/share/bash-completion/completions/brightloom",
         "usr/share/brightloom/samples/sunset.exr"};
  for (const auto &[kind, ext] : {std::pair{"presets", ".xmp"}, {"images", ".png"}, {"help", ".html"}})
    for (const std::string &f : files_of(src + "/resources/" + kind, ext))
      app.insert(std::string("usr/share/brightloom/") + kind + "/" + f);
  int sizes = 0;
  for (const auto &e : fs::directory_iterator(src + "/resources/icons"))
    if (e.is_directory()) {
      app.insert("usr/share/icons/hicolor/" + e.path().filename().string() + "/apps/brightloom.png");
      ++sizes;
    }
  EXPECT_GE(sizes, 6) << "the icon's PNG sizes";
  if (!std::string(BRIGHTLOOM_GIMP_INSTALL_DIR).empty()) {
    const std::string g = "usr/" BRIGHTLOOM_GIMP_INSTALL_DIR "/";
    want["gimp-plugin-brightloom"] = {g + "brightloom", g + "lib/libBrightloomFilter.so", g + "share/brightloom"};
  }
  for (auto &[package, files] : want) {
    files.insert("usr/share/doc/" + package + "/copyright");
    files.insert("usr/share/doc/" + package + "/changelog.Debian.gz");
  }

  std::set<std::string> made;
  for (const auto &[package, files] : pk.contents) made.insert(package);
  std::set<std::string> expected;
  for (const auto &[package, files] : want) expected.insert(package);
  ASSERT_EQ(made, expected);
  for (const auto &[package, files] : want) {
    const std::set<std::string> &got = pk.contents.at(package);
    for (const std::string &f : files) EXPECT_TRUE(got.count(f)) << package << " lacks " << f;
    for (const std::string &f : got)
      EXPECT_TRUE(files.count(f)) << package << " holds " << f << ", which it should not";
  }

  // No file names the build or the source tree (CPack's staging folder is under the build):
  // the pkg-config file, the CMake package, the desktop entry, the completion are all read by
  // other programs. Binaries are left out: their paths are the sanitizers' and debuggers'.
  for (const auto &e : fs::recursive_directory_iterator(pk.root)) {
    if (!e.is_regular_file() || e.is_symlink()) continue;
    const std::string text = slurp(e.path().string());
    if (text.rfind("\x7f"
                   "ELF",
                   0) == 0)
      continue;
    EXPECT_EQ(text.find(BRIGHTLOOM_BUILD_DIR), std::string::npos) << e.path() << " names the build tree";
    EXPECT_EQ(text.find(pk.dir), std::string::npos) << e.path() << " names the staging folder";
  }
  EXPECT_NE(slurp(pk.root + "/" + lib + "pkgconfig/tmlib.pc").find("prefix=/usr"), std::string::npos);

  // Dependencies: the libraries the binaries link (dpkg-shlibdeps), and the packages' own.
  const std::string version = control_field(pk.deb.at("brightloom"), "Version");
  EXPECT_NE(control_field(pk.deb.at("brightloom"), "Depends").find("libqt6widgets6"), std::string::npos);
  EXPECT_NE(control_field(pk.deb.at("libtmlib-dev"), "Depends").find("libtmlib0 (= " + version + ")"),
            std::string::npos);
  if (pk.deb.count("gimp-plugin-brightloom")) {
    EXPECT_NE(control_field(pk.deb.at("gimp-plugin-brightloom"), "Depends").find("brightloom (= " + version + ")"),
              std::string::npos);
  }
  EXPECT_NE(slurp(pk.root + "/" + lib + "libtmlib.so").size(), 0u) << "the development link leads to the library";
}

TEST(Packages, TheUnpackedProgramRendersTheDemoAsTheBuiltOneDoes) {
  NEED_PACKAGES();
  const std::string program = pk.root + "/usr/bin/brightloom";
  const std::string out = pk.file("demo-unpacked"), ref = pk.file("demo-built");
  int st = 0;
  const std::string shown =
      shell("ASAN_OPTIONS=detect_leaks=0 '" + program + "' demo -q --out-dir '" + out + "' 2>&1", &st);
  ASSERT_EQ(st, 0) << shown;
  EXPECT_NE(shown.find(out + "/sunset.png"), std::string::npos) << shown;
  ASSERT_EQ(
      std::system(
          ("ASAN_OPTIONS=detect_leaks=0 '" BRIGHTLOOM_PROGRAM "' demo -q --out-dir '" + ref + "' > /dev/null").c_str()),
      0);
  const std::string picture = slurp(out + "/sunset.png");
  EXPECT_GT(picture.size(), 10000u);
  EXPECT_TRUE(picture == slurp(ref + "/sunset.png")) << "the unpacked and the built program differ";
  // The presets beside the unpacked program.
  const std::string preset = shell("ASAN_OPTIONS=detect_leaks=0 '" + program + "' render '" + pk.root +
                                       "/usr/share/brightloom/samples/sunset.exr' --preset natural -q -o '" +
                                       pk.file("natural.png") + "' 2>&1",
                                   &st);
  EXPECT_EQ(st, 0) << preset;
}

TEST(Packages, UnpackedEditLoadsItsBundleAndResourcesAndNothingFromTheBuild) {
  NEED_PACKAGES();
  if (!have_tool("Xvfb") || !have_tool("xdotool") || !have_tool("strace"))
    GTEST_SKIP() << "Xvfb, xdotool or strace is not installed (scripts/install-deps.sh installs them)";
  if (std::system("strace -f -o /dev/null true > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "strace cannot trace here (ptrace is not permitted)";
  Xvfb x;
  ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
  const std::string trace = pk.file("edit.trace");
  std::ofstream(pk.file("lsan.supp")) << "leak:libfontconfig.so\nleak:libdbus-1.so\n";
  Child edit(
      {"strace", "-f", "-qq", "-e", "trace=open,openat,execve", "-o", trace, pk.root + "/usr/bin/brightloom", "edit",
       pk.root + "/usr/share/brightloom/samples/sunset.exr", "-o", pk.file("edited.png")},
      {"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb", "XDG_CONFIG_HOME=" + pk.file("config"),
       "XDG_DATA_HOME=" + pk.file("data"), "BRIGHTLOOM_DIALOG=", "LSAN_OPTIONS=suppressions=" + pk.file("lsan.supp")},
      pk.file("edit.log"));
  const std::string env = "DISPLAY=" + x.display() + " ";
  const std::string id =
      shell(env + "timeout 120 xdotool search --sync --onlyvisible --name 'Brightloom Tone Mapping' | head -1");
  ASSERT_FALSE(id.empty()) << "the dialog never appeared:\n" << slurp(pk.file("edit.log"));
  shell(env + "xdotool windowfocus --sync " + id.substr(0, id.find('\n')) + " key Escape");
  EXPECT_EQ(edit.wait(60), 3) << slurp(pk.file("edit.log"));
  EXPECT_FALSE(fs::exists(pk.file("edited.png")));

  // What the process opened, from the trace: the bundle, presets and images from the unpacked
  // tree, and no file of the build or the source tree.
  std::ifstream in(trace);
  bool bundle = false, images = false;
  std::string from_build;
  for (std::string l; std::getline(in, l);) {
    if (l.find("ENOENT") != std::string::npos) continue;
    const size_t q = l.find('"');
    if (q == std::string::npos) continue;
    const std::string path = l.substr(q + 1, l.find('"', q + 1) - q - 1);
    if (path == pk.root + "/usr/" BRIGHTLOOM_BUNDLE_INSTALL_DIR "/libBrightloomFilter.so") bundle = true;
    if (path.rfind(pk.root + "/usr/share/brightloom/images/", 0) == 0) images = true;
    const bool unpacked = path.rfind(pk.dir + "/", 0) == 0;
    if (!unpacked && (path.rfind(BRIGHTLOOM_BUILD_DIR "/", 0) == 0 || path.rfind(BRIGHTLOOM_SOURCE_DIR "/", 0) == 0))
      from_build += path + "\n";
  }
  // (The dialog reads a built-in preset from the same folder when one is chosen; the program's
  // own preset lookup is tried by the demo case.)
  EXPECT_TRUE(bundle) << "the dialog bundle was not loaded from the unpacked tree";
  EXPECT_TRUE(images) << "the dialog's images were not read from the unpacked tree";
  EXPECT_TRUE(from_build.empty()) << "opened from the build or source tree:\n" << from_build;
}

TEST(Packages, GimpRegistersTheFilterFromTheUnpackedPluginFolder) {
  NEED_PACKAGES();
  if (std::string(BRIGHTLOOM_GIMP_INSTALL_DIR).empty())
    GTEST_SKIP() << "the GIMP plug-in was not built (libgimp2.0-dev missing: run scripts/install-deps.sh)";
  if (!have_tool("gimp-console-2.10")) GTEST_SKIP() << "gimp-console-2.10 is not installed: GIMP was not asked";
  const fs::path folder = fs::path(pk.root) / "usr" / BRIGHTLOOM_GIMP_INSTALL_DIR;
  // The links lead into the brightloom package's files.
  EXPECT_TRUE(fs::is_symlink(folder / "lib/libBrightloomFilter.so"));
  EXPECT_TRUE(fs::is_regular_file(folder / "lib/libBrightloomFilter.so"));
  EXPECT_TRUE(fs::is_regular_file(folder / "share/brightloom/presets/Natural.xmp"));

  fs::remove_all(pk.file("gimpdir"));
  const std::string profile = gimp_test::private_profile(pk.file("gimpdir"), folder.parent_path().string());
  const std::string log = pk.file("gimp.log");
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
}

}  // namespace
