// Native tests of the gamma and vega estimators: the tangent-flow gamma
// recursion, its multi-path kernels on every target and layout, the delta
// weights computed beside it, and the constant-flow gamma, vega and fused loops.
//
// As for the delta kernels, the heart is bit-exactness: every fast kernel is
// compared with memcmp against the one-lane recursion, which is itself compared
// against a plain reference written out below from the formulas.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "core/weights/constant_flow_gamma_vega.hpp"
#include "core/payoffs/payoffs.hpp"
#include "core/weights/tangent_flow_gamma.hpp"
#include "core/weights/tangent_flow_variations.hpp"
#include "core/weights/average.hpp"
#include "core/payoffs/functionals.hpp"
#include "core/estimates/constant_flow_greeks.hpp"
#include "core/estimates/tangent_flow_greeks.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/recursion_groups.hpp"
#include "core/support/interrupt.hpp"
#include "support.hpp"

namespace quorvane {
namespace {

using namespace quorvane::test_support;

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}

// ---------------------------------------------------------------------------
// A logical rows x cols matrix stored as a NumPy array of the given layout could
// be, with the view NumPy would hand over.

enum class Layout { c_order, fortran, reversed, every_second, packed, broadcast_rows };

const char* layout_name(Layout l) {
  switch (l) {
    case Layout::c_order: return "c_order";
    case Layout::fortran: return "fortran";
    case Layout::reversed: return "reversed";
    case Layout::every_second: return "every_second";
    case Layout::packed: return "packed";
    case Layout::broadcast_rows: return "broadcast_rows";
  }
  return "?";
}

constexpr Layout kLayouts[] = {Layout::c_order,      Layout::fortran, Layout::reversed,
                               Layout::every_second, Layout::packed};

class Laid {
 public:
  // For broadcast_rows only row 0 of `logical` is stored and every row reads it.
  Laid(const std::vector<double>& logical, std::size_t rows, std::size_t cols, Layout layout) {
    const bool fortran = layout == Layout::fortran;
    const std::size_t elem = layout == Layout::packed ? 12 : 8;
    const std::size_t lead = layout == Layout::packed ? 5 : 0;  // an odd address
    const std::size_t scale = layout == Layout::every_second ? 2 : 1;
    const std::size_t slots = std::max<std::size_t>(rows * cols, 1) * scale * scale;
    storage_.assign(lead + slots * elem + 16, std::byte{0x5a});
    std::byte* base = storage_.data() + lead;
    std::ptrdiff_t rs = static_cast<std::ptrdiff_t>((fortran ? 1 : cols * scale) * elem * scale);
    std::ptrdiff_t cs = static_cast<std::ptrdiff_t>((fortran ? rows * scale : 1) * elem * scale);
    if (layout == Layout::broadcast_rows) rs = 0;
    std::byte* origin = base;
    if (layout == Layout::reversed) {
      if (rows > 0) origin += static_cast<std::ptrdiff_t>(rows - 1) * rs;
      if (cols > 0) origin += static_cast<std::ptrdiff_t>(cols - 1) * cs;
      rs = -rs;
      cs = -cs;
    }
    view_ = MatrixView{origin, rows, cols, rs, cs};
    for (std::size_t i = 0; i < (layout == Layout::broadcast_rows ? std::min<std::size_t>(rows, 1) : rows); ++i)
      for (std::size_t j = 0; j < cols; ++j)
        std::memcpy(const_cast<std::byte*>(view_.address(i, j)), &logical[i * cols + j], 8);
  }
  Laid(const Laid&) = delete;
  Laid& operator=(const Laid&) = delete;
  const MatrixView& view() const { return view_; }

