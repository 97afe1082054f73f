// SPDX-License-Identifier: MIT
// A buffer whose last byte lies right before an inaccessible page, so that a function reading
// even one byte past the caller's buffer kills the test. The sanitizers do not watch memory
// mapped this way; the page protection does.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace tmlib::test {

class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t bytes) : bytes_(bytes) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t dataPages = (bytes + page - 1) / page;
    mapped_ = (dataPages + 1) * page;
    void *base = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<unsigned char *>(base);
    if (mprotect(base_ + dataPages * page, page, PROT_NONE) != 0) {
      munmap(base_, mapped_);
      throw std::runtime_error("mprotect failed");
    }
    data_ = base_ + dataPages * page - bytes;
  }
  // A guarded copy of v: its last element is the last readable one.
  template <typename T>
  static GuardedBuffer copy_of(const std::vector<T> &v) {
    GuardedBuffer g(v.size() * sizeof(T));
    std::memcpy(g.data_, v.data(), g.bytes_);
    return g;
  }
  GuardedBuffer(GuardedBuffer &&o) noexcept : base_(o.base_), data_(o.data_), mapped_(o.mapped_), bytes_(o.bytes_) {
    o.base_ = nullptr;
  }
  GuardedBuffer(const GuardedBuffer &) = delete;
  GuardedBuffer &operator=(const GuardedBuffer &) = delete;
  GuardedBuffer &operator=(GuardedBuffer &&) = delete;
  ~GuardedBuffer() {
    if (base_ != nullptr) munmap(base_, mapped_);
  }

  template <typename T>
  T *as() const {
    return reinterpret_cast<T *>(data_);
  }
  std::size_t size() const { return bytes_; }

 private:
  unsigned char *base_ = nullptr;
  unsigned char *data_ = nullptr;
  std::size_t mapped_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace tmlib::test
