// The common call entry of every module function.
//
//   def entry(*args, **kwargs):
//       release_deferred_references()
//       try:
//           return body(args, kwargs)        # returns an object or a CallError
//       except InternalFailure as failure:   # a C++ exception, unwound to here
//           raise PanicException(str(failure))
//
// The guard is the only place where an internal failure is caught. An exception
// that escapes even the guard (while an error is being raised) aborts the process.
#pragma once

#include "boundary/errors/errors.hpp"

namespace quorvane::py {

using Body = Fallible<PyRef> (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyObject* call_entry(Body body, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// For the module initialiser, which runs under the same guard.
using InitBody = Fallible<PyRef> (*)();
PyObject* init_entry(InitBody body) noexcept;

}  // namespace quorvane::py
