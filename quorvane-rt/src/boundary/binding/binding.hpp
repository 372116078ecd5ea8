// Binding of fastcall arguments to parameters, and conversion of scalars.
//
// Each function has a static descriptor (name, parameter names, how many are
// required), made from its row of a function table. Binding fills the caller's
// slots, one per parameter: positional values first, then keywords in the
// caller's order, then a check for missing required parameters. It allocates
// nothing unless it reports a failure, whose message copies the interpreter's
// own wording ("f() missing 1 required positional argument: 'samples'").
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "boundary/errors/errors.hpp"

namespace quorvane::py {

struct ArgumentDescriptor {
  std::string_view function_name;
  std::span<const std::string_view> parameters;  // N names, in order
  std::size_t required;                          // R: the first R parameters are required
};

// Fills `slots` (N of them, all null) with borrowed references to the caller's
// objects, leaving null where nothing was given; the error when the call does
// not bind.
std::optional<CallError> bind_arguments(const ArgumentDescriptor& descriptor, std::span<PyObject*> slots,
                                        PyObject* const* args, Py_ssize_t positional_count,
                                        PyObject* keyword_names);

// The renaming rule for a failed conversion of parameter `name`: an error of
// exactly TypeError becomes TypeError "argument '<name>': <message>" (keeping the
// cause); any other error is returned unchanged.
CallError argument_error(std::string_view name, CallError error);

// Anything the interpreter converts to a float (floats, ints, bools, __float__,
// __index__). No range check: validation belongs to the estimators.
Fallible<double> extract_float(PyObject* object, std::string_view name);

// The UTF-8 text of a str (or str subclass), borrowed from the object.
Fallible<std::string_view> extract_str(PyObject* object, std::string_view name);

// The __qualname__ of the object's type, or "<failed to extract type name>".
std::string qualname_of_type(PyObject* object);

// "'<qualname>' object cannot be converted to '<target>'" for the object's type.
std::string cannot_convert_message(PyObject* object, std::string_view target);

// A new tuple of Python floats, carrying each double bit for bit.
PyRef tuple_of_floats(std::initializer_list<double> values);

}  // namespace quorvane::py