 private:
  std::vector<std::byte> storage_;
  MatrixView view_;
};

// ---------------------------------------------------------------------------
// Random batches: dws, sigma, mu', sigma', mu'', sigma'' (row-major, logical).

struct GammaBatch {
  std::size_t n_paths, n_steps;
  std::vector<double> a[6];
  double& at(int k, std::size_t i, std::size_t j) { return a[k][i * n_steps + j]; }
  double at(int k, std::size_t i, std::size_t j) const { return a[k][i * n_steps + j]; }
};

// Specials (NaN of several payloads, infinities, -0.0, tiny values) at
// `special_rate`; sigma is zero only at `zero_rate`.
GammaBatch random_batch(std::size_t n_paths, std::size_t n_steps, std::uint32_t seed,
                        double special_rate, double zero_rate = 0.0) {
  GammaBatch b{n_paths, n_steps, {}};
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double specials[] = {kNaN, -kNaN, kInf, -kInf, -0.0, 0.0, 1e-320, 1e300, -1e-300};
  for (auto& v : b.a) v.resize(n_paths * n_steps);
  for (std::size_t i = 0; i < n_paths; ++i)
    for (std::size_t j = 0; j < n_steps; ++j) {
      b.at(0, i, j) = 0.1 * normal(rng);
      b.at(1, i, j) = (0.05 + unit(rng)) * (rng() % 5 == 0 ? -1.0 : 1.0);
      b.at(2, i, j) = 0.3 * normal(rng);
      b.at(3, i, j) = 0.5 * normal(rng);
      b.at(4, i, j) = 0.2 * normal(rng);
      b.at(5, i, j) = 0.4 * normal(rng);
      for (int k = 0; k < 6; ++k) {
        if (unit(rng) >= special_rate) continue;
        double s = specials[rng() % std::size(specials)];
        if (k == 1 && s == 0.0) s = 1e-320;  // zeros only where asked
        b.at(k, i, j) = s;
      }
      if (unit(rng) < zero_rate) b.at(1, i, j) = (rng() % 2) ? 0.0 : -0.0;
    }
  return b;
}

struct LaidBatch {
  std::vector<std::unique_ptr<Laid>> arrays;
  MatrixView states;
  LaidBatch(const GammaBatch& b, Layout layout) {
    for (const auto& v : b.a) arrays.push_back(std::make_unique<Laid>(v, b.n_paths, b.n_steps, layout));
    states = MatrixView{nullptr, b.n_paths, b.n_steps + 1, 0, 0};
  }
  const MatrixView& v(int k) const { return arrays[k]->view(); }
  TangentFlowGammaInputs inputs(double horizon) const {
    return validate_tangent_flow_gamma_inputs(states, v(0), v(1), v(2), v(3), v(4), v(5), horizon)
        .value();
  }
};

// A plain sequential reference of the gamma recursion, written from the
// definition independently of the kernel body: one path, steps in order.
std::optional<double> reference_gamma(const GammaBatch& b, std::size_t i, double horizon,
                                      std::size_t* zero_step = nullptr) {
  const std::size_t n = b.n_steps;
  const std::size_t m = n / 2;
  const double dt = horizon / static_cast<double>(n);
  const double t1 = static_cast<double>(m) * dt;
  const double inv_t1 = 1.0 / t1;
  const double inv_t2 = 1.0 / (horizon - t1);
  double y = 1.0, z = 0.0, a = 0.0, bb = 0.0, c = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    const double s = b.at(1, i, j);
    if (s == 0.0) {
      if (zero_step) *zero_step = j;
      return std::nullopt;
    }
    const double dw = b.at(0, i, j), dmu = b.at(2, i, j), dsig = b.at(3, i, j);
    const double k = y / s;
    if (j < m) {
      a = a + k * dw;
      const double e = z / s - (k * k) * dsig;
      c = c + e * dw;
      const double y2 = y * y;
      const double zs = (b.at(5, i, j) * y2 + dsig * z) * dw;
      const double zm = (b.at(4, i, j) * y2 + dmu * z) * dt;
      z = z + (zs + zm);
    } else {
      bb = bb + k * dw;
    }
    y = y + ((dsig * y) * dw + (dmu * y) * dt);
  }
  return (a * inv_t1) * (bb * inv_t2) + c * inv_t1;
}

// Y_N and Z_N of path i, from their definition (Z carried over every step),
// independently of the kernel body; NaN pair when the path has a zero sigma.
std::pair<double, double> reference_variations(const GammaBatch& b, std::size_t i, double horizon) {
  const double dt = horizon / static_cast<double>(b.n_steps);
  double y = 1.0, z = 0.0;
  for (std::size_t j = 0; j < b.n_steps; ++j) {
    if (b.at(1, i, j) == 0.0) return {kNaN, kNaN};
    const double dw = b.at(0, i, j), dmu = b.at(2, i, j), dsig = b.at(3, i, j);
    const double y2 = y * y;
    const double zs = (b.at(5, i, j) * y2 + dsig * z) * dw;
    const double zm = (b.at(4, i, j) * y2 + dmu * z) * dt;
    z = z + (zs + zm);
    y = y + ((dsig * y) * dw + (dmu * y) * dt);
  }
  return {y, z};
}

// The one-lane scan in row-major order: every gamma and delta weight, or the
// first zero sigma.
struct Scan {
  std::vector<double> gamma, delta;
  std::optional<ZeroSigma> zero;
};

Scan scalar_scan(const TangentFlowGammaInputs& in, std::size_t first, std::size_t count) {
  Scan s;
  s.zero = scan_paths(
      first, count, [&](std::size_t path) { return tangent_flow_gamma_path_weight(in, path); },
      [&](const PathGamma& g, std::size_t path) {
        s.gamma.push_back(g.gamma);
        s.delta.push_back(tangent_flow_path_weight(in.flow, path).weight);
      });
  return s;
}

// Both kernels of `target` (gamma only; delta and gamma) against the scan.
void expect_kernels_match_scan(KernelTarget target, const TangentFlowGammaInputs& in,
                               std::size_t first, std::size_t count, const std::string& where) {
  const Scan expected = scalar_scan(in, first, count);
  std::vector<double> gamma(count + 1, 12345.0), both(count + 1, 12345.0), delta(count + 1, 12345.0);
  const auto zero = tangent_flow_gamma_weights_with(target, in, first, count, gamma.data());
  const auto zero2 =
      tangent_flow_delta_gamma_weights_with(target, in, first, count, both.data(), delta.data());
  ASSERT_EQ(zero, expected.zero) << where;
  ASSERT_EQ(zero2, expected.zero) << where;
  EXPECT_EQ(gamma[count], 12345.0) << where << ": wrote past the range";
  EXPECT_EQ(delta[count], 12345.0) << where << ": wrote past the range";
  if (zero) return;
  gamma.pop_back();
  both.pop_back();
  delta.pop_back();
  EXPECT_TRUE(same_bits(gamma, expected.gamma)) << where << ": gamma weights";
  EXPECT_TRUE(same_bits(both, expected.gamma)) << where << ": gamma weights beside the delta";
  EXPECT_TRUE(same_bits(delta, expected.delta)) << where << ": delta weights";
  // The variations recursions: the same weights (finite ones to the bit), and
  // Y_N, Z_N with the bits of their one-lane instance.
  std::vector<double> vg(count), vd(count), vy(count), vz(count), dd(count), dy(count);
  ASSERT_EQ(tangent_flow_variations_with(target, in, first, count, vg.data(), vd.data(), vy.data(),
                                         vz.data()),
            std::nullopt)
      << where;
  ASSERT_EQ(tangent_flow_delta_variation_with(target, in.flow, first, count, dd.data(), dy.data()),
            std::nullopt)
      << where;
  for (std::size_t k = 0; k < count; ++k) {
    const PathVariations p = tangent_flow_variations_path(in, first + k);
    const double got[] = {vg[k], vd[k], vy[k], vz[k]};
    ASSERT_EQ(std::memcmp(got, p.out, sizeof got), 0) << where << ": variations of path " << first + k;
    if (std::isfinite(p.out[0])) {
      ASSERT_EQ(std::memcmp(&vg[k], &expected.gamma[k], 8), 0) << where;
    }
    if (std::isfinite(p.out[1])) {
      ASSERT_EQ(std::memcmp(&vd[k], &expected.delta[k], 8), 0) << where;
      ASSERT_EQ(std::memcmp(&dd[k], &expected.delta[k], 8), 0) << where;
    }
    if (std::isfinite(dd[k]) && std::isfinite(vy[k])) {
      ASSERT_EQ(std::memcmp(&dy[k], &vy[k], 8), 0) << where;
    }
  }
}

