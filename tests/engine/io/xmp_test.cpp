// SPDX-License-Identifier: MIT
// Settings files: the exact documents the writer produces, round trips through the reader,
// failed writes, and the shipped built-in presets.
#include "tmlib/xmp.h"

#include "../../resources/presets/builtin_presets.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Record = std::array<float, 20>;

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/xmp_test_XXXXXX";
    const char *made = mkdtemp(name);
    if (made == nullptr) std::abort();
    path_ = made;
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string &leaf) const { return path_ + "/" + leaf; }
  const std::string &path() const { return path_; }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    if (DIR *dir = opendir(path_.c_str())) {
      while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      closedir(dir);
    }
    return names;
  }

 private:
  std::string path_;
};

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string embed(int method, const Record &param) {
  const int measured = embed_xmp(0, nullptr, method, param.data());
  std::string doc(static_cast<std::size_t>(measured) + 8, '#');
  const int written = embed_xmp(1, doc.data(), method, param.data());
  EXPECT_EQ(written, measured);
  // Nothing past the measured length is touched: no terminating NUL.
  EXPECT_EQ(doc.substr(static_cast<std::size_t>(measured)), std::string(8, '#'));
  doc.resize(static_cast<std::size_t>(measured));
  return doc;
}

const std::string kHead =
    "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n"
    "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
    "\n"
    "<rdf:Description rdf:about=''\n"
    "xmlns:bltm='http://brightloom.org/tone_mapping_settings'>\n"
    "<bltm:Version>3.2</bltm:Version>\n";
const std::string kTail =
    "</rdf:Description>\n"
    "\n"
    "</rdf:RDF>\n"
    "</x:xmpmeta>\n";

Record details_defaults() {
  Record r{};
  r[1] = 70.0f;
  r[2] = 46.0f;
  r[3] = 0.25f;
  r[5] = 1.0f;
  r[7] = 2.0f;
  r[8] = 50.0f;
  r[16] = 1.0f;
  return r;
}

// ---------------------------------------------------------------------------------------
// Exact documents

TEST(XmpDocument, DetailsEnhancerDefaults) {
  EXPECT_EQ(embed(1, details_defaults()), kHead +
                                              "<bltm:Method>Details Enhancer</bltm:Method>\n"
                                              "<bltm:Strength>70.0</bltm:Strength>\n"
                                              "<bltm:ColorSaturation>46.0</bltm:ColorSaturation>\n"
                                              "<bltm:Luminosity>0.0</bltm:Luminosity>\n"
                                              "<bltm:WhiteClip>0.250000</bltm:WhiteClip>\n"
                                              "<bltm:BlackClip>0.000000</bltm:BlackClip>\n"
                                              "<bltm:SmoothingMode>Slider</bltm:SmoothingMode>\n"
                                              "<bltm:Smoothing>0.0</bltm:Smoothing>\n"
                                              "<bltm:Microcontrast>0.0</bltm:Microcontrast>\n"
                                              "<bltm:Microsmoothing>2.0</bltm:Microsmoothing>\n"
                                              "<bltm:Gamma>1.0</bltm:Gamma>\n"
                                              "<bltm:HighlightsSmoothing>0.0</bltm:HighlightsSmoothing>\n"
                                              "<bltm:ShadowsSmoothing>0.0</bltm:ShadowsSmoothing>\n"
                                              "<bltm:ShadowsClipping>0.0</bltm:ShadowsClipping>\n"
                                              "<bltm:ColorTemperature>0.0</bltm:ColorTemperature>\n"
                                              "<bltm:SaturationHighlights>0.0</bltm:SaturationHighlights>\n"
                                              "<bltm:SaturationShadows>0.0</bltm:SaturationShadows>\n" +
                                              kTail);
}

