#include "boundary/arrays/intake.hpp"

#include "boundary/arrays/borrow.hpp"
#include "boundary/binding/binding.hpp"
#include "boundary/numpy/numpy_api.hpp"
#include "core/support/failure.hpp"

namespace quorvane::numpy {

namespace {

// Whether the descriptor is float64 in native byte order (the same object as
// NumPy's, or one equivalent to it). Needs the lock.
bool is_float64(const Api& numpy, PyObject* descr) {
  PyObject* float64 = numpy.descr_from_type(kDouble);
  if (float64 == nullptr) py::python_api_call_failed();
  const bool same = descr == float64 || numpy.equiv_types(descr, float64);
  Py_DECREF(float64);
  return same;
}

std::string dimensions_text(long n) {
  return std::to_string(n) + (n == 1 ? " dimension" : " dimensions");
}

// "an int64", "an object", "a float32", "a uint8" (read "you-int"), "a >f8".
std::string with_article(const std::string& noun) {
  const bool vowel = !noun.empty() && std::string_view("aeioAEIO").find(noun.front()) != std::string_view::npos;
  return (vowel ? "an " : "a ") + noun;
}

// The text of a type attribute (__module__, __qualname__), or "" when it cannot
// be read as text.
std::string type_attribute(PyObject* object, const char* attribute) {
  py::PyRef value = py::PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), attribute));
  if (value && PyUnicode_Check(value.get())) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size)) return std::string(text, size);
  }
  PyErr_Clear();
  return {};
}

// A pandas DataFrame (2 dimensions) or Series (1), recognised by its type's
// name and module so that pandas is never imported here; 0 for anything else.
int pandas_dimensions(PyObject* object) {
  const std::string module = type_attribute(object, "__module__");
  if (module != "pandas" && module.rfind("pandas.", 0) != 0) return 0;
  const std::string name = type_attribute(object, "__qualname__");
  return name == "DataFrame" ? 2 : name == "Series" ? 1 : 0;
}

// How to reshape an expression of `found` dimensions to `dims`, as advice.
std::string reshape_advice(const std::string& expression, long found, int dims) {
  if (dims == 1) return "reshape it to 1 dimension, e.g. " + expression + ".reshape(-1)";
  std::string example = found == 0   ? expression + ".reshape(1, 1)"
                        : found == 1 ? expression + ".reshape(1, -1) for a single path"
                                     : expression + ".reshape(len(" + expression + "), -1)";
  return "reshape it to 2 dimensions, one row per path, e.g. " + example;
}

// What was passed and how to make it an acceptable argument, for the note:
// "got a float32 array with 1 dimension; convert it with x.astype(np.float64)",
// "got list; convert it with np.asarray(x, dtype=np.float64)". The advice names
// the argument, as the user's code most likely does.
std::string found_and_fix(const Api& numpy, PyObject* object, std::string_view name, int dims) {
  const std::string arg(name);
  if (numpy.is_array(object)) {
    PyObject* descr = fields(object)->descr;
    const long nd = fields(object)->nd;
    std::string dtype = descr != nullptr ? py::render(descr) : std::string("<unknown dtype>");
    std::string text = "got " + with_article(dtype) + " array with " + dimensions_text(nd);
    const bool wrong_dtype = descr == nullptr || !is_float64(numpy, descr);
    if (wrong_dtype) text += "; convert it with " + arg + ".astype(np.float64)";
    if (nd != dims) text += (wrong_dtype ? " and " : "; ") + reshape_advice(arg, nd, dims);
    return text;
  }
  const std::string converted = "np.asarray(" + arg + ", dtype=np.float64)";
  if (const int nd = pandas_dimensions(object)) {
    std::string text = "got a pandas " + type_attribute(object, "__qualname__");
    if (nd == 2 && dims == 1) return text + "; convert one column with np.asarray(" + arg + "[column], dtype=np.float64)";
    text += "; convert it with " + converted;
    if (nd != dims) text += " and " + reshape_advice("np.asarray(" + arg + ")", nd, dims);
    return text;
  }
  std::string text = "got " + py::qualname_of_type(object);
  // Nothing converts None or text into numbers.
  if (object == Py_None || PyUnicode_Check(object) || PyBytes_Check(object)) return text;
  // A single number (Python's or a NumPy scalar) becomes an array of one element.
  if (PyFloat_Check(object) || PyLong_Check(object) || type_attribute(object, "__module__") == "numpy") {
    return text + "; pass an array of one element, np.array(" + std::string(dims == 1 ? "[" : "[[") + arg +
           (dims == 1 ? "]" : "]]") + ", dtype=np.float64)";
  }
  return text + "; convert it with " + converted;
}