// ===========================================================================
// The tangent-flow gamma recursion.

// Z is carried through the second interval too: Z_N, not Z_m.
TEST(TangentFlowGamma, VariationsMatchThePlainReferenceOverEveryStep) {
  for (std::size_t n_steps : {2u, 3u, 7u, 16u}) {
    const GammaBatch b = random_batch(40, n_steps, 5 + n_steps, 0.0);
    const LaidBatch laid(b, Layout::c_order);
    const TangentFlowGammaInputs in = laid.inputs(1.3);
    for (std::size_t i = 0; i < b.n_paths; ++i) {
      const auto [y, z] = reference_variations(b, i, 1.3);
      const PathVariations got = tangent_flow_variations_path(in, i);
      ASSERT_FALSE(got.zero_sigma_step);
      expect_same_value(y, got.out[2], "Y_N, path " + std::to_string(i));
      expect_same_value(z, got.out[3], "Z_N, path " + std::to_string(i));
      expect_same_value(tangent_flow_gamma_path_weight(in, i).gamma, got.out[0], "gamma weight");
    }
  }
}

TEST(TangentFlowGamma, OneLaneRecursionMatchesThePlainReference) {
  for (std::size_t n_steps : {2u, 3u, 4u, 7u, 16u}) {
    const GammaBatch b = random_batch(40, n_steps, 11 + n_steps, 0.04);
    const LaidBatch laid(b, Layout::c_order);
    const TangentFlowGammaInputs in = laid.inputs(1.7);
    for (std::size_t i = 0; i < b.n_paths; ++i) {
      const std::optional<double> ref = reference_gamma(b, i, 1.7);
      const PathGamma got = tangent_flow_gamma_path_weight(in, i);
      ASSERT_TRUE(ref && got.ok());
      expect_same_value(*ref, got.gamma, "steps " + std::to_string(n_steps) + " path " + std::to_string(i));
    }
  }
}

// On GBM inputs (sigma = s X, sigma' = s, second derivatives 0) Z stays 0 and
// Y / sigma is 1 / (s X_0), so the weight is a closed form in W_T1 and W_T.
TEST(TangentFlowGamma, GbmInputsGiveTheClosedFormInTheTwoBrownianValues) {
  const std::size_t n_paths = 64, n_steps = 9;  // m = 4: an odd split
  const double s = 0.3, x0 = 2.0, mu = 0.05, horizon = 1.5, dt = horizon / 9.0;
  GammaBatch b{n_paths, n_steps, {}};
  for (auto& v : b.a) v.assign(n_paths * n_steps, 0.0);
  std::mt19937_64 rng(3);
  std::normal_distribution<double> normal(0.0, std::sqrt(dt));
  for (std::size_t i = 0; i < n_paths; ++i) {
    double x = x0;
    for (std::size_t j = 0; j < n_steps; ++j) {
      b.at(0, i, j) = normal(rng);
      b.at(1, i, j) = s * x;
      b.at(2, i, j) = mu;
      b.at(3, i, j) = s;
      x = x + (mu * x * dt + s * x * b.at(0, i, j));
    }
  }
  const LaidBatch laid(b, Layout::c_order);
  const TangentFlowGammaInputs in = laid.inputs(horizon);
  const double t1 = 4 * dt;
  for (std::size_t i = 0; i < n_paths; ++i) {
    double w1 = 0.0, w = 0.0;
    for (std::size_t j = 0; j < n_steps; ++j) (j < 4 ? w1 : w) += b.at(0, i, j);
    w += w1;
    const double closed =
        (w1 * (w - w1) / (t1 * (horizon - t1) * s) - w1 / t1) / (s * x0 * x0);
    EXPECT_NEAR(tangent_flow_gamma_path_weight(in, i).gamma, closed, 1e-12 * (1.0 + std::fabs(closed)));
  }
}

struct KernelCase {
  KernelTarget target;
  Layout layout;
};

void PrintTo(const KernelCase& c, std::ostream* os) {
  *os << kernel_target_name(c.target) << " " << layout_name(c.layout);
}

class TangentFlowGammaKernels : public ::testing::TestWithParam<KernelCase> {};

std::string describe(const KernelCase& c, std::size_t n_paths, std::size_t n_steps) {
  return std::string(kernel_target_name(c.target)) + " " + layout_name(c.layout) + " " +
         std::to_string(n_paths) + "x" + std::to_string(n_steps);
}

