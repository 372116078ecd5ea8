// The rows of the function tables. A row is one module function, written once:
// its name, its parameters, its docstring and its computation. Everything else
// about the function comes from the row: the binding descriptor, the text
// signature that heads the docstring ("f(a, b, strike=0.0)\n--\n\n"), the
// conversion of each argument into a field of its family's arguments struct,
// and the record a module registers.
//
//   struct ConstantFlow { ReadonlyArray w_terminals; double horizon, sigma_at_x0; };
//   using A = ConstantFlow;
//   constexpr auto w_terminals = param::vector("w_terminals", &A::w_terminals);
//   ...
//   constexpr auto kWeights = row("bel_weights_constant_flow", list(w_terminals, horizon, sigma_at_x0),
//                                 docs::kBelWeightsConstantFlow,
//                                 [](const A& a) -> Fallible<PyRef> { ... a.w_terminals.vector() ... });
//   ... record<kWeights>() ...   // what a module registers (boundary/modules/modules.cpp)
//
// A call binds its arguments to as many slots as the row has parameters,
// converts them one by one in parameter order (the first failure ends the
// call), then runs the computation on the filled struct. The arrays are
// dropped in reverse order of intake on every path out of the body.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "boundary/arrays/intake.hpp"
#include "boundary/binding/binding.hpp"
#include "boundary/entry/module.hpp"

namespace quorvane::py {

using numpy::ReadonlyArray;

// What an argument is converted to.
enum class Kind {
  vector,        // a 1-D float64 array, never copied
  matrix,        // a 2-D float64 array, never copied
  real,          // anything the interpreter converts to a float
  real_or_zero,  // the same, 0.0 when omitted (None fails conversion like any object)
  real_or_none,  // the same, or no value when omitted or None
  text,          // a str (or subclass), its UTF-8 text borrowed from the object
};

// One parameter: its Python name, its kind, and the field of the family's
// arguments struct `A` that receives it (the member of the kind's type).
template <class A>
struct Parameter {
  std::string_view name;
  Kind kind = Kind::real;
  ReadonlyArray A::*array = nullptr;
  double A::*real = nullptr;
  std::string_view A::*text = nullptr;
  std::optional<double> A::*maybe_real = nullptr;

