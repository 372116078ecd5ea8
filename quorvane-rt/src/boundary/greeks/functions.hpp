// The function table of quorvane._greeks, in registration order.
#pragma once

#include <cstddef>

#include "boundary/entry/module.hpp"

namespace quorvane::py {

// The six functions, in table order; `count` of them.
const FunctionRecord* greeks_functions(std::size_t& count) noexcept;

}  // namespace quorvane::py
