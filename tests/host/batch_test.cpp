// SPDX-License-Identifier: MIT
// Batches split across machines and resumed, and time-lapse sequences: shards that cover the
// batch once whatever order the shell lists it in, a report that accounts for every input, a
// killed run that resumes without redoing a finished picture, and sequences whose sharded
// passes give the pictures of one run, with glints that no longer move the whole frame.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "batch.h"
#include "commands.h"
#include "sequence_stats.h"
#include "support/test_images.h"

using namespace brightloom;
using namespace testing_host;
namespace fs = std::filesystem;

namespace {

// A flat JSON object of strings, numbers and null, as the report writes them; empty when the
// line is not one (which fails the test that reads it).
std::map<std::string, std::string> parse_json_object(const std::string &s) {
  std::map<std::string, std::string> m;
  size_t i = 0;
  auto ws = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\n')) ++i;
  };
  auto str = [&](std::string &out) {
    if (i >= s.size() || s[i] != '"') return false;
    for (++i; i < s.size() && s[i] != '"'; ++i) {
      if (s[i] == '\\') {
        if (++i >= s.size()) return false;
        out += s[i] == 'n' ? '\n' : s[i] == 't' ? '\t' : s[i];
      } else if ((unsigned char)s[i] < 0x20) {
        return false;
      } else {
        out += s[i];
      }
    }
    return i++ < s.size();
  };
  ws();
  if (i >= s.size() || s[i++] != '{') return {};
  for (;;) {
    ws();
    std::string key, value;
    if (!str(key)) return {};
    ws();
    if (i >= s.size() || s[i++] != ':') return {};
    ws();
    if (i < s.size() && s[i] == '"') {
      if (!str(value)) return {};
    } else if (s.compare(i, 4, "null") == 0) {
      value = "(null)";
      i += 4;
    } else {
      const size_t start = i;
      while (i < s.size() && (std::isdigit((unsigned char)s[i]) || s[i] == '.' || s[i] == '-' || s[i] == 'e')) ++i;
      if (i == start) return {};
      value = s.substr(start, i - start);
    }
    m[key] = value;
    ws();
    if (i < s.size() && s[i] == ',') {
      ++i;
      continue;
    }
    if (i < s.size() && s[i] == '}' && s.find_first_not_of(" \n", i + 1) == std::string::npos) return m;
    return {};
  }
}

std::vector<std::map<std::string, std::string>> read_report(const std::string &path) {
  std::vector<std::map<std::string, std::string>> lines;
  std::istringstream in(brightloom_test::slurp(path));
  for (std::string line; std::getline(in, line);) {
    lines.push_back(parse_json_object(line));
    EXPECT_FALSE(lines.back().empty()) << "not a JSON object: " << line;
  }
  return lines;
}

// A scene with smooth structure over about 8 stops, exposure `ev`, and `glints` points of
// `glint` times the scene's maximum in the top-left corner (what comes and goes in a frame:
// a specular highlight, a headlight).
std::vector<float> scene(int w, int h, double ev, int glints, double glint) {
  std::vector<float> rgb(size_t(w) * h * 3);
  const double scale = std::exp2(ev);
  double peak = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double l = std::exp(2.8 * std::sin(x * 0.09) * std::cos(y * 0.07) + 0.02 * x) * scale;
      float *p = &rgb[(size_t(y) * w + x) * 3];
      p[0] = float(l * 1.1);
      p[1] = float(l);
      p[2] = float(l * 0.8);
      peak = std::max(peak, l * 1.1);
    }
  for (int g = 0; g < glints; ++g) {
    float *p = &rgb[(size_t(1 + 2 * g) * w + 1 + 3 * g) * 3];
    p[0] = p[1] = p[2] = float(peak * glint);
  }
  return rgb;
}

std::string bytes_of(const std::string &path) { return brightloom_test::slurp(path); }

class Batch : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1); }

  // n frames of w x h named f1.exr .. fn.exr, a glint of 300 x the maximum in those listed.
  std::vector<std::string> frames(int n, int w, int h, const std::set<int> &glinting = {}) {
    std::vector<std::string> names;
    fs::create_directories(dir.file("in"));
    for (int i = 1; i <= n; ++i) {
      names.push_back(dir.file("in/f" + std::to_string(i) + ".exr"));
      write_exr_rgb(names.back(), w, h, scene(w, h, 0.0, glinting.count(i) ? 2 : 0, 300.0), false);
    }
    return names;
  }

  RenderRequest request(std::vector<std::string> inputs, const std::string &out) {
    RenderRequest r;
    r.inputs = std::move(inputs);
    r.out_dir = dir.file(out);
    r.quiet = true;
    r.threads = 1;
    r.save_last = false;
    return r;
  }

  int run(const RenderRequest &r) {
    Capture out;
    const int rc = run_render(r, out.f, err.f);
    return rc;
  }

  ScratchDir dir;
  Capture err;
};

}  // namespace

