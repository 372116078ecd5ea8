// Entry points of the module functions, in the order they are registered.
#pragma once

#include "module/python.hpp"

namespace quorvane::py {

struct FunctionRecord {
  const char* name;
  PyObject* (*entry)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  const char* doc;
};

// The registered functions, in table order; `count` of them.
const FunctionRecord* function_table(std::size_t& count) noexcept;

}  // namespace quorvane::py