// Unused slots hold junk here: none of it may reach the file.
TEST(XmpDocument, ToneCompressorAndFusionMethodsUseTheirOwnSlots) {
  Record r;
  r.fill(99.0f);
  r[0] = -2.5f;
  r[1] = 3.0f;
  r[2] = 1.2f;
  r[3] = 0.5f;
  r[4] = 1.25f;
  r[12] = -4.0f;
  r[13] = 6.5f;
  EXPECT_EQ(embed(2, r), kHead +
                             "<bltm:Method>Tone Compressor</bltm:Method>\n"
                             "<bltm:Brightness>-2.5</bltm:Brightness>\n"
                             "<bltm:Compression>3.0</bltm:Compression>\n"
                             "<bltm:Contrast>1.2</bltm:Contrast>\n"
                             "<bltm:WhiteClip>0.500000</bltm:WhiteClip>\n"
                             "<bltm:BlackClip>1.250000</bltm:BlackClip>\n"
                             "<bltm:ColorTemperature>-4.0</bltm:ColorTemperature>\n"
                             "<bltm:Saturation>6.5</bltm:Saturation>\n" +
                             kTail);

  r.fill(99.0f);
  for (int i = 0; i < 7; ++i) r[i] = static_cast<float>(i + 1);
  r[4] = 0.125f;  // the clips sit one slot later in this method
  r[5] = 0.75f;
  EXPECT_EQ(embed(10, r), kHead +
                              "<bltm:Method>Fusion/Adjust</bltm:Method>\n"
                              "<bltm:Accentuation>1.0</bltm:Accentuation>\n"
                              "<bltm:BlendingPoint>2.0</bltm:BlendingPoint>\n"
                              "<bltm:Shadows>3.0</bltm:Shadows>\n"
                              "<bltm:Saturation>4.0</bltm:Saturation>\n"
                              "<bltm:WhiteClip>0.125000</bltm:WhiteClip>\n"
                              "<bltm:BlackClip>0.750000</bltm:BlackClip>\n"
                              "<bltm:MidtonesAdjustment>7.0</bltm:MidtonesAdjustment>\n" +
                              kTail);

  r.fill(99.0f);
  r[0] = 5.0f;
  r[1] = -6.0f;
  r[2] = 40.0f;
  EXPECT_EQ(embed(11, r), kHead +
                              "<bltm:Method>Fusion/Intensive</bltm:Method>\n"
                              "<bltm:Strength>5.0</bltm:Strength>\n"
                              "<bltm:Saturation>-6.0</bltm:Saturation>\n"
                              "<bltm:Radius>40.0</bltm:Radius>\n" +
                              kTail);

  for (int unknown : {0, 3, 7, -1, 12}) EXPECT_EQ(embed(unknown, r), kHead + kTail) << "method " << unknown;
}

TEST(XmpDocument, LightModeWritesPaddedLevelWords) {
  const char *words[] = {"Very High", "High    ", "Medium  ", "Low     ", "Very Low"};
  Record r = details_defaults();
  r[16] = 0.0f;
  r[17] = 7.5f;  // not carried in this mode
  for (int code = 0; code < 5; ++code) {
    r[5] = static_cast<float>(code);
    const std::string doc = embed(1, r);
    EXPECT_NE(doc.find("<bltm:SmoothingMode>Light</bltm:SmoothingMode>\n"), std::string::npos);
    EXPECT_NE(doc.find(std::string("\n<bltm:Smoothing>") + words[code] + "</bltm:Smoothing>\n"), std::string::npos)
        << code;
  }
  // Codes the dialog never stores still give a word the reader knows.
  r[5] = 9.0f;
  EXPECT_NE(embed(1, r).find("<bltm:Smoothing>Very Low</bltm:Smoothing>"), std::string::npos);
  r[5] = -3.0f;
  EXPECT_NE(embed(1, r).find("<bltm:Smoothing>Very High</bltm:Smoothing>"), std::string::npos);
  r[5] = NAN;
  EXPECT_NE(embed(1, r).find("<bltm:Smoothing>High    </bltm:Smoothing>"), std::string::npos);
}

