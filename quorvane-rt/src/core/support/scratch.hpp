// Per-thread scratch for the recursions that keep a per-step history (core/
// recursions/recursion.hpp, kHistory): a forward pass stores values of every
// step, a backward pass in the recursion's finish reads them back.
//
// The drivers reserve the storage before they run a kernel (which may throw),
// so the kernels themselves only take the reserved pointer and stay noexcept.
// The storage belongs to the calling thread, grows to the largest reservation
// it has seen and is kept for the thread's life, so a pool worker allocates it
// once.
#pragma once

#include <cstddef>

namespace quorvane {

// At least `doubles` doubles for this thread; contents unspecified. Throws
// AllocationFailure (core/support/buffer.hpp) when they cannot be allocated.
double* reserve_history(std::size_t doubles);

// The storage of this thread's last reserve_history.
double* reserved_history() noexcept;

}  // namespace quorvane
