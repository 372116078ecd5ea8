// The function table of _quorvane, in registration order.
#pragma once

#include <span>

#include "boundary/entry/module.hpp"

namespace quorvane::py {

// The six functions, in table order.
std::span<const FunctionRecord> quorvane_functions() noexcept;

}  // namespace quorvane::py