TEST(Shards, EveryInputFallsInExactlyOneShardWhateverOrderTheListComesIn) {
  std::vector<std::string> names;
  for (int i = 1; i <= 23; ++i) names.push_back("frames/f" + std::to_string(i) + ".exr");
  names.push_back("frames/f007.exr");  // equal by value to f7: still a total order
  names.push_back("a b/Z.hdr");
  std::vector<std::string> shuffled = names;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));

  for (int n : {1, 3, 4, 7, 40}) {
    std::multiset<std::string> seen;
    for (int k = 1; k <= n; ++k) {
      std::vector<std::string> a, b;
      for (size_t i : shard_positions(names, {k, n})) a.push_back(names[i]);
      for (size_t i : shard_positions(shuffled, {k, n})) b.push_back(shuffled[i]);
      EXPECT_EQ(a, b) << "shard " << k << "/" << n << " depends on the order of the list";
      seen.insert(a.begin(), a.end());
    }
    EXPECT_EQ(seen, std::multiset<std::string>(names.begin(), names.end())) << n << " shards";
  }
  // Natural order: frame numbers by value.
  std::vector<std::string> sorted;
  for (size_t i : natural_order(shuffled)) sorted.push_back(shuffled[i]);
  const auto at = [&](const std::string &s) { return std::find(sorted.begin(), sorted.end(), s) - sorted.begin(); };
  EXPECT_LT(at("frames/f9.exr"), at("frames/f10.exr"));
  EXPECT_LT(at("frames/f2.exr"), at("frames/f19.exr"));
  EXPECT_LT(at("frames/f007.exr"), at("frames/f7.exr"));

  for (const char *bad : {"0/3", "4/3", "3", "1/0", "a/b", "1/2/3", "-1/2"}) EXPECT_FALSE(parse_shard(bad)) << bad;
  auto ok = parse_shard("3/8");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->index, 3);
  EXPECT_EQ(ok->count, 8);
}

TEST_F(Batch, TheReportAccountsForEveryInputAndTheExitCodeForFailures) {
  std::vector<std::string> in = frames(4, 40, 30);
  write_bytes(dir.file("in/broken.exr"), std::string("\x76\x2f\x31\x01garbage", 11));
  in.push_back(dir.file("in/broken.exr"));

  RenderRequest r = request(in, "out");
  r.report = dir.file("report.jsonl");
  r.method = "compressor";
  r.jobs = 2;
  EXPECT_EQ(run(r), kExitSomeFailed);
  auto lines = read_report(r.report);
  ASSERT_EQ(lines.size(), in.size());
  std::set<std::string> inputs;
  for (auto &l : lines) {
    inputs.insert(l["input"]);
    EXPECT_EQ(l["method"], "compressor");
    EXPECT_GT(std::atof(l["peak_memory_bytes"].c_str()), 1e6);
    if (l["input"] == dir.file("in/broken.exr")) {
      EXPECT_EQ(l["result"], "failed");
      EXPECT_NE(l["error"].find("cannot read the OpenEXR file"), std::string::npos) << l["error"];
    } else {
      EXPECT_EQ(l["result"], "rendered");
      EXPECT_EQ(l["error"], "(null)");
      EXPECT_EQ(l["settings_digest"].size(), 16u);
      EXPECT_TRUE(fs::is_regular_file(l["output"])) << l["output"];
    }
  }
  EXPECT_EQ(inputs, std::set<std::string>(in.begin(), in.end()));
  // One digest for one set of settings; another set, another digest.
  EXPECT_EQ(lines[0]["settings_digest"], lines[1]["settings_digest"]);
  RenderRequest other = request({in[0]}, "other");
  other.report = dir.file("other.jsonl");
  other.method = "compressor";
  other.sets = {"Contrast=3"};
  EXPECT_EQ(run(other), kExitOk);
  EXPECT_NE(read_report(other.report).at(0)["settings_digest"], lines[0]["settings_digest"]);

  // Resumed: the finished pictures are skipped, the broken file still fails; a shard reports
  // its own inputs only. Usage errors are told apart from failures.
  r.skip_existing = true;
  r.shard = "1/2";  // natural order: broken, f1, f2, f3, f4
  EXPECT_EQ(run(r), kExitSomeFailed);
  EXPECT_EQ(read_report(r.report).size(), 3u);
  r.shard = "2/2";
  r.report = dir.file("report2.jsonl");
  r.save_last = true;
  EXPECT_EQ(run(r), kExitOk);
  for (auto &l : read_report(r.report)) EXPECT_EQ(l["result"], "skipped") << l["input"];
  // Pictures left as they were were rendered with settings this run never resolved.
  EXPECT_FALSE(fs::exists(dir.file("config/brightloom/last-settings.xmp")));
  r.shard = "3/2";
  EXPECT_EQ(run(r), kExitUsage);
}