// Path counts around the group widths and the Fortran blocks of 512 and 256
// paths and the chunks (800 = 512 + 256 + 32); step counts with an even and an
// odd split, and intervals of one step.
TEST_P(TangentFlowGammaKernels, MatchTheOneLaneRecursionBitForBit) {
  const KernelCase c = GetParam();
  for (std::size_t n_steps : {2u, 3u, 5u, 8u, 13u}) {
    for (std::size_t n_paths : {0u, 1u, 3u, 4u, 7u, 8u, 9u, 12u, 13u, 17u, 33u, 300u, 520u, 800u}) {
      if (n_paths > 40 && n_steps > 5) continue;
      const GammaBatch b = random_batch(n_paths, n_steps, 7 * n_paths + n_steps, 0.03);
      const LaidBatch laid(b, c.layout);
      const TangentFlowGammaInputs in = laid.inputs(0.9);
      expect_kernels_match_scan(c.target, in, 0, n_paths, describe(c, n_paths, n_steps));
      if (n_paths > 5) expect_kernels_match_scan(c.target, in, 3, n_paths - 5, describe(c, n_paths, n_steps) + " sub-range");
    }
  }
}

// Paths longer than one run of kKernelPaceSteps steps (between two runs the
// kernels count work for interrupts), with an odd and an even split: the runs
// change no bit.
TEST_P(TangentFlowGammaKernels, MatchTheOneLaneRecursionAcrossRunsOfSteps) {
  const KernelCase c = GetParam();
  for (std::size_t n_steps : {2 * kKernelPaceSteps + 2, 2 * kKernelPaceSteps + 5}) {
    for (std::size_t n_paths : {1u, 9u, 257u}) {
      const GammaBatch b = random_batch(n_paths, n_steps, 3 * n_paths + n_steps, 0.0);
      const LaidBatch laid(b, c.layout);
      expect_kernels_match_scan(c.target, laid.inputs(0.9), 0, n_paths,
                                describe(c, n_paths, n_steps));
    }
  }
}

TEST_P(TangentFlowGammaKernels, ReportTheFirstZeroSigmaInRowMajorOrder) {
  const KernelCase c = GetParam();
  const std::size_t n_paths = 11, n_steps = 5;
  const GammaBatch clean = random_batch(n_paths, n_steps, 5, 0.0);
  for (std::size_t i = 0; i < n_paths; ++i)
    for (std::size_t j = 0; j < n_steps; ++j) {
      GammaBatch b = clean;
      b.at(1, i, j) = (i + j) % 2 ? 0.0 : -0.0;
      if (i + 2 < n_paths) b.at(1, i + 2, 0) = 0.0;  // a later zero is not the one reported
      if (j + 1 < n_steps) b.at(1, i, j + 1) = 0.0;
      const LaidBatch laid(b, c.layout);
      const TangentFlowGammaInputs in = laid.inputs(1.0);
      std::vector<double> out(n_paths), delta(n_paths);
      const ZeroSigma expected{i, j};
      EXPECT_EQ(tangent_flow_gamma_weights_with(c.target, in, 0, n_paths, out.data()), expected)
          << describe(c, i, j);
      EXPECT_EQ(tangent_flow_delta_gamma_weights_with(c.target, in, 0, n_paths, out.data(), delta.data()),
                expected)
          << describe(c, i, j);
    }
  // Many zeros among specials, across the chunk boundary.
  const GammaBatch b = random_batch(600, 4, 9, 0.05, 0.0005);
  const LaidBatch laid(b, c.layout);
  expect_kernels_match_scan(c.target, laid.inputs(1.0), 0, 600, describe(c, 600, 4) + " zeros");
}

// horizon = +inf: inv_t2 = 1 / (inf - inf) is NaN, and the driver decides every
// path's weights without running the recursion unless the path reads a NaN; the
// bits must still be the one-lane recursions', zeros reported as always.
TEST_P(TangentFlowGammaKernels, AnInfiniteHorizonGivesTheOneLaneBits) {
  const KernelCase c = GetParam();
  std::uint64_t payload_bits = 0x7ff8000000000123ULL;
  double payload;
  std::memcpy(&payload, &payload_bits, sizeof payload);
  for (std::size_t n_steps : {2u, 3u, 6u}) {
    GammaBatch b = random_batch(40, n_steps, 17 + n_steps, 0.08);
    b.at(0, 3, 0) = payload;                    // a NaN with a payload of its own in dW
    b.at(4, 5, 0) = payload;                    // ... and in mu''
    b.at(5, 6, n_steps - 1) = payload;          // sigma'' of the second interval: never read
    for (int k = 0; k < 6; ++k) b.at(k, 7, 0) = k == 1 ? kInf : 0.0;
    const LaidBatch laid(b, c.layout);
    const TangentFlowGammaInputs in = laid.inputs(kInf);
    expect_kernels_match_scan(c.target, in, 0, 40, describe(c, 40, n_steps) + " infinite horizon");
    expect_kernels_match_scan(c.target, in, 4, 30, describe(c, 30, n_steps) + " infinite horizon, sub-range");
  }
  const GammaBatch zeros = random_batch(300, 4, 23, 0.05, 0.002);
  expect_kernels_match_scan(c.target, LaidBatch(zeros, c.layout).inputs(kInf), 0, 300,
                            describe(c, 300, 4) + " infinite horizon, zeros");
}

std::vector<KernelCase> kernel_cases() {
  std::vector<KernelCase> out;
  for (KernelTarget t : supported_targets())
    for (Layout l : kLayouts) out.push_back({t, l});
  return out;
}

INSTANTIATE_TEST_SUITE_P(EveryTargetAndLayout, TangentFlowGammaKernels,
                         ::testing::ValuesIn(kernel_cases()),
                         [](const ::testing::TestParamInfo<KernelCase>& info) {
                           return std::string(kernel_target_name(info.param.target)) + "_" +
                                  layout_name(info.param.layout);
                         });

