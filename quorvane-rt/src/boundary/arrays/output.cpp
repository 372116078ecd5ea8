#include "boundary/arrays/output.hpp"

#include "boundary/numpy/numpy_api.hpp"
#include "boundary/errors/errors.hpp"
#include "core/support/failure.hpp"

namespace quorvane::numpy {

namespace {

struct SliceContainer {
  PyObject_HEAD
  double* data;
  std::size_t size;
  std::size_t capacity;
  void (*drop)(double*, std::size_t, std::size_t);
};

void slice_container_dealloc(PyObject* self) {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  container->drop(container->data, container->size, container->capacity);
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* slice_container_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PySliceContainer");
  return nullptr;
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(&slice_container_new)},
    {Py_tp_doc, const_cast<char*>("Utility type that stores an owned buffer safely on the Python heap, "
                                  "so that a NumPy array can use it without a copy.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    .name = "builtins.PySliceContainer",
    .basicsize = static_cast<int>(sizeof(SliceContainer)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = slice_container_slots,
};

// One type per copy of this library: each extension module of the wheel makes
// its own, whose instances free their buffers through that module's allocator.
PyTypeObject* cached_type = nullptr;  // guarded by the interpreter lock; never released

PyTypeObject* slice_container_type() {
  if (cached_type != nullptr) return cached_type;
  PyObject* created = PyType_FromSpec(&slice_container_spec);
  if (created == nullptr) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* wrapper = PyObject_CallFunction(PyExc_RuntimeError, "s",
                                              "An error occurred while initializing class PySliceContainer");
    if (wrapper != nullptr) {
      if (value != nullptr) PyException_SetCause(wrapper, value);  // steals value
      else Py_XDECREF(value);
      Py_XDECREF(type);
      Py_XDECREF(traceback);
      PyErr_SetObject(PyExc_RuntimeError, wrapper);
      Py_DECREF(wrapper);
    } else {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
    }
    PyErr_Print();
    fail("failed to create type object for PySliceContainer");
  }
  if (cached_type != nullptr) {
    Py_DECREF(created);
  } else {
    cached_type = reinterpret_cast<PyTypeObject*>(created);
  }
  return cached_type;
}

// The address handed to NumPy for an empty output: NumPy must not allocate (and
// own) memory of its own, and no element is ever read through it.
double empty_storage = 0.0;

}  // namespace

py::PyRef array_from_vector(DoubleBuffer buffer) {
  PyTypeObject* type = slice_container_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  py::PyRef owner = py::PyRef::steal(alloc(type, 0));
  if (!owner) {
    // The buffer is still ours: `buffer` frees it on the way out.
    py::CallError pending = py::fetch_error();
    fail("Failed to create slice container: " + py::debug_form(pending));
  }
  const DoubleBuffer::Raw raw = buffer.release();
  auto* container = reinterpret_cast<SliceContainer*>(owner.get());
  container->data = raw.data;
  container->size = raw.size;
  container->capacity = raw.size;  // a buffer holds exactly its values
  container->drop = &DoubleBuffer::free_raw;
  // From here on the owner frees the buffer, whatever happens.

  const Api& numpy = api();
  PyObject* descr = numpy.descr_from_type(kDouble);
  if (descr == nullptr) py::python_api_call_failed();
  npy_intp dims[1] = {static_cast<npy_intp>(raw.size)};
  npy_intp strides[1] = {static_cast<npy_intp>(sizeof(double))};
  void* data = raw.size == 0 ? static_cast<void*>(&empty_storage) : static_cast<void*>(raw.data);
  py::PyRef array = py::PyRef::steal(
      numpy.new_from_descr(numpy.array_type(), descr, 1, dims, strides, data, kArrayWriteable, nullptr));
  if (!array) py::python_api_call_failed();
  if (numpy.set_base_object(array.get(), owner.release()) != 0) py::python_api_call_failed();
  return array;
}

}  // namespace quorvane::numpy
