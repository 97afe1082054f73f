// SPDX-License-Identifier: MIT
// The cluster recipe against a real Slurm: slurmctld and slurmd started on this machine from a
// generated configuration (scripts/local-slurm.sh), contrib/slurm/brightloom-slurm submitting
// job arrays, and every picture compared with the one a single render writes.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>

#include "commands.h"
#include "support/test_images.h"

using namespace brightloom;
using namespace testing_host;
namespace fs = std::filesystem;

namespace {

const std::string kSource = BRIGHTLOOM_SOURCE_DIR;

// A steady scene with a glint in some frames; `ev` shifts the exposure.
std::vector<float> frame(int w, int h, double ev, bool glint) {
  std::vector<float> rgb(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double l = std::exp(2.5 * std::sin(x * 0.11) * std::cos(y * 0.08) + ev);
      for (int c = 0; c < 3; ++c) rgb[(size_t(y) * w + x) * 3 + c] = float(l * (1.0 - 0.1 * c));
    }
  if (glint) rgb[0] = rgb[1] = rgb[2] = 5e4f;
  return rgb;
}

class Slurm : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cluster_ = std::make_unique<ScratchDir>();
    int status = 0;
    const std::string out = brightloom_test::shell(kSource + "/scripts/local-slurm.sh start " + cluster_->path() +
                                                   " 2 2> " + cluster_->file("start.log"), &status);
    if (status == 0) conf_ = out.substr(0, out.find('\n'));
  }
  static void TearDownTestSuite() {
    // The daemons are stopped whatever became of the tests.
    (void)brightloom_test::shell(kSource + "/scripts/local-slurm.sh stop " + cluster_->path());
    cluster_.reset();
  }
  void SetUp() override {
    if (conf_.empty())
      GTEST_SKIP() << "slurmctld and slurmd could not be started here: "
                   << brightloom_test::slurp(cluster_->file("start.log")) << " (logs in " << cluster_->path() << ")";
    ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
  }

  // Runs the recipe; its exit status and what it printed.
  int submit(const std::string &args, std::string &printed) {
    int status = 0;
    printed = brightloom_test::shell("SLURM_CONF=" + conf_ + " BRIGHTLOOM=" + BRIGHTLOOM_PROGRAM + " timeout 280 " +
                                         kSource + "/contrib/slurm/brightloom-slurm --wait " + args + " 2>&1",
                                     &status);
    return status;
  }

  static std::unique_ptr<ScratchDir> cluster_;
  static std::string conf_;
  ScratchDir dir;
};
std::unique_ptr<ScratchDir> Slurm::cluster_;
std::string Slurm::conf_;

std::vector<std::string> write_frames(const ScratchDir &dir, int n, double ev_step) {
  fs::create_directories(dir.file("in"));
  std::vector<std::string> names;
  for (int i = 1; i <= n; ++i) {
    names.push_back(dir.file("in/frame" + std::to_string(i) + ".exr"));
    write_exr_rgb(names.back(), 64, 48, frame(64, 48, ev_step * i, i % 3 == 0), false);
  }
  return names;
}

}  // namespace

TEST_F(Slurm, AFourTaskArrayRendersWhatOneRenderDoesAndListsFailures) {
  std::vector<std::string> in = write_frames(dir, 9, 0.0);
  write_bytes(dir.file("in/frame5b.exr"), "not an image");
  std::string printed;
  EXPECT_EQ(submit("-n 4 -c 1 " + dir.file("in") + " " + dir.file("out"), printed) >> 8, 1) << printed;
  // The report step names the broken file and counts the rest.
  EXPECT_NE(printed.find("9 of 10 files done, 1 failed, 0 not reported"), std::string::npos) << printed;
  EXPECT_NE(printed.find("frame5b.exr"), std::string::npos) << printed;

  RenderRequest one;
  one.inputs = in;
  one.out_dir = dir.file("one");
  one.threads = 1;  // what --cpus 1 gives each task
  one.quiet = true;
  one.save_last = false;
  Capture out, err;
  ASSERT_EQ(run_render(one, out.f, err.f), kExitOk) << err.text();
  for (const std::string &f : in) {
    const std::string name = fs::path(f).stem().string() + ".png";
    const std::string a = brightloom_test::slurp(dir.file("out/" + name));
    EXPECT_FALSE(a.empty()) << name;
    EXPECT_EQ(a, brightloom_test::slurp(dir.file("one/" + name))) << name;
  }
  // Resubmitted: nothing is rendered again.
  EXPECT_EQ(submit("-n 4 -c 1 " + dir.file("in") + " " + dir.file("out"), printed) >> 8, 1) << printed;
  const std::string report = brightloom_test::slurp(dir.file("out/.brightloom-slurm/report.jsonl"));
  EXPECT_EQ(report.find("\"result\":\"rendered\""), std::string::npos) << report;
}

TEST_F(Slurm, ASequenceRunsAsTwoDependentArraysAndMatchesOneRun) {
  const std::vector<std::string> in = write_frames(dir, 8, 0.05);
  std::string printed;
  ASSERT_EQ(submit("--sequence -n 3 -c 1 " + dir.file("in") + " " + dir.file("out") + " -- --smooth-frames 5",
                   printed),
            0)
      << printed;

  RenderRequest one;
  one.inputs = in;
  one.out_dir = dir.file("one");
  one.threads = 1;
  one.quiet = true;
  one.save_last = false;
  one.sequence = true;
  one.smooth_frames = 5;
  Capture out, err;
  ASSERT_EQ(run_render(one, out.f, err.f), kExitOk) << err.text();
  for (const std::string &f : in) {
    const std::string name = fs::path(f).stem().string() + ".png";
    EXPECT_EQ(brightloom_test::slurp(dir.file("out/" + name)), brightloom_test::slurp(dir.file("one/" + name)))
        << name;
  }
}