// "(2, 3)" or "(8,)": the dimensions or the strides of an array.
std::string shape_text(PyObject* array, npy_intp* ArrayFields::*which) {
  const ArrayFields* f = fields(array);
  std::string text = "(";
  for (int axis = 0; axis < f->nd; ++axis) {
    if (axis > 0) text += ", ";
    text += std::to_string((f->*which)[axis]);
  }
  return text + (f->nd == 1 ? ",)" : ")");
}

// TypeError "argument '<name>': <message>" carrying the note (PEP 678) where
// exceptions take notes (Python 3.11 and later).
py::CallError refusal(const std::string& message, std::string_view name, const std::string& note) {
  std::string text = "argument '";
  text += name;
  text += "': ";
  text += message;
  py::PyRef str = py::PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) py::python_api_call_failed();
  py::PyRef error = py::PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, str.get(), nullptr));
  if (!error) py::python_api_call_failed();
  // What BaseException.add_note does, without its look-up of a missing
  // __notes__ (and the AttributeError that costs).
  static const bool takes_notes = PyObject_HasAttrString(PyExc_BaseException, "add_note") == 1;
  if (takes_notes) {
    py::PyRef notes = py::PyRef::steal(PyList_New(1));
    py::PyRef note_str =
        py::PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    if (!notes || !note_str) py::python_api_call_failed();
    PyList_SetItem(notes.get(), 0, note_str.release());
    if (PyObject_SetAttrString(error.get(), "__notes__", notes.get()) != 0) py::python_api_call_failed();
  }
  return py::CallError::fetched(py::PyRef::borrow(PyExc_TypeError), std::move(error), py::PyRef());
}

}  // namespace

py::Fallible<ReadonlyArray> extract_readonly_array(PyObject* object, std::string_view name, int dims) {
  const Api& numpy = api();
  bool accepted = numpy.is_array(object) && fields(object)->nd == dims;
  py::PyRef descr;
  if (accepted) {
    descr = py::PyRef::borrow(fields(object)->descr);
    if (!descr) py::python_api_call_failed();
    accepted = is_float64(numpy, descr.get());
  }
  if (!accepted) {
    std::string note = "expected a float64 NumPy array with " + dimensions_text(dims) + "; " +
                       found_and_fix(numpy, object, name, dims);
    return refusal(py::cannot_convert_message(object, "PyArray<T, D>"), name, note);
  }
  // A float64 array whose elements would lie beyond the address space (shape
  // and strides from np.lib.stride_tricks.as_strided, say) describes no memory
  // that can be read: refused like any other array that is not what is expected.
  if (!byte_range(object)) {
    return refusal(py::cannot_convert_message(object, "PyArray<T, D>"), name,
                   "expected a float64 NumPy array whose elements lie within the address space; "
                   "got shape " + shape_text(object, &ArrayFields::dimensions) + " and strides " +
                       shape_text(object, &ArrayFields::strides));
  }
  acquire_shared(object);
  return ReadonlyArray(py::PyRef::borrow(object), std::move(descr), dims, name);
}

namespace {

thread_local CallArrays* current_call_arrays = nullptr;

// Whether the array's dtype is still the one accepted (or float64 all the same).
bool same_dtype(const ArrayFields* f, PyObject* accepted) {
  return f->descr == accepted || (f->descr != nullptr && is_float64(api(), f->descr));
}

}  // namespace

CallArrays::CallArrays() noexcept : previous_(current_call_arrays) { current_call_arrays = this; }

CallArrays::~CallArrays() { current_call_arrays = previous_; }

CallArrays* CallArrays::current() noexcept { return current_call_arrays; }

