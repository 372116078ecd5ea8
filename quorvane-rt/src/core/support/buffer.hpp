// Owned buffers of doubles that become NumPy arrays without a copy.
//
// The estimators allocate their output here and hand it, by `release`, to the
// array owner object, which gives it back through `DoubleBuffer::free_raw` when
// NumPy drops the array. Large buffers are aligned to 2 MiB and advised for
// transparent huge pages, as NumPy does for its own large allocations: on plain
// 4 KiB pages the first-touch faults of a fresh output cost several times the
// arithmetic that fills it.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace quorvane {

// A buffer of `count` doubles that could not be allocated. The boundary raises
// it as MemoryError saying how much was asked for; it is a std::bad_alloc for
// every other catcher.
class AllocationFailure final : public std::bad_alloc {
 public:
  explicit AllocationFailure(std::size_t count) noexcept : count_(count) {}
  const char* what() const noexcept override { return "cannot allocate a buffer of doubles"; }
  std::size_t count() const noexcept { return count_; }

 private:
  std::size_t count_;
};

class DoubleBuffer {
 public:
  struct Raw {
    double* data;
    std::size_t size;
  };

  DoubleBuffer() noexcept = default;
  // n doubles, contents unspecified. Throws AllocationFailure.
  static DoubleBuffer uninitialized(std::size_t n);
  // n doubles, every one +0.0. Throws AllocationFailure.
  static DoubleBuffer zeroed(std::size_t n);

  DoubleBuffer(DoubleBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  DoubleBuffer& operator=(DoubleBuffer&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  DoubleBuffer(const DoubleBuffer&) = delete;
  DoubleBuffer& operator=(const DoubleBuffer&) = delete;
  ~DoubleBuffer() { reset(); }

  double* data() noexcept { return data_; }
  const double* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  double& operator[](std::size_t i) noexcept { return data_[i]; }
  double operator[](std::size_t i) const noexcept { return data_[i]; }

  // Gives up ownership; the caller must pass the pair to free_raw exactly once
  // (with a capacity equal to the size: a buffer holds exactly its values).
  Raw release() noexcept {
    Raw raw{data_, size_};
    data_ = nullptr;
    size_ = 0;
    return raw;
  }
  // Frees a released buffer. A capacity of 0 means nothing was allocated.
  static void free_raw(double* data, std::size_t size, std::size_t capacity) noexcept;

 private:
  void reset() noexcept {
    free_raw(data_, size_, size_);
    data_ = nullptr;
    size_ = 0;
  }
  double* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quorvane