TEST(TangentFlowGammaKernels, BroadcastRowsReadTheSameMemoryForEveryPath) {
  const GammaBatch one = random_batch(1, 6, 21, 0.0);
  GammaBatch wide{9, 6, {}};
  for (int k = 0; k < 6; ++k)
    for (std::size_t i = 0; i < 9; ++i) wide.a[k].insert(wide.a[k].end(), one.a[k].begin(), one.a[k].end());
  const LaidBatch laid(wide, Layout::broadcast_rows);
  const TangentFlowGammaInputs in = laid.inputs(2.0);
  const double expected = *reference_gamma(one, 0, 2.0);
  for (KernelTarget t : supported_targets()) {
    std::vector<double> out(9);
    ASSERT_FALSE(tangent_flow_gamma_weights_with(t, in, 0, 9, out.data()));
    for (double g : out) EXPECT_EQ(bits_of(g), bits_of(expected)) << kernel_target_name(t);
  }
}

TEST(TangentFlowGammaValidation, ChecksInOrderWithTheGivenNames) {
  const auto ones = [](std::size_t r, std::size_t c) { return std::vector<double>(r * c, 1.0); };
  std::vector<std::vector<double>> keep;
  const auto view = [&](std::size_t r, std::size_t c) {
    keep.push_back(ones(r, c));
    return MatrixView{reinterpret_cast<const std::byte*>(keep.back().data()), r, c,
                      static_cast<std::ptrdiff_t>(c * 8), 8};
  };
  keep.reserve(64);
  struct Case {
    std::size_t states_cols;
    int wrong;  // which of the six arrays has a wrong shape (-1: none)
    double horizon;
    const char* message;
  };
  const Case cases[] = {
      {1, 2, 0.0, "horizon must be positive"},
      {4, -1, kNaN, "horizon must be positive"},
      {2, 0, 1.0, "states must have at least 3 columns (n_steps + 1, and gamma needs n_steps >= 2)"},
      {4, 0, 1.0, "dws shape [3, 4] != expected (3, 3)"},
      {4, 4, 1.0, "d2_mu_dx2 shape [3, 4] != expected (3, 3)"},
      {4, 5, 1.0, "d2_sigma_dx2 shape [3, 4] != expected (3, 3)"},
      {4, -1, kInf, nullptr},
  };
  for (const Case& c : cases) {
    const MatrixView states = view(3, c.states_cols);
    MatrixView a[6];
    for (int k = 0; k < 6; ++k) a[k] = view(3, k == c.wrong ? 4 : 3);
    auto v = validate_tangent_flow_gamma_inputs(states, a[0], a[1], a[2], a[3], a[4], a[5], c.horizon);
    if (c.message == nullptr) {
      EXPECT_TRUE(v.ok());
    } else {
      ASSERT_FALSE(v.ok()) << c.message;
      EXPECT_EQ(v.failure().message, c.message);
    }
  }
}

// The fused estimator's price and delta are those of the delta recursion; its
// gamma is the mean of gamma weight times payoff.
TEST(TangentFlowGreeks, SamplesAreWeightsTimesPayoffsInPathOrder) {
  const GammaBatch b = random_batch(300, 6, 31, 0.0);
  const LaidBatch laid(b, Layout::fortran);
  std::vector<double> states(300 * 7, 0.0);
  std::mt19937_64 rng(1);
  std::normal_distribution<double> normal(1.0, 0.2);
  for (double& x : states) x = normal(rng);
  const MatrixView sv{reinterpret_cast<const std::byte*>(states.data()), 300, 7, 7 * 8, 8};
  const TangentFlowGammaInputs in = laid.inputs(1.2);
  const auto put = [](double x) { return plain_payoff("put", 1.05, x); };
  PlainSums p, d, g;
  for (std::size_t i = 0; i < 300; ++i) {
    const double x = put(sv(i, 6));
    p.add(x);
    d.add(tangent_flow_path_weight(in.flow, i).weight * x);
    g.add(tangent_flow_gamma_path_weight(in, i).gamma * x);
  }
  auto got = price_and_greeks_tangent_flow(sv, laid.v(0), laid.v(1), laid.v(2), laid.v(3), laid.v(4),
                                           laid.v(5), 1.2, "put", 1.05);
  ASSERT_TRUE(got.ok());
  const TangentFlowGreekEstimate& e = got.value();
  const MeanStderr ep = mean_and_stderr(p.s1, p.s2, 300, UndefinedStderr::nan),
                   ed = mean_and_stderr(d.s1, d.s2, 300, UndefinedStderr::nan),
                   eg = mean_and_stderr(g.s1, g.s2, 300, UndefinedStderr::nan);
  const std::vector<double> expected{ep.mean, ed.mean, eg.mean, ep.stderr_, ed.stderr_, eg.stderr_};
  EXPECT_TRUE(same_bits({e.price, e.delta, e.gamma, e.price_stderr, e.delta_stderr, e.gamma_stderr}, expected));
}

// ===========================================================================
// Constant flow.

// The gamma divides by (T sigma0)^2 as two multiplications by r = 1 / (T sigma0).
struct CfReference {
  double r, slope_t, horizon, h;
  CfReference(double horizon, double sigma0, double slope, double vol)
      : r(1.0 / (horizon * sigma0)), slope_t(slope * horizon), horizon(horizon),
        h(1.0 / (horizon * vol)) {}
  double u(double w) const { return ((w * w) - (slope_t * w)) - horizon; }
  double gamma(double x) const { return (x * r) * r; }
};

