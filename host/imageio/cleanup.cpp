// SPDX-License-Identifier: MIT
#include "cleanup.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace brightloom {
namespace {

// A fixed table, so that the signal handler touches no allocator: each slot's state is
// published with an atomic store after its path has been written.
constexpr int kSlots = 256;
constexpr size_t kPathMax = 1024;
enum : int { kFree = 0, kBusy = 1, kFile = 2, kFolder = 3 };

struct Slot {
  std::atomic<int> state{kFree};
  char path[kPathMax];
};
Slot g_slots[kSlots];

int claim(const char *path, int kind) {
  const size_t n = std::strlen(path);
  if (n + 1 > kPathMax) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (g_slots[i].state.compare_exchange_strong(expected, kBusy)) {
      std::memcpy(g_slots[i].path, path, n + 1);
      g_slots[i].state.store(kind);
      return i;
    }
  }
  return -1;
}

void on_signal(int sig) {
  for (int pass : {kFile, kFolder})
    for (Slot &s : g_slots)
      if (s.state.load() == pass) {
        if (pass == kFile)
          ::unlink(s.path);
        else
          ::rmdir(s.path);
      }
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

void install_interrupt_cleanup() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

int register_temp_file(const char *path) { return claim(path, kFile); }
int register_temp_folder(const char *path) { return claim(path, kFolder); }

void unregister_temp(int slot) {
  if (slot >= 0 && slot < kSlots) g_slots[slot].state.store(kFree);
}

}  // namespace brightloom
