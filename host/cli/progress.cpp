// SPDX-License-Identifier: MIT
#include "progress.h"

#include <algorithm>

namespace brightloom {

using Clock = std::chrono::steady_clock;

Progress::Progress(bool enabled, int total, FILE *out) : enabled_(enabled), total_(total), out_(out) {
  if (enabled_) ticker_ = std::thread([this] { tick_loop(); });
}

Progress::~Progress() {
  if (!enabled_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    clear_status_locked();
  }
  cv_.notify_all();
  ticker_.join();
}

void Progress::started(int index, const std::string &name) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mu_);
  jobs_.push_back(Job{index, name, "reading", Clock::now()});
}

void Progress::stage(int index, const char *stage) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mu_);
  for (Job &j : jobs_)
    if (j.index == index) j.stage = stage;
}

void Progress::finished(int index, const std::string &line) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mu_);
  jobs_.erase(std::remove_if(jobs_.begin(), jobs_.end(), [&](const Job &j) { return j.index == index; }), jobs_.end());
  ++done_;
  clear_status_locked();
  if (!line.empty()) {
    if (total_ > 1)
      std::fprintf(out_, "[%d/%d] %s\n", done_, total_, line.c_str());
    else
      std::fprintf(out_, "%s\n", line.c_str());
  }
  std::fflush(out_);
}

void Progress::print(FILE *stream, const std::string &line) {
  std::lock_guard<std::mutex> lock(mu_);
  if (enabled_) clear_status_locked();
  std::fprintf(stream, "%s\n", line.c_str());
  std::fflush(stream);
}

void Progress::clear_status_locked() {
  if (status_shown_) {
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    status_shown_ = false;
  }
}

void Progress::tick_loop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stop_) {
    cv_.wait_for(lock, std::chrono::milliseconds(250));
    if (stop_) break;
    const auto now = Clock::now();
    std::string status;
    for (const Job &j : jobs_) {
      const double s = std::chrono::duration<double>(now - j.start).count();
      if (s < 1.0) continue;
      char buf[64];
      std::snprintf(buf, sizeof buf, " (%.0f s)", s);
      status += (status.empty() ? "" : " | ") + j.name + ": " + j.stage + buf;
    }
    if (status.empty()) continue;
    if (status.size() > 160) status = status.substr(0, 157) + "...";
    std::fprintf(out_, "\r\033[K%s", status.c_str());
    std::fflush(out_);
    status_shown_ = true;
  }
}

}  // namespace brightloom
