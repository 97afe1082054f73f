// SPDX-License-Identifier: MIT
#include "session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace brightloom_test {
namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  std::string tmpl = (fs::temp_directory_path() / "brightloom-test-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string ScratchDir::file(const std::string &name) const { return path_ + "/" + name; }

bool have_tool(const char *tool) {
  return std::system(("command -v " + std::string(tool) + " > /dev/null 2>&1").c_str()) == 0;
}

std::string shell(const std::string &cmd, int *status) {
  std::string out;
  FILE *p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[512];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = ::pclose(p);
  if (status) *status = st;
  return out;
}

int wait_for(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    int st = 0;
    if (::waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

Xvfb::Xvfb(const std::string &fbdir) {
  int fds[2];
  if (::pipe(fds) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(fds[0]);
    const std::string fd = std::to_string(fds[1]);
    std::vector<const char *> argv = {"Xvfb", "-displayfd",   fd.c_str(),  "-screen",
                                      "0",    "1280x1024x24", "-nolisten", "tcp"};
    if (!fbdir.empty()) {
      argv.push_back("-fbdir");
      argv.push_back(fbdir.c_str());
    }
    argv.push_back(nullptr);
    ::execvp("Xvfb", const_cast<char *const *>(argv.data()));
    ::_exit(127);
  }
  ::close(fds[1]);
  pollfd p{fds[0], POLLIN, 0};
  std::string number;
  char c;
  while (::poll(&p, 1, 20000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(fds[0]);
  if (!number.empty()) display_ = ":" + number;
}

Xvfb::~Xvfb() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

Child::Child(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &log) {
  if (argv.empty()) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);
    for (const std::string &e : env) ::putenv(const_cast<char *>(e.c_str()));
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::close(fd);
    }
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  // Also here, so that the group exists before the destructor may need it.
  if (pid_ > 0) ::setpgid(pid_, pid_);
}

int Child::wait(double seconds) {
  if (pid_ <= 0) return -1;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!ended_) {
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      ended_ = true;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      break;
    }
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return status_;
}

Child::~Child() {
  if (pid_ <= 0) return;
  // The group outlives its leader when the program left helpers running (plug-ins, say).
  ::kill(-pid_, SIGKILL);
  if (!ended_) ::waitpid(pid_, nullptr, 0);
}

}  // namespace brightloom_test
