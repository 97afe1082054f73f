// SPDX-License-Identifier: MIT
// The system's one way of replacing a file: what a new file's mode is, what a replaced file
// keeps, where links lead, and that a failure keeps the old bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "io/replace_file.h"

namespace {
namespace fs = std::filesystem;

// A fresh folder others may pass through (the unprivileged child below works inside it).
struct ScratchDir {
  std::string root;
  ScratchDir() {
    std::string tmpl = (fs::temp_directory_path() / "replace-file-XXXXXX").string();
    root = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
    ::chmod(root.c_str(), 0755);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string file(const std::string &name) const { return root + "/" + name; }
  const std::string &path() const { return root; }
};
using tmlib::ReplaceFault;
using tmlib::ReplaceResult;

ReplaceResult put(const std::string &path, const std::string &text) {
  return tmlib::replace_file(path, [&](int fd) { return tmlib::write_all(fd, text.data(), text.size()); });
}

std::string bytes_of(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void make(const std::string &path, const std::string &text, mode_t mode) {
  std::ofstream(path, std::ios::binary) << text;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

mode_t mode_of(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Nothing but the named files is left in the folder: no temporary beside them.
size_t entries(const std::string &folder) {
  size_t n = 0;
  for ([[maybe_unused]] const auto &e : fs::directory_iterator(folder)) ++n;
  return n;
}

// Runs `body` as an unprivileged user when the tests run as root (root may write anything),
// else as it is; true when it ran and returned true.
template <class F>
bool as_ordinary_user(F body) {
  if (::geteuid() != 0) return body();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ReplaceFile, NewFilesTakeTheUmaskAndReplacedFilesKeepModeAndOwner) {
  ScratchDir dir;
  const mode_t saved = ::umask(022);
  ASSERT_TRUE(put(dir.file("a"), "one").ok());
  ::umask(077);
  ASSERT_TRUE(put(dir.file("b"), "two").ok());
  ::umask(saved);
  EXPECT_EQ(mode_of(dir.file("a")), 0644u);
  EXPECT_EQ(mode_of(dir.file("b")), 0600u);

  // A replaced file keeps its own permissions whatever the umask, and its inode changes (it
  // was renamed over, not written in place).
  make(dir.file("kept"), "old", 0640);
  struct stat before {};
  ::stat(dir.file("kept").c_str(), &before);
  ::umask(077);
  const ReplaceResult r = put(dir.file("kept"), "new");
  ::umask(saved);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r.in_place);
  EXPECT_EQ(bytes_of(dir.file("kept")), "new");
  EXPECT_EQ(mode_of(dir.file("kept")), 0640u);
  EXPECT_EQ(entries(dir.path()), 3u);

  if (::geteuid() != 0) GTEST_SKIP() << "giving a file another owner needs root";
  ASSERT_EQ(::chown(dir.file("kept").c_str(), 4321, 5432), 0);
  ASSERT_EQ(::chmod(dir.file("kept").c_str(), 0664), 0);
  ASSERT_TRUE(put(dir.file("kept"), "newer").ok());
  struct stat after {};
  ::stat(dir.file("kept").c_str(), &after);
  EXPECT_EQ(after.st_uid, 4321u);
  EXPECT_EQ(after.st_gid, 5432u);
  EXPECT_EQ(after.st_mode & 07777, 0664u);
  EXPECT_EQ(bytes_of(dir.file("kept")), "newer");
}

TEST(ReplaceFile, LinksLeadToTheFileAndHardLinksAllSeeTheNewContent) {
  ScratchDir dir;
  fs::create_directories(dir.file("real"));
  make(dir.file("real/settings"), "old", 0644);
  fs::create_symlink("real/settings", dir.file("link"));
  fs::create_symlink("real/later", dir.file("dangling"));
  ASSERT_TRUE(put(dir.file("link"), "through").ok());
  ASSERT_TRUE(put(dir.file("dangling"), "created").ok());
  EXPECT_TRUE(fs::is_symlink(dir.file("link")));
  EXPECT_TRUE(fs::is_symlink(dir.file("dangling")));
  EXPECT_EQ(bytes_of(dir.file("real/settings")), "through");
  EXPECT_EQ(bytes_of(dir.file("real/later")), "created");

  make(dir.file("first"), "a longer old text", 0600);
  fs::create_hard_link(dir.file("first"), dir.file("second"));
  const ReplaceResult r = put(dir.file("first"), "short");
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.in_place);
  EXPECT_EQ(bytes_of(dir.file("second")), "short");
  EXPECT_EQ(fs::hard_link_count(dir.file("first")), 2u);
}

TEST(ReplaceFile, FailuresKeepTheOldBytesAndLeaveNothingBehind) {
  ScratchDir dir;
  make(dir.file("f"), "old bytes", 0644);
  // A writer that gives up half-way.
  const ReplaceResult r = tmlib::replace_file(dir.file("f"), [](int fd) {
    tmlib::write_all(fd, "half", 4);
    return false;
  });
  EXPECT_EQ(r.fault, ReplaceFault::kWrite);
  EXPECT_EQ(bytes_of(dir.file("f")), "old bytes");
  EXPECT_EQ(entries(dir.path()), 1u);

  // Read-only for everyone is refused, root included; a folder stays a folder.
  make(dir.file("ro"), "protected", 0444);
  EXPECT_EQ(put(dir.file("ro"), "x").fault, ReplaceFault::kReadOnly);
  EXPECT_EQ(bytes_of(dir.file("ro")), "protected");
  fs::create_directories(dir.file("sub"));
  EXPECT_EQ(put(dir.file("sub"), "x").fault, ReplaceFault::kFolder);
  EXPECT_EQ(put(dir.file("missing/f"), "x").fault, ReplaceFault::kNoFolder);
  EXPECT_EQ(tmlib::check_replaceable(dir.file("ro")).fault, ReplaceFault::kReadOnly);
  EXPECT_TRUE(tmlib::check_replaceable(dir.file("f")).ok());
}

TEST(ReplaceFile, AReadOnlyFolderTakesItsWritableFilesInPlaceButNoNewOnes) {
  ScratchDir dir;
  fs::create_directories(dir.file("locked"));
  make(dir.file("locked/mine"), "old", 0666);
  ASSERT_EQ(::chmod(dir.file("locked").c_str(), 0555), 0);
  const std::string mine = dir.file("locked/mine"), fresh = dir.file("locked/new");
  EXPECT_TRUE(as_ordinary_user([&] {
    const ReplaceResult kept = put(mine, "replaced in place");
    const ReplaceResult refused = put(fresh, "x");
    return kept.ok() && kept.in_place && refused.fault == ReplaceFault::kOpen && refused.error == EACCES;
  }));
  EXPECT_EQ(bytes_of(mine), "replaced in place");
  EXPECT_FALSE(fs::exists(fresh));
  ::chmod(dir.file("locked").c_str(), 0755);
}

}  // namespace