TEST(XmpDocument, GammaIsWrittenAsTheGammaNotTheSliderPosition) {
  Record r = details_defaults();
  const std::pair<float, const char *> cases[] = {{60.0f, "0.9"}, {0.0f, "2.0"}, {100.0f, "0.5"}, {150.0f, "0.2"}};
  for (const auto &[position, text] : cases) {
    r[8] = position;
    EXPECT_NE(embed(1, r).find(std::string("<bltm:Gamma>") + text + "</bltm:Gamma>"), std::string::npos) << position;
  }
}

TEST(XmpDocument, ExtremeValuesStayOnOneLineAndMeasureRight) {
  Record r;
  r.fill(-3.4028235e38f);
  r[16] = 1.0f;
  const std::string doc = embed(1, r);
  EXPECT_NE(doc.find("<bltm:WhiteClip>-340282346638528859811704183484516925440.000000</bltm:WhiteClip>\n"),
            std::string::npos);
  r.fill(NAN);
  EXPECT_NE(embed(2, r).find("<bltm:Brightness>nan</bltm:Brightness>\n"), std::string::npos);
  // A null record reads as zeros.
  EXPECT_EQ(embed_xmp(0, nullptr, 2, nullptr), embed(2, Record{}).size());
}

// ---------------------------------------------------------------------------------------
// Round trips: write, read back into a zeroed record, compare slot by slot.

Record read_back(const std::string &path, int method, int *result = nullptr) {
  Record out{};
  const int r = parse_xmp(path.c_str(), method, out.data());
  if (result != nullptr) *result = r;
  EXPECT_GT(r, 0) << path;
  return out;
}

void expect_slots(const Record &got, const Record &want, const std::string &what) {
  for (int i = 0; i < 20; ++i) EXPECT_EQ(got[i], want[i]) << what << " slot " << i;
}

TEST(XmpRoundTrip, DetailsEnhancerSliderAndLightModes) {
  TempDir dir;
  const std::string path = dir.file("details.xmp");

  Record in{};
  const float values[] = {-3.5f, 65.0f, 72.0f, 1.5f,  0.125f, 3.0f, -6.5f, 12.5f, 50.0f, 20.0f,
                          30.0f, 4.0f,  2.5f,  -1.5f, 0.3f,   1.0f, 1.0f,  -7.5f, 2.0f,  9.0f};
  std::copy(std::begin(values), std::end(values), in.begin());
  ASSERT_EQ(write_xmp(path.c_str(), 1, in.data()), 1);
  Record want = in;
  want[5] = 0.0f;                         // level code: not carried in mode "Slider"
  want[15] = want[18] = want[19] = 0.0f;  // never written
  expect_slots(read_back(path, 1), want, "slider mode");

  in[16] = 0.0f;
  ASSERT_EQ(write_xmp(path.c_str(), 1, in.data()), 1);
  want = in;
  want[17] = 0.0f;  // slider value: not carried in mode "Light"
  want[15] = want[18] = want[19] = 0.0f;
  expect_slots(read_back(path, 1), want, "light mode");
}

TEST(XmpRoundTrip, GammaSurvivesWithinItsRounding) {
  TempDir dir;
  const std::string path = dir.file("gamma.xmp");
  for (float position : {0.0f, 10.0f, 25.0f, 50.0f, 60.0f, 75.0f, 100.0f}) {
    Record in = details_defaults();
    in[8] = position;
    ASSERT_EQ(write_xmp(path.c_str(), 1, in.data()), 1);
    const Record out = read_back(path, 1);
    // The gamma travels with one decimal: the position comes back from the rounded gamma.
    const double gamma = std::pow(2.0, (50.0 - position) / 50.0);
    const double rounded = std::round(gamma * 10.0) / 10.0;
    EXPECT_NEAR(out[8], (1.0 - std::log2(rounded)) * 50.0, 1e-4) << position;
  }
  Record in = details_defaults();
  in[8] = 60.0f;
  ASSERT_EQ(write_xmp(path.c_str(), 1, in.data()), 1);
  EXPECT_NEAR(read_back(path, 1)[8], 57.60, 0.005);  // gamma 0.9
}

