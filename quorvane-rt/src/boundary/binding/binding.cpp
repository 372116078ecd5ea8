#include "boundary/binding/binding.hpp"

#include <string>

#include "core/support/failure.hpp"

namespace quorvane::py {

namespace {

std::string call_name(const ArgumentDescriptor& d) {
  std::string s(d.function_name);
  s += "()";
  return s;
}

CallError too_many_positional(const ArgumentDescriptor& d, Py_ssize_t given) {
  const std::size_t count = d.parameters.size();
  std::string m = call_name(d);
  m += " takes ";
  if (d.required == count) {
    m += std::to_string(count);
  } else {
    m += "from " + std::to_string(d.required) + " to " + std::to_string(count);
  }
  m += " positional arguments but " + std::to_string(given);
  m += given == 1 ? " was given" : " were given";
  return type_error(std::move(m));
}

CallError missing_required(const ArgumentDescriptor& d, std::span<PyObject* const> slots) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < d.required; ++i) n += slots[i] == nullptr;
  std::string m = call_name(d);
  m += " missing " + std::to_string(n) + " required positional argument";
  if (n != 1) m += 's';
  m += ": ";
  for (std::size_t i = 0, k = 0; i < d.required; ++i) {
    if (slots[i] != nullptr) continue;
    if (k > 0) m += n == 2 ? " and " : (k + 1 == n ? ", and " : ", ");
    m += '\'';
    m += d.parameters[i];
    m += '\'';
    ++k;
  }
  return type_error(std::move(m));
}

}  // namespace

std::optional<CallError> bind_arguments(const ArgumentDescriptor& d, std::span<PyObject*> slots,
                                        PyObject* const* args, Py_ssize_t positional_count,
                                        PyObject* keyword_names) {
  const std::size_t count = d.parameters.size();
  const std::size_t given = static_cast<std::size_t>(positional_count);
  const std::size_t copied = given < count ? given : count;
  for (std::size_t i = 0; i < copied; ++i) slots[i] = args[i];
  if (given > count) return too_many_positional(d, positional_count);

  if (keyword_names != nullptr) {
    const Py_ssize_t n_keywords = PyTuple_Size(keyword_names);
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
      PyObject* key = PyTuple_GetItem(keyword_names, k);
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(key, &size);
      std::size_t found = count;
      if (text == nullptr) {
        PyErr_Clear();  // an unencodable name names no parameter
      } else {
        const std::string_view name(text, static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < count; ++i) {
          if (d.parameters[i] == name) {
            found = i;
            break;
          }
        }
      }
      if (found == count) {
        return type_error(call_name(d) + " got an unexpected keyword argument '" + render(key) + "'");
      }
      if (slots[found] != nullptr) {
        return type_error(call_name(d) + " got multiple values for argument '" + render(key) + "'");
      }
      slots[found] = args[positional_count + k];
    }
  }

  if (given < d.required) {
    for (std::size_t i = given; i < d.required; ++i) {
      if (slots[i] == nullptr) return missing_required(d, slots);
    }
  }
  return std::nullopt;
}

std::string qualname_of_type(PyObject* object) {
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) return std::string(text, size);
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

CallError argument_error(std::string_view name, CallError error) {
  std::string prefix = "argument '";
  prefix += name;
  prefix += "': ";
  if (!error.is_fetched()) {
    if (error.error_class() != ErrorClass::type_error) return error;
    return type_error(prefix + error.message());
  }
  if (error.type() != PyExc_TypeError) return error;  // subclasses keep their own message
  PyRef message = PyRef::steal(PyUnicode_FromString((prefix + render(error.value())).c_str()));
  if (!message) python_api_call_failed();
  PyRef renamed = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!renamed) python_api_call_failed();
  if (PyObject* cause = PyException_GetCause(error.value())) {
    PyException_SetCause(renamed.get(), cause);  // steals the new reference
  }
  return CallError::fetched(PyRef::borrow(PyExc_TypeError), std::move(renamed), PyRef());
}

Fallible<double> extract_float(PyObject* object, std::string_view name) {
  const double v = PyFloat_AsDouble(object);
  if (v == -1.0 && PyErr_Occurred()) return argument_error(name, fetch_error());
  return v;
}

std::string cannot_convert_message(PyObject* object, std::string_view target) {
  std::string m = "'";
  m += qualname_of_type(object);
  m += "' object cannot be converted to '";
  m += target;
  m += '\'';
  return m;
}

Fallible<std::string_view> extract_str(PyObject* object, std::string_view name) {
  if (!PyUnicode_Check(object)) {
    return argument_error(name, type_error(cannot_convert_message(object, "PyString")));
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return argument_error(name, fetch_error());
  return std::string_view(text, static_cast<std::size_t>(size));
}

PyRef tuple_of_floats(std::initializer_list<double> values) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!tuple) python_api_call_failed();
  Py_ssize_t i = 0;
  for (const double value : values) {
    PyObject* item = PyFloat_FromDouble(value);
    if (item == nullptr) python_api_call_failed();  // the tuple drops the floats set so far
    PyTuple_SetItem(tuple.get(), i++, item);
  }
  return tuple;
}

}  // namespace quorvane::py