// A 1-D view of `values` with a byte stride of 8 (contiguous), -8, 24 or 12.
class Vec {
 public:
  Vec(const std::vector<double>& values, std::ptrdiff_t stride) {
    const std::size_t n = values.size();
    const std::size_t step = static_cast<std::size_t>(stride < 0 ? -stride : stride);
    storage_.assign(n * step + 16, std::byte{0x5a});
    std::byte* origin = storage_.data() + (stride < 0 && n ? (n - 1) * step : 0) + (step % 8 ? 3 : 0);
    view_ = VectorView{origin, n, stride};
    for (std::size_t k = 0; k < n; ++k)
      std::memcpy(const_cast<std::byte*>(view_.address(k)), &values[k], 8);
  }
  const VectorView& view() const { return view_; }

 private:
  std::vector<std::byte> storage_;
  VectorView view_;
};

std::vector<double> random_values(std::size_t n, std::uint32_t seed, double mean, double sd) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(mean, sd);
  std::vector<double> v(n);
  for (double& x : v) x = normal(rng);
  const double specials[] = {kNaN, kInf, -kInf, -0.0, 0.0, 1e300, 5e-324};
  for (std::size_t k = 0; k < n; k += 11) v[k] = specials[(k / 11) % std::size(specials)];
  return v;
}

TEST(ConstantFlowGreeks, WeightsMatchTheReferenceOnEveryTargetAndStride) {
  const CfReference ref(0.75, 24.0, 0.2, 0.2);
  const ConstantFlowGreekConstants c = constant_flow_greek_constants(0.75, 24.0, 0.2, 0.2);
  for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 8u, 9u, 17u, 1000u}) {
    const std::vector<double> w = random_values(n, 3 + n, 0.0, 0.9);
    std::vector<double> gamma(n), vega(n);
    for (std::size_t k = 0; k < n; ++k) {
      gamma[k] = ref.gamma(ref.u(w[k]));
      vega[k] = ref.u(w[k]) * ref.h;
    }
    for (std::ptrdiff_t stride : {8, -8, 24, 12}) {
      const Vec v(w, stride);
      for (KernelTarget t : supported_targets()) {
        const auto run = detail::kernels_for(t).greek_weights;
        std::vector<double> got_g(n), got_v(n);
        run(v.view(), c, GreekWeight::gamma, got_g.data());
        run(v.view(), c, GreekWeight::vega, got_v.data());
        // NaN inputs give the default NaN on every target: compare bits.
        EXPECT_TRUE(same_bits(got_g, gamma)) << kernel_target_name(t) << " n " << n << " stride " << stride;
        EXPECT_TRUE(same_bits(got_v, vega)) << kernel_target_name(t) << " n " << n << " stride " << stride;
      }
    }
  }
}

TEST(ConstantFlowGreeks, FusedSumsMatchTheReferenceForEveryPayoffTargetAndStride) {
  const CfReference ref(1.3, 20.0, 0.0, 20.0);  // ABM
  const ConstantFlowGreekConstants c = constant_flow_greek_constants(1.3, 20.0, 0.0, 20.0);
  for (std::size_t n : {0u, 1u, 2u, 3u, 5u, 8u, 13u, 777u}) {
    const std::vector<double> xs = random_values(n, 100 + n, 100.0, 25.0);
    const std::vector<double> ws = random_values(n, 200 + n, 0.0, 1.1);
    for (std::string_view name : kPayoffNames) {
      const PayoffKind kind = *payoff_kind_from_name(name);
      const auto f = [&](double x) { return plain_payoff(name, 101.5, x); };
      PlainSums p, d, g, v;
      for (std::size_t k = 0; k < n; ++k) {
        const double x = f(xs[k]);
        const double up = ref.u(ws[k]) * x;
        p.add(x);
        d.add((ws[k] * x) * ref.r);
        g.add(ref.gamma(up));
        v.add(up * ref.h);
      }
      const std::vector<double> expected{p.s1, p.s2, d.s1, d.s2, g.s1, g.s2, v.s1, v.s2};
      for (std::ptrdiff_t stride : {8, -8, 12}) {
        const Vec vx(xs, stride), vw(ws, stride == 12 ? 8 : stride);
        for (KernelTarget t : supported_targets()) {
          const auto run = detail::kernels_for(t).greek_sums;
          const LaneSums<4> s = run(kind, 101.5, vx.view(), vw.view(), c, LaneSums<4>{});
          EXPECT_EQ(s.n, n);
          const std::vector<double> got{s.s1[0], s.s2[0], s.s1[1], s.s2[1],
                                        s.s1[2], s.s2[2], s.s1[3], s.s2[3]};
          for (std::size_t k = 0; k < 8; ++k)
            expect_same_value(expected[k], got[k],
                              std::string(kernel_target_name(t)) + " " +
                                  std::string(name) + " n " +
                                  std::to_string(n) + " stride " + std::to_string(stride) +
                                  " sum " + std::to_string(k));
        }
      }
    }
  }
}

