// The C-order kernel variants of one target, as bench_c_order.cpp sees them:
// each a delta and a gamma raw kernel (the signature of the production
// tables, core/kernels/kernels.hpp), listed by c_order_variants_<target>(),
// which bench_c_order_variants.cpp defines once per target.
#pragma once

#include <cstddef>

#include "core/recursions/gamma_recursion.hpp"

struct COrderVariant {
  const char* name;
  void (*delta)(const quorvane::TangentFlowInputs& in, std::size_t first, std::size_t count,
                double* const* outs) noexcept;
  void (*gamma)(const quorvane::TangentFlowGammaInputs& in, std::size_t first, std::size_t count,
                double* const* outs) noexcept;
};

struct COrderVariants {
  const COrderVariant* list;
  std::size_t count;
};

COrderVariants c_order_variants_avx2() noexcept;
COrderVariants c_order_variants_avx512() noexcept;
