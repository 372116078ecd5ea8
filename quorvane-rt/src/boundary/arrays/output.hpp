// Weight vectors back to Python: `array_from_vector` wraps an owned buffer of
// doubles in a new 1-D float64 ndarray without copying. The array's base is a
// `PySliceContainer` that frees the buffer when NumPy lets go of it:
//
//   w = quorvane.bel_weights_constant_flow(w_terminals, 1.0, 0.2)
//   type(w.base).__name__ == "PySliceContainer" and not w.flags.owndata
#pragma once

#include "boundary/python/python.hpp"
#include "core/support/buffer.hpp"

namespace quorvane::numpy {

// Needs the interpreter lock. Failures are internal failures; the buffer is freed
// exactly once on every path.
py::PyRef array_from_vector(DoubleBuffer buffer);

}  // namespace quorvane::numpy