TEST(ConstantFlowGreeks, ValidationInOrder) {
  const std::vector<double> three{1.0, 2.0, 3.0}, two{1.0, 2.0};
  const Vec a(three, 8), b(two, 8);
  struct Case {
    double horizon, sigma0, slope, vol;
    const char* payoff;
    bool same_length;
    const char* message;
  };
  const Case cases[] = {
      {-1.0, -1.0, kNaN, -1.0, "Call", false, "horizon must be positive"},
      {1.0, 0.0, kNaN, 0.0, "Call", false, "sigma_at_x0 must be positive"},
      {1.0, 1.0, kInf, 0.0, "Call", false, "d_sigma_dx must be finite"},
      {1.0, 1.0, 0.2, kNaN, "Call", false, "volatility must be positive"},
      {1.0, 1.0, 0.2, 0.2, "Call", false, "terminal_states and w_terminals must have the same length"},
      {1.0, 1.0, 0.2, 0.2, "Call", true,
       "unknown payoff 'Call': expected 'identity', 'call', 'put', or 'digital_call'"},
  };
  for (const Case& c : cases) {
    auto got = price_and_greeks_constant_flow(a.view(), c.same_length ? a.view() : b.view(), c.horizon,
                                              c.sigma0, c.slope, c.vol, c.payoff, 0.0);
    ASSERT_FALSE(got.ok()) << c.message;
    EXPECT_EQ(got.failure().message, c.message);
  }
  auto gamma = bel_weights_gamma_constant_flow(a.view(), 1.0, 1.0, -kInf);
  ASSERT_FALSE(gamma.ok());
  EXPECT_EQ(gamma.failure().message, "d_sigma_dx must be finite");
  auto vega = bel_weights_vega_constant_flow(a.view(), 1.0, 0.0, -0.0);
  ASSERT_FALSE(vega.ok());
  EXPECT_EQ(vega.failure().message, "volatility must be positive");
}

// ---------------------------------------------------------------------------
// The average weights (a forward pass storing a history, a backward pass in the
// finish): the fast kernels of every target and layout against the one-lane
// recursion, bit for bit, and the first failing path (a zero sigma, or Q = 0
// reported at step n_steps).

struct AverageCase {
  std::vector<double> weights;
  AverageInputs in;
  AverageCase(const TangentFlowGammaInputs& g, std::vector<double> a) : weights(std::move(a)) {
    in.flow = g.flow;
    in.d2_mu_dx2 = g.d2_mu_dx2;
    in.d2_sigma_dx2 = g.d2_sigma_dx2;
    in.weights = VectorView{reinterpret_cast<const std::byte*>(weights.data()), weights.size(), 8};
    for (std::size_t k = 1; k < weights.size(); ++k)
      if (weights[k] != 0.0) in.last = k;
    in.inv_dt = 1.0 / g.flow.dt;
  }
};

// Weights with zeros inside and, every other seed, after the last date; a_1 is
// never zero, so that every grid has a date after column 0.
std::vector<double> random_average_weights(std::size_t n_steps, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(-0.5, 1.5);
  std::vector<double> a(n_steps + 1);
  for (double& x : a) x = rng() % 3 == 0 ? 0.0 : unit(rng);
  a[1] = 0.5;
  if (seed % 2 == 1 && n_steps > 1) a[n_steps] = 0.0;
  return a;
}

void expect_average_kernels_match_scan(KernelTarget target, const AverageInputs& in, std::size_t first,
                                       std::size_t count, const std::string& where) {
  std::vector<double> expected;
  std::optional<ZeroSigma> expected_failure;
  for (std::size_t path = first; path < first + count; ++path) {
    const PathAverage p = average_path_weight(in, path);
    if (p.zero_sigma_step) {
      expected_failure = ZeroSigma{path, *p.zero_sigma_step};
      break;
    }
    if (p.q == 0.0) {
      expected_failure = ZeroSigma{path, in.flow.n_steps};
      break;
    }
    expected.push_back(p.weight);
  }
  std::vector<double> got(count + 1, 12345.0);
  ASSERT_EQ(tangent_flow_average_weights_with(target, in, first, count, got.data()), expected_failure) << where;
  EXPECT_EQ(got[count], 12345.0) << where << ": wrote past the range";
  if (expected_failure) return;
  got.pop_back();
  EXPECT_TRUE(same_bits(got, expected)) << where;
}

TEST_P(TangentFlowGammaKernels, AverageWeightsMatchTheOneLaneRecursionBitForBit) {
  const KernelCase c = GetParam();
  for (std::size_t n_steps : {2u, 5u, 13u}) {
    for (std::size_t n_paths : {0u, 1u, 3u, 7u, 8u, 9u, 17u, 33u, 300u}) {
      const std::uint32_t seed = static_cast<std::uint32_t>(5 * n_paths + n_steps);
      const GammaBatch b = random_batch(n_paths, n_steps, seed, 0.03);
      const LaidBatch laid(b, c.layout);
      const AverageCase avg(laid.inputs(0.9), random_average_weights(n_steps, seed));
      expect_average_kernels_match_scan(c.target, avg.in, 0, n_paths, describe(c, n_paths, n_steps));
      if (n_paths > 5)
        expect_average_kernels_match_scan(c.target, avg.in, 3, n_paths - 5,
                                          describe(c, n_paths, n_steps) + " sub-range");
    }
  }
  // Zero sigmas among specials: the first failing path, as the scan meets it.
  const GammaBatch zeros = random_batch(600, 4, 9, 0.05, 0.0005);
  const LaidBatch laid_zeros(zeros, c.layout);
  const AverageCase avg(laid_zeros.inputs(1.0), random_average_weights(4, 2));
  expect_average_kernels_match_scan(c.target, avg.in, 0, 600, describe(c, 600, 4) + " zeros");
  // Paths longer than one run of kKernelPaceSteps steps: the history spans the
  // runs; in Fortran order in blocks, then (a history beyond kHistoryBlockBytes)
  // in register groups.
  for (std::size_t long_steps : {2 * kKernelPaceSteps + 3, 3 * kKernelPaceSteps + 3}) {
    const GammaBatch long_paths = random_batch(70, long_steps, 4, 0.0);
    const LaidBatch laid_long(long_paths, c.layout);
    const AverageCase long_avg(laid_long.inputs(1.0), random_average_weights(long_steps, 3));
    expect_average_kernels_match_scan(c.target, long_avg.in, 0, 70, describe(c, 70, long_steps));
  }
  static_assert(detail::kHistoryBlockBytes / (3 * 8 * detail::kHistoryBlockLanes) < 3 * kKernelPaceSteps + 3 &&
                detail::kHistoryBlockBytes / (3 * 8 * detail::kHistoryBlockLanes) >= 2 * kKernelPaceSteps + 3);
}