TEST(XmpRoundTrip, ToneCompressorAndFusionMethods) {
  TempDir dir;
  Record in;
  in.fill(77.0f);
  const float values[] = {-2.5f, 3.5f, 1.2f, 0.5f, 2.25f};
  std::copy(std::begin(values), std::end(values), in.begin());
  in[12] = -4.0f;
  in[13] = 6.5f;
  const std::string path = dir.file("tc.xmp");
  ASSERT_EQ(write_xmp(path.c_str(), 2, in.data()), 1);
  Record want{};
  for (int slot : {0, 1, 2, 3, 4, 12, 13}) want[slot] = in[slot];
  want[8] = 50.0f;  // no gamma in the file: the reader sets the gamma position for every method
  expect_slots(read_back(path, 2), want, "method 2");

  // The writer accepts only the two computed methods; the document of the others is
  // written by hand here, as another program would.
  for (int method : {10, 11}) {
    in.fill(77.0f);
    for (int i = 0; i < 7; ++i) in[i] = 0.5f + static_cast<float>(i) * 1.5f;
    const std::string fusion = dir.file("fusion.xmp");
    write_file(fusion, embed(method, in));
    want = Record{};
    for (int i = 0; i < (method == 10 ? 7 : 3); ++i) want[i] = in[i];
    want[8] = 50.0f;
    expect_slots(read_back(fusion, method), want, "method " + std::to_string(method));
  }
}

TEST(XmpRoundTrip, OneLineTooLongIsNeverWritten) {
  // Each value line must stay within the reader's 255-byte line limit, even for the widest
  // numbers a float can hold; otherwise the file would silently lose its remaining values.
  TempDir dir;
  Record in;
  in.fill(-3.4028235e38f);
  in[16] = 1.0f;
  const std::string path = dir.file("wide.xmp");
  ASSERT_EQ(write_xmp(path.c_str(), 1, in.data()), 1);
  const Record out = read_back(path, 1);
  EXPECT_EQ(out[14], in[14]);  // the last value line was still reached
  EXPECT_EQ(out[3], in[3]);
}

// ---------------------------------------------------------------------------------------
// Writing: results and failures

TEST(XmpWrite, RefusesMethodsWithoutALayoutWithoutTouchingTheFile) {
  TempDir dir;
  const std::string path = dir.file("keep.xmp");
  write_file(path, "precious");
  const Record r = details_defaults();
  for (int method : {0, 12, -1, 3}) EXPECT_EQ(write_xmp(path.c_str(), method, r.data()), -2);
  EXPECT_EQ(read_file(path), "precious");
  EXPECT_EQ(write_xmp(dir.file("new.xmp").c_str(), 9, r.data()), -2);
  EXPECT_EQ(access(dir.file("new.xmp").c_str(), F_OK), -1);
}