  constexpr bool is_array() const { return kind == Kind::vector || kind == Kind::matrix; }
  // As the text signature shows it; empty for a required parameter.
  constexpr std::string_view default_text() const {
    return kind == Kind::real_or_zero ? "0.0" : kind == Kind::real_or_none ? "None" : "";
  }
};

namespace param {
template <class A>
constexpr Parameter<A> vector(std::string_view name, ReadonlyArray A::*field) {
  return {name, Kind::vector, field};
}
template <class A>
constexpr Parameter<A> matrix(std::string_view name, ReadonlyArray A::*field) {
  return {name, Kind::matrix, field};
}
template <class A>
constexpr Parameter<A> real(std::string_view name, double A::*field) {
  return {name, Kind::real, nullptr, field};
}
template <class A>
constexpr Parameter<A> real_or_zero(std::string_view name, double A::*field) {
  return {name, Kind::real_or_zero, nullptr, field};
}
template <class A>
constexpr Parameter<A> real_or_none(std::string_view name, std::optional<double> A::*field) {
  return {name, Kind::real_or_none, nullptr, nullptr, nullptr, field};
}
template <class A>
constexpr Parameter<A> text(std::string_view name, std::string_view A::*field) {
  return {name, Kind::text, nullptr, nullptr, field};
}
}  // namespace param

template <class A, std::size_t N>
using ParameterList = std::array<Parameter<A>, N>;

namespace detail {
template <class A>
constexpr ParameterList<A, 1> as_list(const Parameter<A>& p) {
  return {p};
}
template <class A, std::size_t N>
constexpr const ParameterList<A, N>& as_list(const ParameterList<A, N>& l) {
  return l;
}
template <class A, std::size_t... N>
constexpr ParameterList<A, (N + ...)> concat(const ParameterList<A, N>&... lists) {
  ParameterList<A, (N + ...)> all{};
  std::size_t i = 0;
  ((void)[&] { for (const Parameter<A>& p : lists) all[i++] = p; }(), ...);
  return all;
}
}  // namespace detail

// A parameter list from parameters and lists, in order.
template <class... Parts>
constexpr auto list(const Parts&... parts) {
  return detail::concat(detail::as_list(parts)...);
}

template <class A, std::size_t N>
struct Row {
  using Arguments = A;
  std::string_view name;  // a string literal's view (null-terminated)
  ParameterList<A, N> parameters;
  std::string_view doc;  // what follows the text signature
  Fallible<PyRef> (*compute)(const A& arguments);
};

template <class A, std::size_t N>
constexpr Row<A, N> row(std::string_view name, const ParameterList<A, N>& parameters, std::string_view doc,
                        std::type_identity_t<Fallible<PyRef> (*)(const A&)> compute) {
  return {name, parameters, doc, compute};
}

namespace detail {

// The number of leading parameters without a default; every later one has one.
template <class A, std::size_t N>
constexpr std::size_t required_count(const ParameterList<A, N>& parameters) {
  std::size_t r = 0;
  while (r < N && parameters[r].default_text().empty()) ++r;
  return r;
}

template <class A, std::size_t N>
constexpr bool well_formed(const ParameterList<A, N>& parameters) {
  for (std::size_t i = 0; i < N; ++i) {
    const Parameter<A>& p = parameters[i];
    if (p.name.empty() || (p.is_array() ? p.array == nullptr
                           : p.kind == Kind::text ? p.text == nullptr
                           : p.kind == Kind::real_or_none ? p.maybe_real == nullptr
                                                  : p.real == nullptr)) {
      return false;
    }
    if (i >= required_count(parameters) && p.default_text().empty()) return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (parameters[j].name == p.name) return false;
    }
  }
  return true;
}

template <class A, std::size_t N>
constexpr std::size_t array_count(const ParameterList<A, N>& parameters) {
  std::size_t n = 0;
  for (const Parameter<A>& p : parameters) n += p.is_array();
  return n;
}

// Writes the docstring CPython reads a text signature from, "name(a, b,
// strike=0.0)\n--\n\n" then the body, to `out` (when not null); returns its length.
template <class R>
constexpr std::size_t write_docstring(const R& row, char* out) {
  std::size_t n = 0;
  auto put = [&](std::string_view s) {
    for (char c : s) {
      if (out != nullptr) out[n] = c;
      ++n;
    }
  };
  put(row.name);
  put("(");
  for (std::size_t i = 0; i < row.parameters.size(); ++i) {
    if (i > 0) put(", ");
    put(row.parameters[i].name);
    if (!row.parameters[i].default_text().empty()) {
      put("=");
      put(row.parameters[i].default_text());
    }
  }
  put(")\n--\n\n");
  put(row.doc);
  return n;
}

template <const auto& row>
inline constexpr auto kDocstring = [] {
  std::array<char, write_docstring(row, nullptr) + 1> text{};
  write_docstring(row, text.data());
  return text;
}();

template <const auto& row>
inline constexpr auto kNames = [] {
  std::array<std::string_view, row.parameters.size()> names{};
  for (std::size_t i = 0; i < names.size(); ++i) names[i] = row.parameters[i].name;
  return names;
}();

template <const auto& row>
inline constexpr ArgumentDescriptor kDescriptor{row.name, kNames<row>, required_count(row.parameters)};

// The family's arguments struct of one call. Its arrays are dropped in reverse
// parameter order, which is the reverse of intake, however the call ends.
template <const auto& row>
struct Taken {
  typename std::remove_cvref_t<decltype(row)>::Arguments values{};
  Taken() = default;
  Taken(const Taken&) = delete;
  Taken& operator=(const Taken&) = delete;
  ~Taken() {
    for (std::size_t i = row.parameters.size(); i-- > 0;) {
      if (row.parameters[i].is_array()) values.*row.parameters[i].array = ReadonlyArray();
    }
  }
};

// Converts one bound argument (null: omitted) into its field; the error that
// ends the call when it does not convert.
template <class A>
std::optional<CallError> take(const Parameter<A>& p, PyObject* object, A& into) {
  switch (p.kind) {
    case Kind::vector:
    case Kind::matrix: {
      auto array = numpy::extract_readonly_array(object, p.name, p.kind == Kind::vector ? 1 : 2);
      if (!array.ok()) return std::move(array).error();
      into.*p.array = std::move(array).value();
      return std::nullopt;
    }
    case Kind::real_or_zero:
      if (object == nullptr) {
        into.*p.real = 0.0;
        return std::nullopt;
      }
      [[fallthrough]];
    case Kind::real: {
      auto value = extract_float(object, p.name);
      if (!value.ok()) return std::move(value).error();
      into.*p.real = value.value();
      return std::nullopt;
    }
    case Kind::real_or_none: {
      if (object == nullptr || object == Py_None) {
        into.*p.maybe_real = std::nullopt;
        return std::nullopt;
      }
      auto value = extract_float(object, p.name);
      if (!value.ok()) return std::move(value).error();
      into.*p.maybe_real = value.value();
      return std::nullopt;
    }
    case Kind::text: {
      auto value = extract_str(object, p.name);
      if (!value.ok()) return std::move(value).error();
      into.*p.text = value.value();
      return std::nullopt;
    }
  }
  return std::nullopt;
}

template <const auto& row>
Fallible<PyRef> function_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, row.parameters.size()> slots{};
  if (auto failure = bind_arguments(kDescriptor<row>, slots, args, nargs, kwnames)) {
    return std::move(*failure);
  }
  numpy::CallArrays::Room<array_count(row.parameters)> room;  // outlives the arrays
  Taken<row> taken;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (auto failure = take(row.parameters[i], slots[i], taken.values)) return std::move(*failure);
  }
  return row.compute(taken.values);
}

}  // namespace detail

// The record a module registers for the row's function.
template <const auto& row>
constexpr FunctionRecord record() {
  static_assert(detail::well_formed(row.parameters),
                "every parameter is named once, has its field, and defaults come last");
  return FunctionRecord{row.name.data(), &entry<detail::function_body<row>>,
                        detail::kDocstring<row>.data()};
}

}  // namespace quorvane::py
