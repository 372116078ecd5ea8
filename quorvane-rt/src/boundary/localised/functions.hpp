// The function table of quorvane._localised, in registration order.
#pragma once

#include <span>

#include "boundary/entry/module.hpp"

namespace quorvane::py {

// The three functions, in table order.
std::span<const FunctionRecord> localised_functions() noexcept;

}  // namespace quorvane::py
