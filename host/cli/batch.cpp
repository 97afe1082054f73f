// SPDX-License-Identifier: MIT
#include "batch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <numeric>

namespace brightloom {

Result<Shard> parse_shard(const std::string &text) {
  const size_t slash = text.find('/');
  auto number = [](const std::string &s, int &v) {
    if (s.empty() || s.size() > 6 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    v = std::stoi(s);
    return true;
  };
  Shard sh;
  if (slash == std::string::npos || !number(text.substr(0, slash), sh.index) ||
      !number(text.substr(slash + 1), sh.count))
    return fail("", "--shard takes K/N, the K-th of N parts (for example 3/8), not '" + text + "'");
  if (sh.count < 1 || sh.index < 1 || sh.index > sh.count)
    return fail("", "--shard " + text + ": K must be 1 to N");
  return sh;
}

bool natural_less(const std::string &a, const std::string &b) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      // Compare the runs by value: skip leading zeros, then the longer run is the larger.
      size_t si = i, sj = j;
      while (si < a.size() && a[si] == '0') ++si;
      while (sj < b.size() && b[sj] == '0') ++sj;
      size_t ei = si, ej = sj;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      const int c = a.compare(si, ei - si, b, sj, ej - sj);
      if (c != 0) return c < 0;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return (unsigned char)a[i] < (unsigned char)b[j];
    ++i;
    ++j;
  }
  if (i < a.size() || j < b.size()) return j < b.size() && i >= a.size();
  return a < b;  // equal by value: leading zeros decide
}

std::vector<size_t> natural_order(const std::vector<std::string> &inputs) {
  std::vector<size_t> order(inputs.size());
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t x, size_t y) { return natural_less(inputs[x], inputs[y]); });
  return order;
}

std::vector<size_t> shard_positions(const std::vector<std::string> &inputs, const Shard &shard) {
  const std::vector<size_t> order = natural_order(inputs);
  std::vector<size_t> mine;
  for (size_t i = size_t(shard.index - 1); i < order.size(); i += size_t(shard.count)) mine.push_back(order[i]);
  return mine;
}

std::string settings_digest(int method, const float *param, int param_count, const std::string &format, int bits,
                            int quality) {
  // FNV-1a over a canonical text: the same settings give the same digest on every machine.
  std::string text = "method=" + std::to_string(method);
  char v[32];
  for (int i = 0; i < param_count; ++i) {
    std::snprintf(v, sizeof v, ";%.9g", double(param[i]));
    text += v;
  }
  text += ";format=" + format + ";bits=" + std::to_string(bits);
  if (format == "jpeg") text += ";quality=" + std::to_string(quality);
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  std::snprintf(v, sizeof v, "%016llx", (unsigned long long)h);
  return v;
}

int64_t peak_memory_bytes() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return int64_t(std::atoll(line.c_str() + 6)) * 1024;
  return 0;
}

void reset_peak_memory() {
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)!::write(fd, "5", 1);
  ::close(fd);
}

std::string json_string(const std::string &s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        o += "\\\"";
        break;
      case '\\':
        o += "\\\\";
        break;
      case '\n':
        o += "\\n";
        break;
      case '\t':
        o += "\\t";
        break;
      default:
        if (c < 0x20) {
          char u[8];
          std::snprintf(u, sizeof u, "\\u%04x", c);
          o += u;
        } else {
          o += char(c);
        }
    }
  }
  return o + "\"";
}

std::string to_json(const ReportLine &l) {
  char num[96];
  std::string o = "{\"input\":" + json_string(l.input) + ",\"output\":" + json_string(l.output) +
                  ",\"method\":" + json_string(l.method) +
                  ",\"settings_digest\":" + (l.digest.empty() ? std::string("null") : json_string(l.digest));
  std::snprintf(num, sizeof num, ",\"seconds\":%.3f,\"peak_memory_bytes\":%lld", l.seconds, (long long)l.peak_memory);
  o += num;
  o += ",\"result\":" + json_string(l.result);
  o += ",\"error\":" + (l.error.empty() ? std::string("null") : json_string(l.error));
  return o + "}\n";
}

Report::~Report() {
  if (fd_ >= 0) ::close(fd_);
}

Status Report::open(const std::string &path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) return fail(path, std::string("cannot create the report: ") + std::strerror(errno));
  path_ = path;
  return Status::success();
}

void Report::add(const ReportLine &line, FILE *err) {
  if (fd_ < 0) return;
  const std::string text = to_json(line);
  std::lock_guard<std::mutex> lock(mu_);
  const ssize_t w = ::write(fd_, text.data(), text.size());
  if (w != ssize_t(text.size()) && !failed_) {
    failed_ = true;
    std::fprintf(err, "brightloom: %s: cannot write the report (%s); the render goes on\n", path_.c_str(),
                 w < 0 ? std::strerror(errno) : "short write");
  }
}

}  // namespace brightloom
