// SPDX-License-Identifier: MIT
// Owned byte buffers with sizes checked in 64 bits before allocating, so that an image whose
// buffers cannot be represented is refused instead of wrapping to a small allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace brightloom {

class Buffer {
 public:
  Buffer() = default;

  // count × elemSize bytes (zeroed when asked); an empty buffer when the product overflows,
  // exceeds what the machine can address, or the allocation fails.
  static Buffer allocate(int64_t count, int64_t elemSize, bool zeroed = false) {
    Buffer b;
    int64_t bytes = 0;
    if (count < 0 || elemSize <= 0 || __builtin_mul_overflow(count, elemSize, &bytes)) return b;
    if (static_cast<uint64_t>(bytes) > static_cast<uint64_t>(PTRDIFF_MAX)) return b;
    size_t n = bytes == 0 ? 1 : static_cast<size_t>(bytes);
    void *p = zeroed ? std::calloc(n, 1) : std::malloc(n);
    if (p == nullptr) return b;
    b.p_.reset(static_cast<unsigned char *>(p));
    b.size_ = static_cast<size_t>(bytes);
    return b;
  }

  // A copy of size bytes of src; empty when the allocation fails.
  static Buffer copy_of(const void *src, size_t size) {
    Buffer b = allocate(static_cast<int64_t>(size), 1);
    if (b && size > 0) std::memcpy(b.data(), src, size);
    return b;
  }

  explicit operator bool() const { return p_ != nullptr; }
  unsigned char *data() { return p_.get(); }
  const unsigned char *data() const { return p_.get(); }
  template <class T>
  T *as() {
    return reinterpret_cast<T *>(p_.get());
  }
  template <class T>
  const T *as() const {
    return reinterpret_cast<const T *>(p_.get());
  }
  size_t size() const { return size_; }
  void reset() {
    p_.reset();
    size_ = 0;
  }

  // Gives the tail of the buffer back to the system; keeps the contents up to size.
  void shrink(size_t size) {
    if (!p_ || size >= size_ || size == 0) return;
    void *q = std::realloc(p_.get(), size);
    if (q == nullptr) return;  // keeping the larger block is harmless
    (void)p_.release();
    p_.reset(static_cast<unsigned char *>(q));
    size_ = size;
  }

 private:
  struct Free {
    void operator()(unsigned char *p) const { std::free(p); }
  };
  std::unique_ptr<unsigned char[], Free> p_;
  size_t size_ = 0;
};

}  // namespace brightloom
