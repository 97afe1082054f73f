// SPDX-License-Identifier: MIT
// Batches that split across machines and resume: the shard of a batch each node renders, the
// JSON Lines report of what became of every input, and the figures that report carries.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "result.h"

namespace brightloom {

// --shard K/N: the K-th of N parts of the batch (1 <= K <= N).
struct Shard {
  int index = 1;
  int count = 1;
};
// "K/N"; a usage failure that says what is wrong otherwise.
Result<Shard> parse_shard(const std::string &text);

// Names in the order people number files: runs of digits compare by value, so frame9 comes
// before frame10; otherwise byte by byte (no locale: every node sorts alike). Names equal
// by that rule (frame07, frame7) fall back to plain byte order, so the order is total.
bool natural_less(const std::string &a, const std::string &b);

// The positions, in `inputs`, of the batch's inputs in natural order.
std::vector<size_t> natural_order(const std::vector<std::string> &inputs);

// The positions (in `inputs`) of the shard's inputs, in natural order: the inputs are sorted,
// and the i-th of the sorted list belongs to shard (i mod N) + 1. Every node given the same
// list picks the same files, and the N shards together hold every input exactly once.
std::vector<size_t> shard_positions(const std::vector<std::string> &inputs, const Shard &shard);

// A short fingerprint of what decides a picture's pixels and file: the method, the resolved
// settings record, the output format, bits and (JPEG) quality. 16 hex digits.
std::string settings_digest(int method, const float *param, int param_count, const std::string &format, int bits,
                            int quality);

// Resident memory high-water mark of this process, in bytes (0 when unknown), and its reset
// (Linux: clear_refs 5), so that one file's peak can be told from the last one's.
int64_t peak_memory_bytes();
void reset_peak_memory();

// One record of the report.
struct ReportLine {
  std::string input;
  std::string output;
  std::string method;  // "details", "compressor"
  std::string digest;  // empty: not known (a skipped picture is not read)
  double seconds = 0;
  int64_t peak_memory = 0;
  std::string result;  // "rendered", "skipped", "measured", "failed"
  std::string error;   // the reason, for "failed"
};

// JSON text of a string, quotes included.
std::string json_string(const std::string &s);
std::string to_json(const ReportLine &line);

// The report file: one JSON object a line, each written whole with one system call and
// flushed, so that a run killed half-way leaves the lines of what it finished, all parseable.
class Report {
 public:
  Report() = default;
  ~Report();
  Report(const Report &) = delete;
  Report &operator=(const Report &) = delete;
  // Creates (or empties) path; a failure names the file and the reason.
  Status open(const std::string &path);
  bool is_open() const { return fd_ >= 0; }
  // Thread-safe; a write that fails is told once on err and the render goes on.
  void add(const ReportLine &line, FILE *err);

 private:
  std::mutex mu_;
  int fd_ = -1;
  std::string path_;
  bool failed_ = false;
};

}  // namespace brightloom
