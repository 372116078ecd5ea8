// The shared borrow registry.
//
// While a call reads an array, the array's memory is recorded as borrowed in a
// registry that lives on NumPy's multiarray module, as the capsule attribute
// `_shared_borrow_registry` (capsule name "shared_borrow_registry.v1"), so every
// extension module in the process that follows the same protocol sees the same
// borrows. The capsule points at a `SharedBorrowApi`:
//
//   version                     1
//   state                       opaque, passed back to every function
//   acquire(state, array, ex)   0: borrowed; -1: refused (an overlapping region of
//                               the same buffer is held in the other mode and
//                               one of the two is exclusive); -2: not an ndarray,
//                               or one whose byte range does not fit the address
//                               space; -3: no memory to record the borrow
//   release(state, array, ex)   drops one borrow taken by acquire with the same ex
//   count(state)                number of live borrows, all modules together
//
// A borrow is keyed by the array's buffer (the first object of its base chain
// that is not an ndarray, or the last ndarray when the chain ends) and the byte
// range [lowest, highest + 8) its elements span when the borrow is taken (a
// release drops that recorded region, even if the array's strides have been
// changed in place since). An empty range overlaps nothing. Every function is
// called with the interpreter lock held and throws nothing. This module only
// ever takes shared borrows, and keeps the capsule it uses (its own, or another
// module's) alive for the life of the process.
#pragma once

#include <cstdint>
#include <optional>

#include "boundary/python/python.hpp"

namespace quorvane::numpy {

struct SharedBorrowApi {
  std::uint64_t version;
  void* state;
  int (*acquire)(void* state, PyObject* array, int exclusive) noexcept;
  void (*release)(void* state, PyObject* array, int exclusive) noexcept;
  Py_ssize_t (*count)(void* state) noexcept;
};

// The bytes [lo, hi) the elements of an ndarray span, 8 bytes each (lo == hi for
// an empty array), or nothing when the range does not fit the address space: an
// extent times a stride beyond 64 bits, or addresses below 0 or above the top.
// Such an array cannot describe memory; intake refuses it.
struct ByteRange {
  std::uintptr_t lo, hi;
};
std::optional<ByteRange> byte_range(PyObject* array) noexcept;

// Registers a shared borrow of the array; an internal failure when the registry
// cannot be obtained or the memory is held exclusively elsewhere.
void acquire_shared(PyObject* array);
void release_shared(PyObject* array) noexcept;

}  // namespace quorvane::numpy
