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
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "boundary/errors/errors.hpp"
#include "core/views/views.hpp"

namespace quorvane::numpy {

// The arrays a running call reads, as its views saw them: data address, shape,
// strides and dtype of each when its view was taken. The loops poll for
// signals with raw views in hand, and a Python signal handler run by a poll
// can resize an accepted array (freeing the memory the views point into),
// reshape or retype it. So after every poll that did not raise, the call asks
// `report_change`, and ends if one array is no longer what its view describes.
//
// The call guard makes one per call and installs it on the thread for the
// call's lifetime (nested calls, made by a handler, get their own); the
// function's body gives it room for as many records as the function takes
// arrays (a `Room`, for the body's lifetime). Needs the lock.
class CallArrays {
 public:
  CallArrays() noexcept;
  ~CallArrays();
  CallArrays(const CallArrays&) = delete;
  CallArrays& operator=(const CallArrays&) = delete;

  // When an array no longer matches its view: raises ValueError "<name> was
  // changed by a signal handler during the call" and returns true.
  bool report_change() const;

  // The record of one viewed array.
  struct Seen {
    PyObject* array = nullptr;  // null: a free record
    std::string_view name;
    const char* data = nullptr;
    int nd = 0;
    std::intptr_t dims[2] = {};
    std::intptr_t strides[2] = {};
    PyObject* descr = nullptr;
    py::PyRef hold;  // a weak reference while a SizeHold stands
  };

  // Room for N records in the current call, for the lifetime of this object.
  // Declare it before the arrays it records: a dropped array clears its record,
  // so the room must outlive them. Outside a call it does nothing.
  template <std::size_t N>
  class Room {
   public:
    Room() noexcept : call_(current()) {
      if (call_ != nullptr) previous_ = std::exchange(call_->seen_, std::span<Seen>(seen_));
    }
    ~Room() {
      if (call_ != nullptr) call_->seen_ = previous_;
    }
    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;

   private:
    std::array<Seen, N> seen_{};
    CallArrays* call_;
    std::span<Seen> previous_;
  };

  // For the computation with the lock released (the parallel form, whose
  // workers read while the caller runs the handlers): holds a weak reference
  // to every array viewed so far until destroyed, and NumPy refuses to resize
  // an array that has one (even with refcheck=False), so its memory stays
  // where the views point. Reshaping and retyping leave the memory in place;
  // report_change finds them at the next poll.
  class SizeHold {
   public:
    explicit SizeHold(const CallArrays& call);
    ~SizeHold();
    SizeHold(const SizeHold&) = delete;
    SizeHold& operator=(const SizeHold&) = delete;

   private:
    std::span<Seen> seen_;
  };

  // The call's arrays on this thread (null outside a call).
  static CallArrays* current() noexcept;

 private:
  friend class ReadonlyArray;
  // The record of a newly viewed array (its state recorded), or -1 when full.
  int record(PyObject* array, std::string_view name, int slot);
  void forget(int slot) noexcept;

  std::span<Seen> seen_;
  CallArrays* previous_;
};

class ReadonlyArray {
 public:
  ReadonlyArray() noexcept = default;
  ReadonlyArray(ReadonlyArray&& other) noexcept
      : array_(std::move(other.array_)), descr_(std::move(other.descr_)), dims_(other.dims_),
        name_(other.name_), watch_(std::exchange(other.watch_, nullptr)),
        slot_(std::exchange(other.slot_, -1)) {}
  ReadonlyArray& operator=(ReadonlyArray&& other) noexcept {
    if (this != &other) {
      drop();
      array_ = std::move(other.array_);
      descr_ = std::move(other.descr_);
      dims_ = other.dims_;
      name_ = other.name_;
      watch_ = std::exchange(other.watch_, nullptr);
      slot_ = std::exchange(other.slot_, -1);
    }
    return *this;
  }
  ~ReadonlyArray() { drop(); }

  PyObject* object() const noexcept { return array_.get(); }
  // Views of the array as it is now; an internal failure if Python code run
  // since the intake changed its number of dimensions or its dtype. The state
  // viewed is recorded in the call's CallArrays. Need the lock.
  VectorView vector() const;
  MatrixView matrix() const;

 private:
  friend py::Fallible<ReadonlyArray> extract_readonly_array(PyObject*, std::string_view, int);
  ReadonlyArray(py::PyRef array, py::PyRef descr, int dims, std::string_view name) noexcept
      : array_(std::move(array)), descr_(std::move(descr)), dims_(dims), name_(name) {}
  void drop() noexcept;
  void check_unchanged() const;
  void watch() const;

  py::PyRef array_;
  py::PyRef descr_;  // the dtype accepted at intake (held, so its address stays unique)
  int dims_ = 0;
  std::string_view name_;  // the parameter's (a literal of the function table)
  mutable CallArrays* watch_ = nullptr;  // where the viewed state is recorded
  mutable int slot_ = -1;
};

// A float64 ndarray of `dims` dimensions (1 or 2), or TypeError
// "argument '<name>': '<qualname>' object cannot be converted to 'PyArray<T, D>'",
// with a note (Python 3.11+) naming what was expected and what was found:
// "expected a float64 NumPy array with 1 dimension; got a float32 array with 1 dimension".
py::Fallible<ReadonlyArray> extract_readonly_array(PyObject* object, std::string_view name, int dims);

}  // namespace quorvane::numpy
