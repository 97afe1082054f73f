// SPDX-License-Identifier: MIT
// Progress on a terminal: one line per finished file of a batch, and a status line naming the
// stage of every file that has been working for more than a second. Silent when disabled.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brightloom {

class Progress {
 public:
  Progress(bool enabled, int total, FILE *out = stderr);
  ~Progress();
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  void started(int index, const std::string &name);
  void stage(int index, const char *stage);
  // Ends the file's status and prints its permanent line (when enabled).
  void finished(int index, const std::string &line);
  // Prints a line now, clearing the status line first (errors must always be visible).
  void print(FILE *stream, const std::string &line);
  bool enabled() const { return enabled_; }

 private:
  struct Job {
    int index;
    std::string name;
    std::string stage;
    std::chrono::steady_clock::time_point start;
  };
  void tick_loop();
  void clear_status_locked();

  const bool enabled_;
  const int total_;
  FILE *out_;
  int done_ = 0;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool status_shown_ = false;
  std::vector<Job> jobs_;
  std::thread ticker_;
};

}  // namespace brightloom