// A path with Q = sum_k a_k k Y_k = 0 is reported at step n_steps, after the
// zero sigmas of earlier paths and before those of later ones.
TEST(AverageWeights, AZeroQIsTheFailureOfItsPath) {
  GammaBatch b = random_batch(12, 4, 31, 0.0);
  for (int k : {0, 2, 3}) std::fill_n(b.a[k].begin() + 6 * 4, 4, 0.0);  // path 6: Y = 1 throughout
  b.at(1, 9, 2) = 0.0;                                                    // path 9: a zero sigma
  for (KernelTarget t : supported_targets()) {
    for (Layout l : kLayouts) {
      const LaidBatch laid(b, l);
      // Q = 1 * 1 + 2 * 0 + 3 * 1 + 4 * -1 = 0 on path 6.
      const AverageCase avg(laid.inputs(1.0), {0.0, 1.0, 0.0, 1.0, -1.0});
      std::vector<double> out(12);
      const std::string where = std::string(kernel_target_name(t)) + " " + layout_name(l);
      EXPECT_EQ(tangent_flow_average_weights_with(t, avg.in, 0, 12, out.data()), (ZeroSigma{6, 4})) << where;
      EXPECT_EQ(tangent_flow_average_weights_with(t, avg.in, 7, 5, out.data()), (ZeroSigma{9, 2})) << where;
    }
  }
}

// 2^62 steps: kHistory * kHistoryBlockLanes * 8 * n_steps and the history's
// size wrap to 0 in a size_t, which once chose the Fortran blocks and reserved
// a history of nothing; the sizes saturate, so the reservation fails as an
// allocation failure before any step runs.
TEST(AverageWeights, AHistoryOfAnImpossibleLengthIsAnAllocationFailureNotAWrappedSize) {
  const double one = 1.0;
  const auto* p = reinterpret_cast<const std::byte*>(&one);
  const std::size_t n_steps = std::size_t{1} << 62;
  const MatrixView everywhere{p, 1, n_steps, 8, 0};  // row stride 8: the Fortran-order kernels
  AverageInputs in;
  in.flow = make_tangent_flow_inputs(everywhere, everywhere, everywhere, everywhere, 1, n_steps, 1.0);
  in.d2_mu_dx2 = in.d2_sigma_dx2 = everywhere;
  in.weights = VectorView{p, n_steps + 1, 0};
  in.last = n_steps;
  in.inv_dt = 1.0 / in.flow.dt;
  EXPECT_FALSE(detail::history_blocks<detail::AverageRecursion>(in));
  EXPECT_EQ(detail::history_doubles<detail::AverageRecursion>(in), static_cast<std::size_t>(-1));
  double out = 0.0;
  for (KernelTarget t : supported_targets())
    EXPECT_THROW(tangent_flow_average_weights_with(t, in, 0, 1, &out), AllocationFailure) << kernel_target_name(t);
  EXPECT_THROW(average_path_weight(in, 0), AllocationFailure);
}

// The path functionals of the fused estimators on every layout, against plain
// loops: the terminal value, the weighted average in column order, and the
// running maximum and minimum, which keep the first of equal values (0.0 and
// -0.0 compare equal) and pass over a NaN after column 0.
TEST(PathFunctionals, MatchPlainLoopsOnEveryLayout) {
  const std::vector<double> rows = {
      1.0,  3.0,  -2.0, 3.0,  0.5,   //
      0.0,  -0.0, kNaN, -1.0, 2.0,   //
      kNaN, 4.0,  -5.0, kInf, 1e300,  //
      -0.0, 0.0,  0.0,  -0.0, -0.0,  //
  };
  const std::size_t n_paths = 4, cols = 5;
  const std::vector<double> a = {0.5, -1.0, 0.25, 0.0, 2.0};
  const VectorView weights{reinterpret_cast<const std::byte*>(a.data()), a.size(), 8};
  for (Layout l : kLayouts) {
    const Laid laid(rows, n_paths, cols, l);
    for (std::size_t i = 0; i < n_paths; ++i) {
      const double* x = rows.data() + i * cols;
      double average = a[0] * x[0], maximum = x[0], minimum = x[0];
      for (std::size_t k = 1; k < cols; ++k) {
        average = average + a[k] * x[k];
        if (x[k] > maximum) maximum = x[k];
        if (x[k] < minimum) minimum = x[k];
      }
      const std::string where = std::string(layout_name(l)) + " path " + std::to_string(i);
      expect_same_value(x[cols - 1], PathFunctional::terminal()(laid.view(), i), where + " terminal");
      expect_same_value(average, PathFunctional::weighted_average(weights)(laid.view(), i), where + " average");
      expect_same_value(maximum, PathFunctional::maximum()(laid.view(), i), where + " maximum");
      expect_same_value(minimum, PathFunctional::minimum()(laid.view(), i), where + " minimum");
    }
  }
  // Equal zeros: the first is kept, so the sign is column 0's.
  const Laid zeros(rows, n_paths, cols, Layout::c_order);
  EXPECT_EQ(bits_of(PathFunctional::maximum()(zeros.view(), 3)), bits_of(-0.0));
  EXPECT_EQ(bits_of(PathFunctional::minimum()(zeros.view(), 1)), bits_of(-1.0));
  EXPECT_TRUE(std::isnan(PathFunctional::maximum()(zeros.view(), 2)));  // a NaN in column 0 stays
}

}  // namespace
}  // namespace quorvane
