// The body of a module function, from its descriptor and its computation:
// bind, convert the arguments one by one in parameter order (the arrays come
// first), call the computation with the converted values, build the result.
// What each parameter becomes is read from the computation's signature:
//
//   Fallible<PyRef> gamma(const ReadonlyArray& w_terminals, double horizon);
//   function_record<kGammaArgs, gamma>(doc)      // its row of the function table
//
//   const ReadonlyArray&       one 1-D float64 array
//   const PathArrays<N>&       N 2-D float64 arrays (N parameters)
//   double                     anything the interpreter converts to a float
//   std::string_view           a str
//   FloatOrZero                a float that is 0.0 when omitted (None fails)
//
// The first conversion that fails ends the call. Every converted value is a
// local of its own nested frame, so the array handles outlive the computation
// and are dropped in reverse order of intake on every path out of the body.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "boundary/arrays/intake.hpp"
#include "boundary/arrays/output.hpp"
#include "boundary/binding/binding.hpp"
#include "boundary/entry/module.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/support/outcome.hpp"

namespace quorvane::py {

using numpy::PathArrays;
using numpy::ReadonlyArray;

struct FloatOrZero {
  double value = 0.0;
};

namespace detail {

// How a parameter of the computation's type T is taken from the bound slots,
// starting at slot i; kSlots parameters each.
template <class T>
struct Parameter;

template <>
struct Parameter<ReadonlyArray> {
  static constexpr std::size_t kSlots = 1;
  static Fallible<ReadonlyArray> take(const ArgumentSlots& slot, const ArgumentDescriptor& d,
                                      std::size_t i) {
    return numpy::extract_readonly_array(slot[i], d.parameters[i], 1);
  }
};

template <std::size_t N>
struct Parameter<PathArrays<N>> {
  static constexpr std::size_t kSlots = N;
  static Fallible<PathArrays<N>> take(const ArgumentSlots& slot, const ArgumentDescriptor& d,
                                      std::size_t i) {
    return numpy::take_path_arrays<N>(slot, d, i);
  }
};

template <>
struct Parameter<double> {
  static constexpr std::size_t kSlots = 1;
  static Fallible<double> take(const ArgumentSlots& slot, const ArgumentDescriptor& d,
                               std::size_t i) {
    return extract_float(slot[i], d.parameters[i]);
  }
};

template <>
struct Parameter<std::string_view> {
  static constexpr std::size_t kSlots = 1;
  static Fallible<std::string_view> take(const ArgumentSlots& slot, const ArgumentDescriptor& d,
                                         std::size_t i) {
    return extract_str(slot[i], d.parameters[i]);
  }
};

// None is an ordinary object here and fails conversion like any other.
template <>
struct Parameter<FloatOrZero> {
  static constexpr std::size_t kSlots = 1;
  static Fallible<FloatOrZero> take(const ArgumentSlots& slot, const ArgumentDescriptor& d,
                                    std::size_t i) {
    if (slot[i] == nullptr) return FloatOrZero{};
    auto v = extract_float(slot[i], d.parameters[i]);
    if (!v.ok()) return std::move(v).error();
    return FloatOrZero{v.value()};
  }
};

template <class Computation>
struct Body;

template <class... Params>
struct Body<Fallible<PyRef> (*)(Params...)> {
  template <std::size_t k>
  using Param = Parameter<std::remove_cvref_t<std::tuple_element_t<k, std::tuple<Params...>>>>;

  static constexpr std::size_t slots() {
    return []<std::size_t... k>(std::index_sequence<k...>) {
      return (std::size_t{0} + ... + Param<k>::kSlots);
    }(std::index_sequence_for<Params...>{});
  }

  // Takes the parameters after `taken` from slot i on, then computes.
  template <auto compute, class... Taken>
  static Fallible<PyRef> take(const ArgumentSlots& slot, const ArgumentDescriptor& d,
                              std::size_t i, Taken&... taken) {
    if constexpr (sizeof...(Taken) == sizeof...(Params)) {
      return compute(taken...);
    } else {
      using P = Param<sizeof...(Taken)>;
      auto value = P::take(slot, d, i);
      if (!value.ok()) return std::move(value).error();
      return take<compute>(slot, d, i + P::kSlots, taken..., value.value());
    }
  }
};

}  // namespace detail

template <const ArgumentDescriptor& descriptor, auto compute>
Fallible<PyRef> function_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Body = detail::Body<decltype(compute)>;
  static_assert(Body::slots() == descriptor.count, "the computation takes every parameter");
  auto bound = bind_arguments(descriptor, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound).error();
  return Body::template take<compute>(bound.value(), descriptor, 0);
}

// The function-table row of the descriptor's function (the descriptor's name
// views a string literal, so it is null-terminated).
template <const ArgumentDescriptor& descriptor, auto compute>
constexpr FunctionRecord function_record(const char* doc) {
  return FunctionRecord{descriptor.function_name.data(), &entry<function_body<descriptor, compute>>,
                        doc};
}

// An estimator's outcome as the call's result: its validation failure as
// ValueError, else its value built into a Python object by `build`.
template <class T, class Build>
Fallible<PyRef> outcome_result(Outcome<T>&& outcome, Build&& build) {
  if (!outcome.ok()) return value_error(std::move(outcome.failure().message));
  return build(std::move(outcome).value());
}

inline Fallible<PyRef> weights_result(Outcome<DoubleBuffer>&& weights) {
  return outcome_result(std::move(weights), numpy::array_from_vector);
}

// The parallel form: validates with the interpreter lock held (the pool is not
// touched when that fails), computes with it released, and builds the result
// or the error only after taking it back. The caller's array handles stay
// alive throughout, and none of the arrays can be resized meanwhile (by
// another thread, or by a signal handler that the waiting caller runs while
// the workers read): see CallArrays::hold_sizes.
template <class Inputs>
Fallible<PyRef> parallel_weights(Outcome<Inputs>&& inputs,
                                 Outcome<DoubleBuffer> (*run)(const Inputs&)) {
  if (!inputs.ok()) return value_error(std::move(inputs.failure().message));
  prepare_parallel_run();  // reads the environment while the lock still guards it
  const numpy::CallArrays* arrays = numpy::CallArrays::current();
  std::optional<numpy::CallArrays::SizeHold> hold;
  if (arrays != nullptr) hold.emplace(arrays->hold_sizes());
  return weights_result(without_lock([&] { return run(inputs.value()); }));
}

}  // namespace quorvane::py
