#include "boundary/numpy/numpy_api.hpp"

#include <optional>

#include "boundary/binding/binding.hpp"
#include "boundary/errors/errors.hpp"
#include "core/support/failure.hpp"

namespace quorvane::numpy {

namespace {

// Each step of locating the table caches its own result, so a failed attempt
// resumes at the first missing piece. Guarded by the interpreter lock; never freed.
std::optional<std::string> core_package;
std::optional<std::string> multiarray_name;
std::optional<Api> cached_api;

using py::CallError;
using py::Fallible;
using py::PyRef;

Fallible<PyRef> call_or_error(PyObject* result) {
  if (result == nullptr) return py::fetch_error();
  return PyRef::steal(result);
}

Fallible<std::string> find_core_package() {
  auto numpy = call_or_error(PyImport_ImportModule("numpy"));
  if (!numpy.ok()) return std::move(numpy).error();
  auto version = call_or_error(PyObject_GetAttrString(numpy.value().get(), "__version__"));
  if (!version.ok()) return std::move(version).error();
  auto lib = call_or_error(PyImport_ImportModule("numpy.lib"));
  if (!lib.ok()) return std::move(lib).error();
  auto numpy_version = call_or_error(PyObject_GetAttrString(lib.value().get(), "NumpyVersion"));
  if (!numpy_version.ok()) return std::move(numpy_version).error();
  auto parsed = call_or_error(
      PyObject_CallFunctionObjArgs(numpy_version.value().get(), version.value().get(), nullptr));
  if (!parsed.ok()) return std::move(parsed).error();
  auto major = call_or_error(PyObject_GetAttrString(parsed.value().get(), "major"));
  if (!major.ok()) return std::move(major).error();
  const long value = PyLong_AsLong(major.value().get());
  if (value == -1 && PyErr_Occurred()) return py::fetch_error();
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "NumPy major version does not fit in an unsigned 8-bit integer");
    return py::fetch_error();
  }
  return std::string(value >= 2 ? "numpy._core" : "numpy.core");
}

Fallible<Api> find_table(const std::string& module_name) {
  auto module = call_or_error(PyImport_ImportModule(module_name.c_str()));
  if (!module.ok()) return std::move(module).error();
  auto capsule = call_or_error(PyObject_GetAttrString(module.value().get(), "_ARRAY_API"));
  if (!capsule.ok()) return std::move(capsule).error();
  PyObject* c = capsule.value().get();
  if (Py_TYPE(c) != &PyCapsule_Type && !PyType_IsSubtype(Py_TYPE(c), &PyCapsule_Type)) {
    return py::type_error(py::cannot_convert_message(c, "PyCapsule"));
  }
  const char* name = PyCapsule_GetName(c);
  if (name == nullptr && PyErr_Occurred()) PyErr_Clear();
  void* pointer = PyCapsule_GetPointer(c, name);
  if (pointer == nullptr) {
    // A capsule without a table cannot be used; report it rather than crash later.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "NumPy's _ARRAY_API capsule holds no table");
    return py::fetch_error();
  }
  // Keep the capsule (and so the table) alive for the rest of the process.
  capsule.value().release();
  return Api{static_cast<void**>(pointer)};
}

[[noreturn]] void fail_with(CallError error) {
  fail("Failed to access NumPy array API capsule: " + py::debug_form(error));
}

}  // namespace

const Api& api() {
  if (cached_api) return *cached_api;
  if (!core_package) {
    auto found = find_core_package();
    if (!found.ok()) fail_with(std::move(found).error());
    // Importing may have let another thread fill the cache first; keep the first.
    if (!core_package) core_package = std::move(found).value();
  }
  if (!multiarray_name) multiarray_name = *core_package + ".multiarray";
  auto table = find_table(*multiarray_name);
  if (!table.ok()) fail_with(std::move(table).error());
  if (!cached_api) cached_api = table.value();
  return *cached_api;
}

const std::string& multiarray_module_name() { return *multiarray_name; }

}  // namespace quorvane::numpy
