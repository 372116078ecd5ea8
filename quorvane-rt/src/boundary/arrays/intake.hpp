// Array arguments: `extract_readonly_array` accepts a float64 ndarray (or
// subclass) of the expected dimensionality without copying or converting it, and
// the resulting handle yields zero-copy strided views in logical index order.
//
//   samples = np.arange(10.0)[::-3]       # any strides, any alignment
//   quorvane.price_from_samples(samples)  # reads samples[0], samples[1], ... in place
//
// A `ReadonlyArray` holds a reference to the array and a shared borrow of its
// memory; dropping it releases the borrow, then the reference.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

#include "core/views/views.hpp"
#include "boundary/binding/binding.hpp"
#include "boundary/errors/errors.hpp"

namespace quorvane::numpy {

class ReadonlyArray {
 public:
  ReadonlyArray() noexcept = default;
  ReadonlyArray(ReadonlyArray&& other) noexcept
      : array_(std::move(other.array_)), descr_(std::move(other.descr_)), dims_(other.dims_) {}
  ReadonlyArray& operator=(ReadonlyArray&& other) noexcept {
    if (this != &other) {
      drop();
      array_ = std::move(other.array_);
      descr_ = std::move(other.descr_);
      dims_ = other.dims_;
    }
    return *this;
  }
  ~ReadonlyArray() { drop(); }

  PyObject* object() const noexcept { return array_.get(); }
  // Views of the array as it is now; an internal failure if Python code run
  // since the intake changed its number of dimensions or its dtype. Need the lock.
  VectorView vector() const;
  MatrixView matrix() const;

 private:
  friend py::Fallible<ReadonlyArray> extract_readonly_array(PyObject*, std::string_view, int);
  ReadonlyArray(py::PyRef array, py::PyRef descr, int dims) noexcept
      : array_(std::move(array)), descr_(std::move(descr)), dims_(dims) {}
  void drop() noexcept;
  void check_unchanged() const;

  py::PyRef array_;
  py::PyRef descr_;  // the dtype accepted at intake (held, so its address stays unique)
  int dims_ = 0;
};

// A float64 ndarray of `dims` dimensions (1 or 2), or TypeError
// "argument '<name>': '<qualname>' object cannot be converted to 'PyArray<T, D>'",
// with a note (Python 3.11+) naming what was expected and what was found:
// "expected a float64 NumPy array with 1 dimension; got a float32 array with 1 dimension".
py::Fallible<ReadonlyArray> extract_readonly_array(PyObject* object, std::string_view name, int dims);

// N parameters of a path-batch function from parameter `first` on, all 2-D
// arrays (states, dws and the coefficient arrays), taken in parameter order.
// Array elements are destroyed from the last to the first, so the handles are
// dropped in reverse order of intake, after a failure as after success.
template <std::size_t N>
struct PathArrays {
  std::array<ReadonlyArray, N> arrays;
  MatrixView view(std::size_t i) const { return arrays[i].matrix(); }
};

template <std::size_t N>
py::Fallible<PathArrays<N>> take_path_arrays(const py::ArgumentSlots& slot,
                                             const py::ArgumentDescriptor& descriptor,
                                             std::size_t first = 0) {
  static_assert(N <= py::kMaxParameters);
  PathArrays<N> batch;
  for (std::size_t i = 0; i < N; ++i) {
    auto array = extract_readonly_array(slot[first + i], descriptor.parameters[first + i], 2);
    if (!array.ok()) return std::move(array).error();
    batch.arrays[i] = std::move(array).value();
  }
  return batch;
}

}  // namespace quorvane::numpy
