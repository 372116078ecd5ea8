// Zero-copy, read-only strided views of float64 array data.
//
// A view is what a NumPy array looks like to the numeric core: the address of
// logical element 0 (or (0, 0)), the lengths, and signed *byte* strides. Element i
// lies at data + i * stride, whatever the sign of the stride, whether it is zero
// (broadcast) or not a multiple of 8 (float64 fields of packed records). Every load
// goes through std::memcpy, so unaligned elements are read without undefined
// behaviour; for aligned data it compiles to a plain load.
//
// Views borrow: the array handle they come from must outlive them. This header
// is free of Python so the kernels can be built and tested without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/support/failure.hpp"

namespace quorvane {

inline double load_double(const std::byte* p) noexcept {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

struct VectorView {
  const std::byte* data = nullptr;
  std::size_t length = 0;
  std::ptrdiff_t stride = 0;  // bytes

  const std::byte* address(std::size_t i) const noexcept {
    return data + static_cast<std::ptrdiff_t>(i) * stride;
  }
  // Unchecked: the caller has validated i < length.
  double operator[](std::size_t i) const noexcept { return load_double(address(i)); }
  // Checked: an index outside the view is an internal failure.
  double at(std::size_t i) const {
    if (i >= length) fail(kIndexOutOfBounds);
    return (*this)[i];
  }
  bool is_contiguous() const noexcept { return stride == static_cast<std::ptrdiff_t>(sizeof(double)); }
};

struct MatrixView {
  const std::byte* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;  // bytes
  std::ptrdiff_t col_stride = 0;  // bytes

  const std::byte* address(std::size_t i, std::size_t j) const noexcept {
    return data + static_cast<std::ptrdiff_t>(i) * row_stride +
           static_cast<std::ptrdiff_t>(j) * col_stride;
  }
  double operator()(std::size_t i, std::size_t j) const noexcept {
    return load_double(address(i, j));
  }
  double at(std::size_t i, std::size_t j) const {
    if (i >= rows || j >= cols) fail(kIndexOutOfBounds);
    return (*this)(i, j);
  }
  VectorView row(std::size_t i) const noexcept {
    return VectorView{data + static_cast<std::ptrdiff_t>(i) * row_stride, cols, col_stride};
  }
  VectorView column(std::size_t j) const noexcept {
    return VectorView{data + static_cast<std::ptrdiff_t>(j) * col_stride, rows, row_stride};
  }
};

}  // namespace quorvane