TEST(XmpWrite, ReplacesAnExistingFileKeepingItsPermissions) {
  TempDir dir;
  const std::string path = dir.file("MySettings.xmp");
  write_file(path, std::string(5000, 'x'));  // longer than the document: nothing may remain
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const Record r = details_defaults();
  ASSERT_EQ(write_xmp(path.c_str(), 1, r.data()), 1);
  EXPECT_EQ(read_file(path), embed(1, r));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"MySettings.xmp"});  // no temporary left

  // A new file gets the usual permissions under the umask.
  const mode_t old_mask = umask(022);
  ASSERT_EQ(write_xmp(dir.file("fresh.xmp").c_str(), 2, r.data()), 1);
  umask(old_mask);
  ASSERT_EQ(stat(dir.file("fresh.xmp").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST(XmpWrite, FollowsASymbolicLinkToItsTarget) {
  TempDir dir;
  const std::string target = dir.file("target.xmp");
  const std::string link = dir.file("link.xmp");
  write_file(target, "old");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const Record r = details_defaults();
  ASSERT_EQ(write_xmp(link.c_str(), 1, r.data()), 1);
  struct stat info {};
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(read_file(target), embed(1, r));
}

TEST(XmpWrite, ADanglingLinkGetsItsTargetCreated) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("presets").c_str(), 0755), 0);
  // A relative link, resolved from the link's own folder, through a second link.
  ASSERT_EQ(symlink("presets/Mine.xmp", dir.file("first.xmp").c_str()), 0);
  ASSERT_EQ(symlink("first.xmp", dir.file("link.xmp").c_str()), 0);
  const Record r = details_defaults();
  ASSERT_EQ(write_xmp(dir.file("link.xmp").c_str(), 1, r.data()), 1);
  struct stat info {};
  ASSERT_EQ(lstat(dir.file("link.xmp").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(lstat(dir.file("first.xmp").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(read_file(dir.file("presets/Mine.xmp")), embed(1, r));
  std::vector<std::string> entries = dir.entries();
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"first.xmp", "link.xmp", "presets"}));
}

TEST(XmpWrite, EveryHardLinkSeesTheNewSettings) {
  TempDir dir;
  const std::string path = dir.file("Natural.xmp");
  const std::string other = dir.file("Natural copy.xmp");
  write_file(path, std::string(3000, 'x'));
  ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
  const Record r = details_defaults();
  ASSERT_EQ(write_xmp(other.c_str(), 1, r.data()), 1);
  EXPECT_EQ(read_file(path), embed(1, r));  // cut to the document, nothing of the old left
  EXPECT_EQ(read_file(other), embed(1, r));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_nlink, 2u);
}

// Runs `save` as a user other than root (the nobody account, when the tests run as root;
// else as the calling user) and returns its write_xmp result, or 100 when that is not
// possible here.
int as_plain_user(const std::function<int()> &save) {
  if (geteuid() != 0) return save();
  const pid_t child = fork();
  if (child < 0) return 100;
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    _exit(save() + 10);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 101;
  return WEXITSTATUS(status) == 100 ? 100 : WEXITSTATUS(status) - 10;
}

TEST(XmpWrite, AFileTheUserMayWriteIsWrittenWhereNoTemporaryFileCanBeMade) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string folder = dir.file("locked");
  const std::string path = folder + "/Mine.xmp";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  write_file(path, std::string(3000, 'x'));
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);  // the user's file in a folder of root's
  } else {
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);  // the user's file in a folder made read-only
  }
  const Record r = details_defaults();
  const int result = as_plain_user([&] { return write_xmp(path.c_str(), 1, r.data()); });
  chmod(folder.c_str(), 0755);
  if (result == 100) GTEST_SKIP() << "no other user to save as";
  EXPECT_EQ(result, 1);
  EXPECT_EQ(read_file(path), embed(1, r));
  // A new file needs the folder: still refused, nothing made.
  const int fresh = as_plain_user([&] { return write_xmp((folder + "/New.xmp").c_str(), 1, r.data()); });
  EXPECT_EQ(fresh, -1);
  EXPECT_EQ(access((folder + "/New.xmp").c_str(), F_OK), -1);
}

TEST(XmpWrite, AnotherUsersFileKeepsItsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs a file of another user";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);  // anybody may create files beside it
  const std::string path = dir.file("Shared.xmp");
  write_file(path, "old settings");
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  const Record r = details_defaults();
  const int result = as_plain_user([&] { return write_xmp(path.c_str(), 1, r.data()); });
  if (result == 100) GTEST_SKIP() << "no other user to save as";
  EXPECT_EQ(result, 1);
  EXPECT_EQ(read_file(path), embed(1, r));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 0u);
  EXPECT_EQ(info.st_gid, 0u);
  EXPECT_EQ(info.st_mode & 07777, 0666u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"Shared.xmp"});
}

