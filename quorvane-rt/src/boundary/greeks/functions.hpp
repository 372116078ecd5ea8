// The function table of quorvane._greeks, in registration order.
#pragma once

#include <span>

#include "boundary/entry/module.hpp"

namespace quorvane::py {

// The six functions, in table order.
std::span<const FunctionRecord> greeks_functions() noexcept;

}  // namespace quorvane::py