TEST_F(Batch, AKilledRunResumesAndRedoesNothingComplete) {
  const std::vector<std::string> in = frames(6, 320, 200);
  const std::string out = dir.file("out");
  {
    std::vector<std::string> argv = {BRIGHTLOOM_PROGRAM, "render"};
    argv.insert(argv.end(), in.begin(), in.end());
    for (const char *a : {"--out-dir", out.c_str(), "--threads", "1", "-q"}) argv.push_back(a);
    auto child = std::make_unique<brightloom_test::Child>(argv, std::vector<std::string>{}, dir.file("run.log"));
    ASSERT_TRUE(child->started());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto pictures = [&] {
      int n = 0;
      std::error_code ec;
      for (const auto &e : fs::directory_iterator(out, ec)) n += e.path().extension() == ".png";
      return n;
    };
    while (pictures() < 2 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    child.reset();  // SIGKILL to the whole process group
  }
  // What the killed run left: whole pictures under their names, at most a hidden partial file.
  std::map<std::string, std::pair<ino_t, int64_t>> before;
  for (const auto &e : fs::directory_iterator(out)) {
    if (e.path().extension() != ".png") continue;
    struct stat st{};
    ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
    before[e.path().string()] = {st.st_ino, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
  }
  ASSERT_GE(before.size(), 2u);
  ASSERT_LT(before.size(), in.size()) << "the run ended before it could be killed; use larger frames";

  RenderRequest r = request(in, "out");
  r.skip_existing = true;
  r.report = dir.file("resume.jsonl");
  EXPECT_EQ(run(r), kExitOk) << err.text();
  size_t skipped = 0;
  for (auto &l : read_report(r.report)) {
    const bool was_there = before.count(l["output"]) > 0;
    EXPECT_EQ(l["result"], was_there ? "skipped" : "rendered") << l["output"];
    skipped += was_there;
  }
  EXPECT_EQ(skipped, before.size());
  for (const auto &[path, id] : before) {
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, id.first) << path << " was written again";
    EXPECT_EQ(int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, id.second) << path;
  }
  // Every picture, resumed or not, is the one an uninterrupted run writes.
  RenderRequest fresh = request(in, "fresh");
  EXPECT_EQ(run(fresh), kExitOk);
  for (const std::string &f : in) {
    const std::string name = fs::path(f).stem().string() + ".png";
    EXPECT_EQ(bytes_of(out + "/" + name), bytes_of(dir.file("fresh/" + name))) << name;
  }
}

TEST(SequenceStats, SmoothingCalmsWhatComesAndGoesAndFollowsRealChange) {
  // Details Enhancer records: field 1 (maximum / average) jumps with glints in about a quarter
  // of the frames, field 3 (the log median) follows a slow real change; frame 60 could not be
  // measured.
  const int n = 120;
  std::mt19937 rng(3);
  std::vector<FrameStats> frames(n);
  for (int i = 0; i < n; ++i) {
    FrameStats &f = frames[size_t(i)];
    f.measured = i != 60;
    f.values = {0.2f, 1000.0f, 1e-4f, -1.0f + 0.01f * i, -2.0f, -0.5f, 1.0f};
    if (rng() % 4 == 0) f.values[1] *= 5.0f + float(rng() % 500);
    if (!f.measured) f.values.fill(std::nanf(""));
  }
  const auto smooth = smooth_sequence_stats(1, frames, 25);
  ASSERT_EQ(smooth.size(), frames.size());
  auto step_rms = [&](auto value) {
    double s = 0;
    int c = 0;
    for (int i = 1; i < n; ++i)
      if (frames[size_t(i)].measured && frames[size_t(i - 1)].measured) {
        s += std::pow(std::log(value(i)) - std::log(value(i - 1)), 2);
        ++c;
      }
    return std::sqrt(s / c);
  };
  const double raw = step_rms([&](int i) { return frames[size_t(i)].values[1]; });
  const double calm = step_rms([&](int i) { return smooth[size_t(i)][1]; });
  EXPECT_LT(calm * 20, raw) << "glints still move the maximum from frame to frame";
  // The running median and mean give a steady change back as it is, but for the half step the
  // unmeasured frame takes from the windows that hold it.
  double worst_trend = 0;
  for (int i = 24; i < n - 24; ++i)
    worst_trend = std::max(worst_trend, double(std::fabs(smooth[size_t(i)][3] - (-1.0f + 0.01f * i))));
  EXPECT_LT(worst_trend, 0.006) << "a steady change is not followed";
  EXPECT_NEAR(smooth[60][3], -0.4, 0.006);
  // A window of one frame is the frame's own figures.
  const auto own = smooth_sequence_stats(1, frames, 1);
  for (int i = 0; i < n; ++i) EXPECT_TRUE(i == 60 || own[size_t(i)] == frames[size_t(i)].values) << i;
}

// One frame of a steady scene holds glints of 300 x the maximum. Rendered frame by frame, that
// frame comes out with another level everywhere; with --sequence it looks like its neighbours.
// The sharded passes (statistics files merged) give the pictures of one run.
class SequenceRender : public Batch, public ::testing::WithParamInterface<const char *> {};

TEST_P(SequenceRender, GlintsNoLongerMoveTheFrameAndShardsGiveOneRunsPictures) {
  const std::vector<std::string> in = frames(7, 96, 64, {4});
  auto level = [](const std::string &png) {
    // Mean 8-bit green level away from the top-left corner.
    ReadBack r = read_png_back(png);
    double s = 0;
    int c = 0;
    for (int y = 16; y < r.height; ++y)
      for (int x = 16; x < r.width; ++x, ++c) s += r.samples[(size_t(y) * r.width + x) * r.spp + 1];
    return s / c;
  };
  RenderRequest plain = request(in, "plain");
  plain.method = GetParam();
  ASSERT_EQ(run(plain), kExitOk) << err.text();
  const double jump_plain = std::fabs(level(dir.file("plain/f4.png")) - level(dir.file("plain/f3.png")));
  ASSERT_GT(jump_plain, 2.0) << "the glint does not disturb a frame rendered alone: nothing to measure";

  RenderRequest all = plain;
  all.out_dir = dir.file("all");
  all.sequence = true;
  all.smooth_frames = 5;
  ASSERT_EQ(run(all), kExitOk) << err.text();
  const double jump_seq = std::fabs(level(dir.file("all/f4.png")) - level(dir.file("all/f3.png")));
  EXPECT_LT(jump_seq * 5, jump_plain) << jump_seq << " vs " << jump_plain;

  // Two shards: measure each, then render each from both statistics files.
  RenderRequest part = all;
  part.out_dir = dir.file("sharded");
  for (int k = 1; k <= 2; ++k) {
    part.pass = "measure";
    part.shard = std::to_string(k) + "/2";
    part.stats_files = {dir.file("part" + std::to_string(k) + ".stats")};
    ASSERT_EQ(run(part), kExitOk) << err.text();
  }
  part.pass = "render";
  part.stats_files = {dir.file("part2.stats")};
  EXPECT_EQ(run(part), kExitUsage) << "a shard's statistics are missing";
  EXPECT_NE(err.text().find("frames have no statistics"), std::string::npos) << err.text();
  part.stats_files = {dir.file("part1.stats"), dir.file("part2.stats")};
  for (int k = 1; k <= 2; ++k) {
    part.shard = std::to_string(k) + "/2";
    ASSERT_EQ(run(part), kExitOk) << err.text();
  }
  for (int i = 1; i <= 7; ++i) {
    const std::string name = "/f" + std::to_string(i) + ".png";
    EXPECT_EQ(bytes_of(dir.file("sharded") + name), bytes_of(dir.file("all") + name)) << name;
  }
  // Other settings than the ones measured with: refused frame by frame, not rendered wrongly.
  part.out_dir = dir.file("changed");
  part.sets = {GetParam() == std::string("compressor") ? "Contrast=4" : "WhiteClip=3"};
  EXPECT_EQ(run(part), kExitSomeFailed);
  EXPECT_NE(err.text().find("measured with other settings"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Methods, SequenceRender, ::testing::Values("details", "compressor"));