int CallArrays::record(PyObject* array, std::string_view name, int slot) {
  if (slot < 0) {
    for (std::size_t k = 0; k < seen_.size() && slot < 0; ++k) {
      if (seen_[k].array == nullptr) slot = static_cast<int>(k);
    }
    if (slot < 0) return -1;
  }
  const ArrayFields* f = fields(array);
  Seen& s = seen_[static_cast<std::size_t>(slot)];
  s.array = array;
  s.name = name;
  s.data = f->data;
  s.nd = f->nd;
  for (int d = 0; d < 2; ++d) {
    s.dims[d] = d < f->nd ? f->dimensions[d] : 0;
    s.strides[d] = d < f->nd ? f->strides[d] : 0;
  }
  s.descr = f->descr;
  return slot;
}

void CallArrays::forget(int slot) noexcept {
  seen_[static_cast<std::size_t>(slot)].array = nullptr;
}

bool CallArrays::report_change() const {
  for (const Seen& s : seen_) {
    if (s.array == nullptr) continue;
    const ArrayFields* f = fields(s.array);
    bool same = f->data == s.data && f->nd == s.nd && same_dtype(f, s.descr);
    for (int d = 0; same && d < s.nd; ++d)
      same = f->dimensions[d] == s.dims[d] && f->strides[d] == s.strides[d];
    if (!same) {
      std::string m(s.name);
      m += " was changed by a signal handler during the call";
      py::raise_error(py::value_error(std::move(m)));
      return true;
    }
  }
  return false;
}

CallArrays::SizeHold::SizeHold(const CallArrays& call) : seen_(call.seen_) {
  for (Seen& s : seen_) {
    if (s.array == nullptr) continue;
    s.hold = py::PyRef::steal(PyWeakref_NewRef(s.array, nullptr));
    if (!s.hold) py::python_api_call_failed();  // the records drop those made
  }
}

CallArrays::SizeHold::~SizeHold() {
  for (Seen& s : seen_) s.hold.reset();
}

void ReadonlyArray::watch() const {
  CallArrays* call = CallArrays::current();
  if (call == nullptr) return;  // outside a guarded call: nothing polls
  if (watch_ != nullptr && watch_ != call) return;
  // The body makes room for each array its function takes, and a computation
  // views each array it reads; were the room ever full, the call would fail
  // rather than read unwatched memory.
  slot_ = call->record(array_.get(), name_, slot_);
  if (slot_ < 0) fail("too many arrays in one call");
  watch_ = call;
}

void ReadonlyArray::drop() noexcept {
  if (!array_) return;
  if (watch_ != nullptr) {
    watch_->forget(slot_);
    watch_ = nullptr;
    slot_ = -1;
  }
  if (!py::holds_lock()) {
    // Only a thread that the interpreter ends at exit gets here: leave the
    // borrow and the reference (PyRef leaks it) rather than touch them unlocked.
    array_.reset();
    descr_.reset();
    return;
  }
  release_shared(array_.get());
  descr_.reset();
  array_.reset();
}

void ReadonlyArray::check_unchanged() const {
  const ArrayFields* f = fields(array_.get());
  if (f->nd != dims_) fail("array changed its number of dimensions during the call");
  // Python code run by a later argument's conversion (a __float__, say) may have
  // set the array's dtype; its data would then be read as doubles of the wrong
  // size and number.
  if (f->descr != descr_.get() && !(f->descr != nullptr && is_float64(api(), f->descr)))
    fail("array changed its data type during the call");
}

VectorView ReadonlyArray::vector() const {
  check_unchanged();
  watch();
  const ArrayFields* f = fields(array_.get());
  return VectorView{reinterpret_cast<const std::byte*>(f->data), static_cast<std::size_t>(f->dimensions[0]),
                    f->strides[0]};
}

MatrixView ReadonlyArray::matrix() const {
  check_unchanged();
  watch();
  const ArrayFields* f = fields(array_.get());
  return MatrixView{reinterpret_cast<const std::byte*>(f->data), static_cast<std::size_t>(f->dimensions[0]),
                    static_cast<std::size_t>(f->dimensions[1]), f->strides[0], f->strides[1]};
}

}  // namespace quorvane::numpy
