// The function table of quorvane._chunks, in registration order.
#pragma once

#include <span>

#include "boundary/entry/module.hpp"

namespace quorvane::py {

// The five chunk-sum functions, then estimate_from_sums.
std::span<const FunctionRecord> chunks_functions() noexcept;

}  // namespace quorvane::py
