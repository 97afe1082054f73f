// SPDX-License-Identifier: MIT
#include "sequence_stats.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace brightloom {
namespace {

constexpr const char *kMagic = "brightloom-sequence-statistics 1";

// Text fields hold file names: tabs, line feeds and backslashes are escaped.
std::string escape(const std::string &s) {
  std::string o;
  for (char c : s) {
    if (c == '\\')
      o += "\\\\";
    else if (c == '\t')
      o += "\\t";
    else if (c == '\n')
      o += "\\n";
    else
      o += c;
  }
  return o;
}

std::string unescape(const std::string &s) {
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      const char n = s[++i];
      o += n == 't' ? '\t' : n == 'n' ? '\n' : n;
    } else {
      o += s[i];
    }
  }
  return o;
}

std::vector<std::string> split_tabs(const std::string &line) {
  std::vector<std::string> f;
  size_t start = 0;
  for (;;) {
    const size_t t = line.find('\t', start);
    f.push_back(line.substr(start, t == std::string::npos ? std::string::npos : t - start));
    if (t == std::string::npos) return f;
    start = t + 1;
  }
}

// Which fields are positive luminances (smoothed as their logarithms) rather than logarithms.
bool linear_field(int method, int k) {
  return method == 1 && (k == TMLIB_LUM_LOG_AVERAGE || k == TMLIB_LUM_MAX_RATIO || k == TMLIB_LUM_MIN);
}

}  // namespace

Result<FrameValues> measure_statistics(Image &image, const RenderOptions &options) {
  FrameValues v{};
  bool got = false;
  RenderOptions o = options;
  o.on_statistics = [&](float *s) {
    std::copy(s, s + kSequenceStats, v.begin());
    got = true;
  };
  o.cancel = [&got] { return got; };
  auto pic = render(image, o);
  if (got) return v;
  if (!pic) return pic.failure();
  return fail("", "the statistics of the image were not measured");
}

Status write_sequence_stats(const std::string &path, const SequenceStats &stats) {
  std::string text = kMagic;
  text += "\nmethod\t";
  text += stats.method == 2 ? "compressor" : "details";
  text += "\nframes\t";
  text += std::to_string(stats.frames);
  text += "\n# index, measured or failed, settings digest, statistics (or the reason), frame\n";
  for (const FrameStats &r : stats.records) {
    text += std::to_string(r.index);
    text += r.measured ? "\tmeasured\t" : "\tfailed\t";
    text += r.digest;
    text += '\t';
    if (r.measured) {
      char v[40];
      for (int k = 0; k < kSequenceStats; ++k) {
        // Nine significant digits give back the very float, so that a second pass reading the
        // file renders the same pixels as one that kept the figures in memory.
        std::snprintf(v, sizeof v, k ? " %.9g" : "%.9g", double(r.values[size_t(k)]));
        text += v;
      }
    } else {
      text += escape(r.error);
    }
    text += '\t';
    text += escape(r.frame);
    text += '\n';
  }
  const std::filesystem::path target(path);
  std::string hidden = ".";
  hidden += target.filename().string();
  hidden += ".partial";
  const std::string tmp = (target.parent_path() / hidden).string();
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(path, std::string("cannot write the statistics: ") + std::strerror(errno));
  const ssize_t w = ::write(fd, text.data(), text.size());
  const int e = errno;
  const bool ok = w == ssize_t(text.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    const int e2 = ok ? errno : e;
    ::unlink(tmp.c_str());
    return fail(path, std::string("cannot write the statistics: ") + (w >= 0 && ok ? std::strerror(e2) : "disk full?"));
  }
  return Status::success();
}

Result<SequenceStats> read_sequence_stats(const std::string &path) {
  std::ifstream in(path);
  if (!in) return fail(path, "cannot open the statistics file: " + std::string(std::strerror(errno)));
  std::string line;
  if (!std::getline(in, line) || line != kMagic)
    return fail(path, "not a statistics file of brightloom render --sequence --pass measure");
  SequenceStats st;
  int n = 1;
  auto bad = [&](const std::string &why) { return fail(path, "line " + std::to_string(n) + ": " + why); };
  bool have_method = false, have_frames = false;
  while (std::getline(in, line)) {
    ++n;
    if (line.empty() || line[0] == '#') continue;
    const auto f = split_tabs(line);
    if (f.size() == 2 && f[0] == "method") {
      if (f[1] != "details" && f[1] != "compressor") return bad("unknown method " + f[1]);
      st.method = f[1] == "compressor" ? 2 : 1;
      have_method = true;
      continue;
    }
    if (f.size() == 2 && f[0] == "frames") {
      st.frames = std::atoi(f[1].c_str());
      have_frames = st.frames > 0;
      continue;
    }
    if (f.size() != 5 || !have_method || !have_frames) return bad("not a frame record");
    FrameStats r;
    char *end = nullptr;
    const long idx = std::strtol(f[0].c_str(), &end, 10);
    if (f[0].empty() || *end != '\0' || idx < 0 || idx >= st.frames) return bad("frame number out of range");
    r.index = int(idx);
    r.measured = f[1] == "measured";
    if (!r.measured && f[1] != "failed") return bad("neither measured nor failed");
    r.digest = f[2];
    if (r.measured) {
      std::istringstream vs(f[3]);
      for (float &v : r.values)
        if (!(vs >> v)) return bad("fewer than " + std::to_string(kSequenceStats) + " statistics");
    } else {
      r.error = unescape(f[3]);
    }
    r.frame = unescape(f[4]);
    st.records.push_back(std::move(r));
  }
  if (!have_method || !have_frames) return fail(path, "the statistics file names no method or frame count");
  return st;
}

