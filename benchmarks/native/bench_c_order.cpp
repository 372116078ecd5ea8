// Micro-benchmark of the C-order kernels: what bounds them, and their variants
// side by side in one process on the same inputs (not part of the CMake build).
//
// Build and run from the repository root (only the kernel objects are
// compiled for their targets):
//   g++ -std=c++20 -O2 -ffp-contract=off -mavx2 -Iquorvane-rt/src -c \
//       quorvane-rt/src/core/kernels/kernels_avx2.cpp -o /tmp/kernels_avx2.o
//   g++ -std=c++20 -O2 -ffp-contract=off -mavx512f -Iquorvane-rt/src -c \
//       quorvane-rt/src/core/kernels/kernels_avx512.cpp -o /tmp/kernels_avx512.o
//   g++ -std=c++20 -O2 -ffp-contract=off -mavx2 -Iquorvane-rt/src \
//       -DC_ORDER_LANES=Avx2Lanes -DC_ORDER_VARIANTS=c_order_variants_avx2 \
//       -c benchmarks/native/bench_c_order_variants.cpp -o /tmp/c_order_avx2.o
//   g++ -std=c++20 -O2 -ffp-contract=off -mavx512f -Iquorvane-rt/src \
//       -DC_ORDER_LANES=Avx512Lanes -DC_ORDER_VARIANTS=c_order_variants_avx512 \
//       -c benchmarks/native/bench_c_order_variants.cpp -o /tmp/c_order_avx512.o
//   cc -O3 -march=native -c benchmarks/native/read_rows.c -o /tmp/read_rows.o
//   g++ -std=c++20 -O2 -ffp-contract=off -Iquorvane-rt/src \
//       -DQUORVANE_AVX2_TARGET=1 -DQUORVANE_AVX512_TARGET=1 \
//       benchmarks/native/bench_c_order.cpp quorvane-rt/src/core/weights/tangent_flow.cpp \
//       quorvane-rt/src/core/weights/tangent_flow_gamma.cpp quorvane-rt/src/core/kernels/target.cpp \
//       quorvane-rt/src/core/kernels/kernels_baseline.cpp quorvane-rt/src/core/support/*.cpp \
//       quorvane-rt/src/core/platform/platform_linux.cpp /tmp/kernels_avx2.o \
//       /tmp/kernels_avx512.o /tmp/c_order_avx2.o /tmp/c_order_avx512.o /tmp/read_rows.o \
//       -o /tmp/bench_c_order
//   /tmp/bench_c_order [repeats=7] [case-name filter]
//
// For each size, on 4 KiB pages and on transparent huge pages
// (madvise(MADV_HUGEPAGE), as NumPy asks for its large arrays), it reports in G
// path-steps/s (medians):
//   read bound  a sequential read of the four delta (six gamma) arrays in
//               lockstep with a software prefetch 8 KiB ahead, as
//               benchmarks/bench.py measures it;
//   plain read  a reader of the four delta arrays without software prefetch
//               that walks N rows of each side by side, a cache line of each in
//               turn, as a group of N paths reads them; N = 1 is a sequential
//               read, and the share of the bound that N keeps says how well
//               the hardware prefetchers alone follow 4 N concurrent streams;
//   variants    every C-order kernel variant of each supported target (see
//               bench_c_order_variants.cpp), delta and gamma, with its share of
//               the read bound, each checked bit for bit against the
//               scalar one-path weights.
// The small size runs from the caches, where the kernels show their compute bound.
//
// On an Intel Xeon VM (AVX-512, 48 KiB L1, 2 MiB L2), idle, medians of 7 to 21
// rounds in four runs:
//  - plain reads keep 81-97% of the bound with 1 to 4 rows at once; with rows
//    of 64 steps (8 lines) 72-78% at 8 rows, 66-72% at 12, 53-70% at 16 to 64;
//    with rows of 256 steps 79-88% up to 16 rows, 30-41% at 32 and 64. The
//    hardware prefetchers alone leave a group's short row streams well below
//    the bound;
//  - the group prefetch in address order is what holds C order up: without it
//    the kernels run at 47-69% of the bound, with it at 86-97% (AVX2 delta);
//  - two groups ahead: the same at 64 steps; at 256 steps 4-6% slower with
//    AVX2's gamma and 3-17% with AVX-512;
//  - into L1 instead of L2, where a group's block (24 to 48 KiB at 64 steps)
//    fits L1: at 100,000 x 64 the AVX2 delta 3-5% faster on 4 KiB pages and
//    5-11% on huge pages, AVX-512 and the gammas 0-7%; in cache the deltas
//    11-16%. At 256 steps (blocks of 96 to 196 KiB) 4-26% slower;
//  - huge pages raise the bound by 8-17% and the kernels by 8-13% at 64 steps,
//    1-3% at 256;
//  - the block transpose through L1 runs at 39-59% of the bound: copying each
//    element costs more than the register transpose it replaces.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>

