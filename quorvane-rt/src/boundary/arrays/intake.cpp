#include "boundary/arrays/intake.hpp"

#include "boundary/arrays/borrow.hpp"
#include "boundary/numpy/numpy_api.hpp"
#include "boundary/binding/binding.hpp"
#include "core/support/failure.hpp"

namespace quorvane::numpy {

py::Fallible<ReadonlyArray> extract_readonly_array(PyObject* object, std::string_view name, int dims) {
  const Api& numpy = api();
  bool accepted = numpy.is_array(object) && fields(object)->nd == dims;
  if (accepted) {
    PyObject* float64 = numpy.descr_from_type(kDouble);
    if (float64 == nullptr) py::python_api_call_failed();
    PyObject* descr = fields(object)->descr;
    if (descr == nullptr) {
      Py_DECREF(float64);
      py::python_api_call_failed();
    }
    Py_INCREF(descr);
    accepted = descr == float64 || numpy.equiv_types(descr, float64);
    Py_DECREF(descr);
    Py_DECREF(float64);
  }
  if (!accepted) {
    return py::argument_error(name, py::type_error(py::cannot_convert_message(object, "PyArray<T, D>")));
  }
  acquire_shared(object);
  return ReadonlyArray(py::PyRef::borrow(object), dims);
}

void ReadonlyArray::drop() noexcept {
  if (!array_) return;
  release_shared(array_.get());
  array_.reset();
}

namespace {

void check_dims(PyObject* array, int expected) {
  const int nd = fields(array)->nd;
  if (nd != expected || nd > 32) fail("array changed its number of dimensions during the call");
}

}  // namespace

VectorView ReadonlyArray::vector() const {
  check_dims(array_.get(), 1);
  const ArrayFields* f = fields(array_.get());
  return VectorView{reinterpret_cast<const std::byte*>(f->data), static_cast<std::size_t>(f->dimensions[0]),
                    f->strides[0]};
}

MatrixView ReadonlyArray::matrix() const {
  check_dims(array_.get(), 2);
  const ArrayFields* f = fields(array_.get());
  return MatrixView{reinterpret_cast<const std::byte*>(f->data), static_cast<std::size_t>(f->dimensions[0]),
                    static_cast<std::size_t>(f->dimensions[1]), f->strides[0], f->strides[1]};
}

}  // namespace quorvane::numpy