TEST(XmpWrite, UnopenableDestinationsGiveMinusOne) {
  TempDir dir;
  const Record r = details_defaults();
  // A folder whose parent is a regular file cannot exist, even for root.
  write_file(dir.file("plain"), "x");
  EXPECT_EQ(write_xmp(dir.file("plain/settings.xmp").c_str(), 1, r.data()), -1);
  EXPECT_EQ(write_xmp(dir.file("missing/settings.xmp").c_str(), 1, r.data()), -1);
  // A destination that is a folder stays a folder.
  ASSERT_EQ(mkdir(dir.file("folder.xmp").c_str(), 0755), 0);
  EXPECT_EQ(write_xmp(dir.file("folder.xmp").c_str(), 1, r.data()), -1);
  struct stat info {};
  ASSERT_EQ(stat(dir.file("folder.xmp").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(write_xmp(nullptr, 1, r.data()), -1);
  EXPECT_EQ(write_xmp("", 1, r.data()), -1);
  std::vector<std::string> entries = dir.entries();
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"folder.xmp", "plain"}));
}

TEST(XmpWrite, FailedWriteIsReportedAndLeavesTheExistingFileUnchanged) {
  const Record r = details_defaults();
  if (access("/dev/full", W_OK) == 0) {
    EXPECT_EQ(write_xmp("/dev/full", 1, r.data()), -3);
  }

  // A file size limit makes the write itself fail, for root as for anybody.
  TempDir dir;
  const std::string path = dir.file("Natural.xmp");
  write_file(path, "existing settings");
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int result = write_xmp(path.c_str(), 1, r.data());
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(result, -3);
  EXPECT_EQ(read_file(path), "existing settings");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"Natural.xmp"});
}

// ---------------------------------------------------------------------------------------
// Built-in presets

TEST(XmpPresets, ShippedFilesEqualTheWritersOutput) {
  TempDir dir;
  const std::string shipped = std::string(BRIGHTLOOM_SOURCE_DIR) + "/resources/presets/";
  for (const brightloom::BuiltinPreset &preset : brightloom::kBuiltinPresets) {
    const std::string fresh = dir.file(preset.file);
    ASSERT_EQ(write_xmp(fresh.c_str(), 1, preset.param), 1);
    const std::string bytes = read_file(shipped + preset.file);
    EXPECT_EQ(bytes, read_file(fresh)) << preset.file << ": regenerate with the target regenerate_presets";

    // The dialog lists them for "Details Enhancer" and loads them into a zeroed record.
    EXPECT_EQ(parse_xmp((shipped + preset.file).c_str(), -1, nullptr), 1) << preset.file;
    Record loaded{};
    ASSERT_GT(parse_xmp((shipped + preset.file).c_str(), 1, loaded.data()), 0);
    for (int slot = 0; slot < 20; ++slot) {
      if (slot == 5) continue;  // the level code is not carried in slider mode
      EXPECT_EQ(loaded[slot], preset.param[slot]) << preset.title << " slot " << slot;
    }
  }
  // The fusion presets likewise, read back exactly as their method (no Gamma tag: slot 8 is
  // set to 50 by the reader, and unused by these methods).
  for (const brightloom::BuiltinFusionPreset &preset : brightloom::kBuiltinFusionPresets) {
    const std::string fresh = dir.file(preset.file);
    ASSERT_EQ(write_xmp(fresh.c_str(), preset.method, preset.param), 1);
    EXPECT_EQ(read_file(shipped + preset.file), read_file(fresh)) << preset.file << ": regenerate the presets";
    EXPECT_EQ(parse_xmp((shipped + preset.file).c_str(), -1, nullptr), preset.method) << preset.file;
    Record loaded{};
    ASSERT_GT(parse_xmp((shipped + preset.file).c_str(), preset.method, loaded.data()), 0);
    for (int slot = 0; slot < 8; ++slot) EXPECT_EQ(loaded[slot], preset.param[slot]) << preset.title << " slot " << slot;
  }
}

}  // namespace