#include "c_order_variants.hpp"
#include "core/weights/tangent_flow.hpp"
#include "core/weights/tangent_flow_gamma.hpp"
#include "median_seconds.hpp"

// benchmarks/native/read_rows.c.
extern "C" std::uint64_t read_rows(const unsigned char* const* arrays, std::size_t count, std::size_t paths,
                                   std::size_t row_bytes, std::size_t n, int prefetch);

using namespace quorvane;

namespace {

constexpr std::size_t kHuge = std::size_t{2} << 20;

// A C-ordered paths x steps array, 2 MiB aligned, on huge pages or explicitly not.
struct Array {
  struct Free {
    void operator()(double* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<double[], Free> storage;
  MatrixView view;
};

Array make_array(std::size_t paths, std::size_t steps, bool huge, std::mt19937_64& rng, double lo,
                 double hi) {
  Array a;
  std::uniform_real_distribution<double> u(lo, hi);
  const std::size_t size = paths * steps;
  const std::size_t bytes = (size * sizeof(double) + kHuge - 1) / kHuge * kHuge;
  a.storage.reset(static_cast<double*>(std::aligned_alloc(kHuge, bytes)));
  madvise(a.storage.get(), bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  for (std::size_t i = 0; i < size; ++i) a.storage[i] = u(rng);
  a.view = MatrixView{reinterpret_cast<const std::byte*>(a.storage.get()), paths, steps,
                      static_cast<std::ptrdiff_t>(steps * sizeof(double)), sizeof(double)};
  return a;
}

// The process's anonymous memory on huge pages, in MiB (0 where the kernel does not say).
long huge_mib() {
  std::ifstream f("/proc/self/smaps_rollup");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("AnonHugePages:", 0) == 0) return std::atol(line.c_str() + 14) / 1024;
  return 0;
}

struct Target {
  const char* name;
  KernelTarget target;
  COrderVariants (*variants)() noexcept;
};

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 7;
  const std::string filter = argc > 2 ? argv[2] : "";
  const Target targets[] = {{"avx2", KernelTarget::avx2, &c_order_variants_avx2},
                            {"avx512", KernelTarget::avx512, &c_order_variants_avx512}};
  struct Case {
    std::size_t paths, steps;
    bool huge;
    const char* name;
  } cases[] = {
      {100000, 64, false, "100000x64 4K"}, {100000, 64, true, "100000x64 huge"},
      {65536, 256, false, "65536x256 4K"}, {65536, 256, true, "65536x256 huge"},
      {1000, 64, false, "1000x64 4K"},     {1000, 64, true, "1000x64 huge"},
  };
  for (const Case& c : cases) {
    if (!filter.empty() && std::string(c.name).find(filter) == std::string::npos) continue;
    std::mt19937_64 rng(1);
    Array arrays[6];
    arrays[0] = make_array(c.paths, c.steps, c.huge, rng, -0.1, 0.1);  // dws
    arrays[1] = make_array(c.paths, c.steps, c.huge, rng, 0.2, 0.5);   // sigma
    arrays[2] = make_array(c.paths, c.steps, c.huge, rng, -0.1, 0.1);  // mu'
    arrays[3] = make_array(c.paths, c.steps, c.huge, rng, -0.3, 0.3);  // sigma'
    arrays[4] = make_array(c.paths, c.steps, c.huge, rng, -0.2, 0.2);  // mu''
    arrays[5] = make_array(c.paths, c.steps, c.huge, rng, -0.5, 0.5);  // sigma''
    const unsigned char* all[6];
    for (int k = 0; k < 6; ++k) all[k] = reinterpret_cast<const unsigned char*>(arrays[k].storage.get());
    TangentFlowGammaInputs gin;
    gin.flow = make_tangent_flow_inputs(arrays[0].view, arrays[1].view, arrays[2].view, arrays[3].view,
                                        c.paths, c.steps, 1.0);
    gin.d2_mu_dx2 = arrays[4].view;
    gin.d2_sigma_dx2 = arrays[5].view;
    gin.split = c.steps / 2;
    const double t1 = static_cast<double>(gin.split) * gin.flow.dt;
    gin.inv_t1 = 1.0 / t1;
    gin.inv_t2 = 1.0 / (1.0 - t1);
    const TangentFlowInputs& in = gin.flow;
    const double work = static_cast<double>(c.paths) * static_cast<double>(c.steps);
    // Small cases run many times per sample so that a sample lasts ~10 ms.
    const int inner = std::max(1, static_cast<int>(2e7 / work));
    const auto rate = [&](double seconds) { return work * inner / seconds / 1e9; };
    std::printf("%s (%ld MiB of the process on huge pages)\n", c.name, huge_mib());

    std::uint64_t sink = 0;
    const auto read = [&](std::size_t count, std::size_t n, int prefetch) {
      return rate(median_seconds(repeats, [&] {
        for (int k = 0; k < inner; ++k) sink ^= read_rows(all, count, c.paths, c.steps * sizeof(double), n, prefetch);
      }));
    };
    const double bound = read(4, 1, 1), bound6 = read(6, 1, 1);
    std::printf("  %-30s %.3f G path-steps/s\n", "read bound 4 (prefetch 8 KiB)", bound);
    std::printf("  %-30s %.3f G path-steps/s\n", "read bound 6 (prefetch 8 KiB)", bound6);
    for (std::size_t n : {1, 4, 8, 12, 16, 32, 64}) {
      const double r = read(4, n, 0);
      std::printf("  plain read 4, %2zu rows at once   %.3f G path-steps/s (%3.0f%%)%s\n", n, r, 100.0 * r / bound,
                  sink == 42 ? " " : "");
    }

    std::vector<double> delta_ref(c.paths), gamma_ref(c.paths);
    for (std::size_t i = 0; i < c.paths; ++i) {
      delta_ref[i] = tangent_flow_path_weight(in, i).weight;
      gamma_ref[i] = tangent_flow_gamma_path_weight(gin, i).gamma;
    }
    // Every variant of every target once a round, so that a change in the
    // machine's load (it is shared) falls on all of them alike; each result
    // is the median of its rounds. The outputs of the last round are checked.
    struct Run {
      const char* target;
      const COrderVariant* variant;
      bool gamma;
      std::vector<double> out, seconds;
    };
    std::vector<Run> runs;
    for (const Target& t : targets) {
      if (!kernel_target_supported(t.target)) continue;
      const COrderVariants vs = t.variants();
      for (std::size_t v = 0; v < vs.count; ++v)
        for (bool gamma : {false, true}) runs.push_back({t.name, &vs.list[v], gamma, std::vector<double>(c.paths), {}});
    }
    for (int round = 0; round < repeats; ++round)
      for (Run& r : runs) {
        double* const outs[1] = {r.out.data()};
        r.seconds.push_back(median_seconds(1, [&] {
          for (int k = 0; k < inner; ++k) {
            if (r.gamma) {
              r.variant->gamma(gin, 0, c.paths, outs);
            } else {
              r.variant->delta(in, 0, c.paths, outs);
            }
          }
        }));
      }
    for (Run& r : runs) {
      std::sort(r.seconds.begin(), r.seconds.end());
      const double g = rate(r.seconds[r.seconds.size() / 2]), of = r.gamma ? bound6 : bound;
      const std::vector<double>& ref = r.gamma ? gamma_ref : delta_ref;
      const bool same = std::memcmp(r.out.data(), ref.data(), c.paths * sizeof(double)) == 0;
      std::printf("  %-6s %-5s %-26s %.3f G path-steps/s (%3.0f%%)%s\n", r.target, r.gamma ? "gamma" : "delta",
                  r.variant->name, g, 100.0 * g / of, same ? "" : "  MISMATCH");
    }
  }
  return 0;
}