Result<std::vector<FrameStats>> merge_sequence_stats(const std::vector<SequenceStats> &parts,
                                                     const std::vector<std::string> &frames, int method) {
  std::vector<FrameStats> all(frames.size());
  const char *names[] = {"", "Details Enhancer", "Tone Compressor"};
  for (const SequenceStats &p : parts) {
    if (p.method != method)
      return fail("", std::string("the statistics were measured for the ") + names[p.method == 2 ? 2 : 1] +
                          ", the render asks for the " + names[method == 2 ? 2 : 1]);
    if (size_t(p.frames) != frames.size())
      return fail("", "the statistics are of a sequence of " + std::to_string(p.frames) + " frames, not " +
                          std::to_string(frames.size()) + "; give the second pass the frames the first was given");
    for (const FrameStats &r : p.records) {
      if (r.frame != frames[size_t(r.index)])
        return fail(r.frame, "its statistics are those of frame " + std::to_string(r.index + 1) +
                                 ", which is now " + frames[size_t(r.index)] + "; give both passes the same frames");
      FrameStats &slot = all[size_t(r.index)];
      if (slot.index >= 0 && slot.measured && r.measured &&
          (slot.values != r.values || slot.digest != r.digest))
        return fail(r.frame, "measured twice with different results; measure the sequence again");
      if (slot.index < 0 || (r.measured && !slot.measured)) slot = r;
    }
  }
  std::vector<std::string> missing;
  for (size_t i = 0; i < all.size(); ++i)
    if (all[i].index < 0) missing.push_back(frames[i]);
  if (!missing.empty())
    return fail("", std::to_string(missing.size()) + " of " + std::to_string(frames.size()) +
                        " frames have no statistics (first: " + missing.front() +
                        "); did a task of the first pass fail?");
  return all;
}

std::vector<FrameValues> smooth_sequence_stats(int method, const std::vector<FrameStats> &frames, int window) {
  const int n = int(frames.size());
  std::vector<FrameValues> out(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out[size_t(i)] = frames[size_t(i)].values;
  const int h = std::max(0, window / 2);
  if (h == 0 || n == 0) return out;
  std::vector<double> v(static_cast<size_t>(n)), med(static_cast<size_t>(n));
  std::vector<char> ok(static_cast<size_t>(n)), med_ok(static_cast<size_t>(n));
  std::vector<double> win;
  for (int k = 0; k < kSequenceStats; ++k) {
    const bool linear = linear_field(method, k);
    for (int i = 0; i < n; ++i) {
      const FrameStats &f = frames[size_t(i)];
      const double x = f.values[size_t(k)];
      ok[size_t(i)] = f.measured && std::isfinite(x) && (!linear || x > 0);
      v[size_t(i)] = ok[size_t(i)] ? (linear ? std::log(x) : x) : 0.0;
    }
    for (int i = 0; i < n; ++i) {
      win.clear();
      for (int j = std::max(0, i - h); j <= std::min(n - 1, i + h); ++j)
        if (ok[size_t(j)]) win.push_back(v[size_t(j)]);
      med_ok[size_t(i)] = !win.empty();
      if (win.empty()) continue;
      const size_t mid = win.size() / 2;
      std::nth_element(win.begin(), win.begin() + long(mid), win.end());
      double m = win[mid];
      if (win.size() % 2 == 0) m = 0.5 * (m + *std::max_element(win.begin(), win.begin() + long(mid)));
      med[size_t(i)] = m;
    }
    for (int i = 0; i < n; ++i) {
      double sum = 0;
      int cnt = 0;
      for (int j = std::max(0, i - h); j <= std::min(n - 1, i + h); ++j)
        if (med_ok[size_t(j)]) {
          sum += med[size_t(j)];
          ++cnt;
        }
      if (cnt == 0) continue;  // no frame of the window measured this field: keep the frame's own
      const double s = sum / cnt;
      out[size_t(i)][size_t(k)] = float(linear ? std::exp(s) : s);
    }
  }
  return out;
}

}  // namespace brightloom
