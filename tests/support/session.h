// SPDX-License-Identifier: MIT
// What the tests that run a program as a user does share: a scratch folder, an X server of the
// test's own (Xvfb), shell commands (xdotool), and child processes that are always ended.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace brightloom_test {

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  std::string file(const std::string &name) const;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// Whether a program is on the PATH.
bool have_tool(const char *tool);

// Output of a shell command (stdout), and its exit status.
std::string shell(const std::string &cmd, int *status = nullptr);

// Waits for a child up to `seconds`; its exit code (128 + signal when killed), or -1 when it did
// not end (it is killed).
int wait_for(pid_t pid, int seconds);

// The whole text of a file; empty when it cannot be read.
std::string slurp(const std::string &path);

// An Xvfb server on a free display (chosen by the server: -displayfd); its screen kept as an
// XWD file in fbdir when one is given. display() is empty when the server did not start.
class Xvfb {
 public:
  explicit Xvfb(const std::string &fbdir = "");
  ~Xvfb();
  Xvfb(const Xvfb &) = delete;
  Xvfb &operator=(const Xvfb &) = delete;
  const std::string &display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// A program started in a process group of its own with `env` added to the environment, its
// output (stdout and stderr) in `log`. Whatever it is still running when the object goes, the
// program and everything it started, is killed: a failed check leaves no process behind.
class Child {
 public:
  Child(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &log);
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  // Waits up to `seconds` for the program to end: its exit code, 128 + signal, or -1 when it is
  // still running (it is left running).
  int wait(double seconds);
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = -1;
};

}  // namespace brightloom_test
