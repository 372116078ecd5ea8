// The link to NumPy's C API, declared locally so that building needs no NumPy.
//
// NumPy publishes its C-API table as the capsule `_ARRAY_API` of its multiarray
// module (numpy.core.multiarray in NumPy 1, numpy._core.multiarray in NumPy 2);
// entries are reached at NumPy's published positions, which are the same in both.
// The array object's public fields are mirrored by `ArrayFields`.
#pragma once

#include <cstdint>
#include <string>

#include "boundary/python/python.hpp"

namespace quorvane::numpy {

using npy_intp = std::intptr_t;

// NumPy's public array object layout (PyArrayObject_fields), first fields only.
struct ArrayFields {
  PyObject_HEAD
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline ArrayFields* fields(PyObject* array) noexcept { return reinterpret_cast<ArrayFields*>(array); }

inline constexpr int kDouble = 12;            // NPY_DOUBLE
inline constexpr int kArrayWriteable = 0x400;  // NPY_ARRAY_WRITEABLE

// Positions in NumPy's C-API table of the entries used here (NumPy's published
// numbering, the same in NumPy 1 and 2).
enum Slot : int {
  kArrayTypeSlot = 2,           // PyArray_Type
  kDescrFromTypeSlot = 45,      // PyArray_DescrFromType
  kNewFromDescrSlot = 94,       // PyArray_NewFromDescr
  kEquivTypesSlot = 182,        // PyArray_EquivTypes
  kSetBaseObjectSlot = 282,     // PyArray_SetBaseObject
};

struct Api {
  void** table;

  PyTypeObject* array_type() const noexcept { return static_cast<PyTypeObject*>(table[kArrayTypeSlot]); }
  PyObject* descr_from_type(int type_number) const {
    using Fn = PyObject* (*)(int);
    return reinterpret_cast<Fn>(table[kDescrFromTypeSlot])(type_number);
  }
  PyObject* new_from_descr(PyTypeObject* subtype, PyObject* descr, int nd, npy_intp* dims,
                           npy_intp* strides, void* data, int flags, PyObject* obj) const {
    using Fn = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int, PyObject*);
    return reinterpret_cast<Fn>(table[kNewFromDescrSlot])(subtype, descr, nd, dims, strides, data, flags, obj);
  }
  bool equiv_types(PyObject* a, PyObject* b) const {
    using Fn = unsigned char (*)(PyObject*, PyObject*);  // npy_bool
    return reinterpret_cast<Fn>(table[kEquivTypesSlot])(a, b) != 0;
  }
  int set_base_object(PyObject* array, PyObject* base) const {
    using Fn = int (*)(PyObject*, PyObject*);
    return reinterpret_cast<Fn>(table[kSetBaseObjectSlot])(array, base);
  }
  bool is_array(PyObject* object) const noexcept {
    PyTypeObject* type = Py_TYPE(object);
    return type == array_type() || PyType_IsSubtype(type, array_type());
  }
};

// The table, located on first use; an internal failure ("Failed to access NumPy
// array API capsule: ...") when NumPy cannot be reached. Needs the lock.
const Api& api();

// "numpy._core.multiarray" or "numpy.core.multiarray" (after api() succeeded).
const std::string& multiarray_module_name();

}  // namespace quorvane::numpy
