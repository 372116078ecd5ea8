#include "core/support/buffer.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace quorvane {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

double* allocate(std::size_t n) {
  // Sizes whose byte count, or its rounding up to whole huge pages, would not
  // fit in a size_t cannot be allocated (the rounding would otherwise wrap to a
  // tiny block).
  if (n > (SIZE_MAX - (kHugePage - 1)) / sizeof(double)) throw AllocationFailure(n);
  std::size_t bytes = n * sizeof(double);
  void* p = nullptr;
  if (bytes >= kHugePage) {
    std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    p = std::aligned_alloc(kHugePage, rounded);
#if defined(MADV_HUGEPAGE)
    // Advice only: a kernel without transparent huge pages ignores it. Where
    // the system has no such advice (macOS), the alignment alone remains.
    if (p != nullptr) ::madvise(p, rounded, MADV_HUGEPAGE);
#endif
  } else {
    p = std::malloc(bytes);
  }
  if (p == nullptr) throw AllocationFailure(n);
  return static_cast<double*>(p);
}

}  // namespace

DoubleBuffer DoubleBuffer::uninitialized(std::size_t n) {
  DoubleBuffer b;
  if (n == 0) return b;
  b.data_ = allocate(n);
  b.size_ = n;
  return b;
}

DoubleBuffer DoubleBuffer::zeroed(std::size_t n) {
  DoubleBuffer b = uninitialized(n);
  if (n != 0) std::memset(b.data_, 0, n * sizeof(double));  // all-zero bytes are +0.0
  return b;
}

void DoubleBuffer::free_raw(double* data, std::size_t, std::size_t capacity) noexcept {
  if (capacity != 0) std::free(data);
}

}  // namespace quorvane
