// The common call entry of every module function.
//
//   def entry(*args, **kwargs):
//       with signals_polled_by_long_loops():     # Ctrl-C stops the computation
//           try:
//               return body(args, kwargs)        # returns an object or a CallError
//           except Interrupted:                  # a signal handler raised
//               raise                            # KeyboardInterrupt, as pending
//           except AllocationFailure as failure: # a buffer for the call's arrays
//               raise MemoryError(f"Unable to allocate ...")
//           except InternalFailure as failure:   # a C++ exception, unwound to here
//               raise PanicException(str(failure))
//
// The guard is the only place where an internal failure is caught. An exception
// that escapes even the guard (while an error is being raised) aborts the process.
// The interpreter's own forced unwind of a thread it ends (pthread_exit when a
// daemon thread asks for the lock at interpreter exit) passes through the guard
// and every frame of the entry untouched.
#pragma once

#include "boundary/errors/errors.hpp"

namespace quorvane::py {

using Body = Fallible<PyRef> (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyObject* call_entry(Body body, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// For the module initialiser, which runs under the same guard.
using InitBody = Fallible<PyRef> (*)();
PyObject* init_entry(InitBody body);

// "Unable to allocate 8.00 EiB for an array with shape (1152921504606846976,)
// and data type float64".
std::string allocation_message(std::size_t count);

}  // namespace quorvane::py
