// Native tests of the tangent-flow weights, their fast multi-path kernels and the
// tangent-flow price-and-delta estimator.
//
// The heart of these tests is bit-exactness: every fast kernel is compared, with
// memcmp of the bits (so NaN payloads, signs and -0.0 count), against the scalar
// per-path recursion, on every layout a NumPy array can present, and the scalar
// recursion itself is compared against a plain reference written out below.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/payoffs/payoffs.hpp"
#include "core/statistics/statistics.hpp"
#include "core/weights/tangent_flow.hpp"
#include "core/estimates/tangent_flow_price.hpp"
#include "core/kernels/kernels.hpp"
#include "core/support/failure.hpp"
#include "core/support/interrupt.hpp"
#include "support.hpp"

namespace quorvane {
namespace {

using namespace quorvane::test_support;

double from_bits(std::uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// ---------------------------------------------------------------------------
// Strided storage: the logical rows x cols matrix laid out in memory as a NumPy
// array of the given layout could be, with the view NumPy would hand over.

enum class Layout {
  c_order,
  fortran,
  reversed_rows,     // a[::-1, :] of a C array: negative row stride
  reversed_cols,     // a[:, ::-1]: negative column stride
  reversed_both,     // Fortran storage read backwards in both axes
  every_second,      // a[::2, ::2] of a larger C array
  packed_records,    // float64 field of packed 12-byte records, odd address
  packed_fortran,    // the same, records in Fortran order (row stride 12)
  unaligned_c,       // C order, data pointer at an odd address
  unaligned_fortran, // Fortran order, data pointer at an odd address
  broadcast_rows,    // row stride 0: every path sees row 0
  broadcast_cols,    // column stride 0: every step sees column 0
};

const char* layout_name(Layout l) {
  switch (l) {
    case Layout::c_order: return "c_order";
    case Layout::fortran: return "fortran";
    case Layout::reversed_rows: return "reversed_rows";
    case Layout::reversed_cols: return "reversed_cols";
    case Layout::reversed_both: return "reversed_both";
    case Layout::every_second: return "every_second";
    case Layout::packed_records: return "packed_records";
    case Layout::packed_fortran: return "packed_fortran";
    case Layout::unaligned_c: return "unaligned_c";
    case Layout::unaligned_fortran: return "unaligned_fortran";
    case Layout::broadcast_rows: return "broadcast_rows";
    case Layout::broadcast_cols: return "broadcast_cols";
  }
  return "?";
}

constexpr Layout kAllLayouts[] = {
    Layout::c_order,        Layout::fortran,        Layout::reversed_rows,
    Layout::reversed_cols,  Layout::reversed_both,  Layout::every_second,
    Layout::packed_records, Layout::packed_fortran, Layout::unaligned_c,
    Layout::unaligned_fortran, Layout::broadcast_rows, Layout::broadcast_cols};

// Layouts that present every logical element (no broadcast), so the same logical
// data can be laid out in each of them.
constexpr Layout kFullLayouts[] = {
    Layout::c_order,        Layout::fortran,        Layout::reversed_rows,
    Layout::reversed_cols,  Layout::reversed_both,  Layout::every_second,
    Layout::packed_records, Layout::packed_fortran, Layout::unaligned_c,
    Layout::unaligned_fortran};

class Strided {
 public:
  Strided(const std::vector<double>& logical, std::size_t rows, std::size_t cols, Layout layout)
  {
    std::size_t elem = 8, slot_rows = rows, slot_cols = cols;
    std::size_t lead = 0;  // bytes before element storage (for odd addresses)
    bool fortran = false;
    switch (layout) {
      case Layout::fortran:
      case Layout::reversed_both: fortran = true; break;
      case Layout::every_second: slot_rows = 2 * rows; slot_cols = 2 * cols; break;
      case Layout::packed_records: elem = 12; lead = 1 + 4; break;
      case Layout::packed_fortran: elem = 12; lead = 3; fortran = true; break;
      case Layout::unaligned_c: lead = 1; break;
      case Layout::unaligned_fortran: lead = 3; fortran = true; break;
      case Layout::broadcast_rows: slot_rows = 1; break;
      case Layout::broadcast_cols: slot_cols = 1; break;
      default: break;
    }
    const std::size_t slots = slot_rows * slot_cols;
    // 16 spare bytes at the end, aligned start: the odd leads are truly odd.
    storage_.assign(lead + std::max<std::size_t>(slots, 1) * elem + 16, std::byte{0x5a});
    std::byte* base = aligned_base() + lead;
    std::ptrdiff_t rs = fortran ? static_cast<std::ptrdiff_t>(elem)
                                : static_cast<std::ptrdiff_t>(slot_cols * elem);
    std::ptrdiff_t cs = fortran ? static_cast<std::ptrdiff_t>(slot_rows * elem)
                                : static_cast<std::ptrdiff_t>(elem);
    if (layout == Layout::every_second) {
      rs *= 2;
      cs *= 2;
    }
    if (layout == Layout::broadcast_rows) rs = 0;
    if (layout == Layout::broadcast_cols) cs = 0;
    std::byte* origin = base;
    if (layout == Layout::reversed_rows || layout == Layout::reversed_both) {
      if (rows > 0) origin += static_cast<std::ptrdiff_t>(rows - 1) * rs;
      rs = -rs;
    }
    if (layout == Layout::reversed_cols || layout == Layout::reversed_both) {
      if (cols > 0) origin += static_cast<std::ptrdiff_t>(cols - 1) * cs;
      cs = -cs;
    }
    view_ = MatrixView{origin, rows, cols, rs, cs};
    for (std::size_t i = 0; i < rows; ++i)
      for (std::size_t j = 0; j < cols; ++j) {
        const double v = logical[i * cols + j];
        std::memcpy(const_cast<std::byte*>(view_.address(i, j)), &v, sizeof v);
      }
  }
  Strided(const Strided&) = delete;
  Strided& operator=(const Strided&) = delete;

  const MatrixView& view() const { return view_; }

 private:
  std::byte* aligned_base() {
    auto p = reinterpret_cast<std::uintptr_t>(storage_.data());
    return storage_.data() + ((16 - p % 16) % 16);
  }
  std::vector<std::byte> storage_;
  MatrixView view_;
};

// Strided's constructor sizes storage for the worst alignment shift too.
struct Dense {
  std::size_t rows, cols;
  std::vector<double> v;
  Dense(std::size_t r, std::size_t c, double fill = 0.0) : rows(r), cols(c), v(r * c, fill) {}
  Dense(std::size_t r, std::size_t c, std::vector<double> values)
      : rows(r), cols(c), v(std::move(values)) {}
  double& operator()(std::size_t i, std::size_t j) { return v[i * cols + j]; }
  MatrixView view() const {
    return MatrixView{reinterpret_cast<const std::byte*>(v.data()), rows, cols,
                      static_cast<std::ptrdiff_t>(cols * sizeof(double)),
                      static_cast<std::ptrdiff_t>(sizeof(double))};
  }
};

// A plain sequential reference of the recursion, written independently of the
// library: one path, steps in order, the operation order of the definition.
std::optional<double> reference_weight(const MatrixView& dws, const MatrixView& sigma,
                                       const MatrixView& dmu, const MatrixView& dsig,
                                       std::size_t i, std::size_t n_steps, double horizon,
                                       std::size_t* zero_step = nullptr) {
  const double dt = horizon / static_cast<double>(n_steps);
  const double inv_h = 1.0 / horizon;
  double y = 1.0, acc = 0.0;
  for (std::size_t j = 0; j < n_steps; ++j) {
    const double s = sigma(i, j);
    if (s == 0.0) {
      if (zero_step) *zero_step = j;
      return std::nullopt;
    }
    const double w = dws(i, j);
    double t = y / s;
    t = t * inv_h;
    t = t * w;
    acc = acc + t;
    const double a = (dsig(i, j) * y) * w;
    const double b = (dmu(i, j) * y) * dt;
    y = y + (a + b);
  }
  return acc;
}

// ---------------------------------------------------------------------------
// Random path batches with awkward values.

struct Batch {
  std::size_t n_paths, n_steps;
  Dense states, dws, sigma, dmu, dsig;
  Batch(std::size_t p, std::size_t s)
      : n_paths(p), n_steps(s), states(p, s + 1), dws(p, s), sigma(p, s), dmu(p, s), dsig(p, s) {}
};

// Specials: NaN of several payloads and both signs, infinities, -0.0, tiny and
// subnormal sigma. `zero_rate` zeros sigma at random places.
Batch random_batch(std::size_t n_paths, std::size_t n_steps, std::uint32_t seed,
                   double special_rate, double zero_rate) {
  Batch b(n_paths, n_steps);
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double specials[] = {kNaN,  -kNaN, from_bits(0x7ff8000000000123ULL),
                             from_bits(0xfff4000000000777ULL),  // signalling, negative
                             kInf,  -kInf, -0.0,  0.0, 1e-320, -4.9e-324, 1e300, -1e-300};
  const auto special = [&] { return specials[rng() % std::size(specials)]; };
  for (std::size_t i = 0; i < n_paths; ++i) {
    b.states(i, n_steps) = 1.0 + 0.2 * normal(rng);
    for (std::size_t j = 0; j < n_steps; ++j) {
      b.states(i, j) = 1.0 + 0.2 * normal(rng);
      b.dws(i, j) = 0.1 * normal(rng);
      b.sigma(i, j) = (0.05 + unit(rng)) * (rng() % 5 == 0 ? -1.0 : 1.0);
      b.dmu(i, j) = 0.3 * normal(rng);
      b.dsig(i, j) = 0.5 * normal(rng);
      if (unit(rng) < special_rate) b.dws(i, j) = special();
      if (unit(rng) < special_rate) {
        // Zero sigma only where asked for by zero_rate.
        do b.sigma(i, j) = special();
        while (b.sigma(i, j) == 0.0);
      }
      if (unit(rng) < special_rate) b.dmu(i, j) = special();
      if (unit(rng) < special_rate) b.dsig(i, j) = special();
      if (unit(rng) < zero_rate) b.sigma(i, j) = (rng() % 2) ? 0.0 : -0.0;
    }
  }
  return b;
}

// The same batch laid out in memory with one layout for all four read arrays.
struct LaidOut {
  Strided dws, sigma, dmu, dsig;
  LaidOut(const Batch& b, Layout l)
      : dws(b.dws.v, b.n_paths, b.n_steps, l),
        sigma(b.sigma.v, b.n_paths, b.n_steps, l),
        dmu(b.dmu.v, b.n_paths, b.n_steps, l),
        dsig(b.dsig.v, b.n_paths, b.n_steps, l) {}
  TangentFlowInputs inputs(std::size_t n_paths, std::size_t n_steps, double horizon) const {
    TangentFlowInputs in;
    in.dws = dws.view();
    in.sigma = sigma.view();
    in.d_mu_dx = dmu.view();
    in.d_sigma_dx = dsig.view();
    in.n_paths = n_paths;
    in.n_steps = n_steps;
    in.dt = horizon / static_cast<double>(n_steps);
    in.inv_horizon = 1.0 / horizon;
    return in;
  }
};

// The scalar scan in row-major order: every weight, or the first zero sigma.
struct ScalarScan {
  std::vector<double> weights;
  std::optional<ZeroSigma> zero;
};

ScalarScan scalar_scan(const TangentFlowInputs& in, std::size_t first, std::size_t count) {
  ScalarScan s;
  s.zero = scan_paths(
      first, count, [&](std::size_t path) { return tangent_flow_path_weight(in, path); },
      [&](const PathWeight& w, std::size_t) { s.weights.push_back(w.weight); });
  return s;
}

// Runs the kernel of `target` on [first, first + count) and checks it against the
// scalar scan: the same first zero sigma, or every weight with the same bits.
void expect_kernel_matches_scalar(KernelTarget target, const TangentFlowInputs& in,
                                  std::size_t first, std::size_t count, const std::string& where) {
  const ScalarScan expected = scalar_scan(in, first, count);
  std::vector<double> out(count + 1, 12345.0);
  const std::optional<ZeroSigma> zero =
      tangent_flow_weights_with(target, in, first, count, out.data());
  ASSERT_EQ(zero.has_value(), expected.zero.has_value()) << where;
  if (zero) {
    EXPECT_EQ(zero->path, expected.zero->path) << where;
    EXPECT_EQ(zero->step, expected.zero->step) << where;
    return;
  }
  if (count > 0) {  // an empty vector's data() may be null, invalid for memcmp
    EXPECT_EQ(0, std::memcmp(out.data(), expected.weights.data(), count * sizeof(double)))
        << where;
  }
  for (std::size_t k = 0; k < count; ++k) {
    if (bits_of(out[k]) != bits_of(expected.weights[k])) {
      ADD_FAILURE() << where << ": path " << first + k << " kernel " << out[k] << " (0x"
                    << std::hex << bits_of(out[k]) << ") scalar " << expected.weights[k]
                    << " (0x" << bits_of(expected.weights[k]) << std::dec << ")";
      break;
    }
  }
  EXPECT_EQ(out[count], 12345.0) << where << ": wrote past the range";
}

// ===========================================================================
// Validation.

struct ShapeCase {
  std::string label;
  std::size_t states_rows, states_cols;
  std::size_t shape[4][2];  // dws, sigma, d_mu_dx, d_sigma_dx
  double horizon;
  std::string message;  // empty: valid
};

class TangentFlowValidation : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(TangentFlowValidation, ReportsTheFirstFailureInOrder) {
  const ShapeCase& c = GetParam();
  Dense states(c.states_rows, c.states_cols, kNaN);
  std::vector<Dense> arrays;
  for (const auto& s : c.shape) arrays.emplace_back(s[0], s[1], 1.0);
  Outcome<TangentFlowInputs> v =
      validate_tangent_flow_inputs(states.view(), arrays[0].view(), arrays[1].view(),
                                   arrays[2].view(), arrays[3].view(), c.horizon);
  if (c.message.empty()) {
    ASSERT_TRUE(v.ok()) << v.failure().message;
    EXPECT_EQ(v.value().n_paths, c.states_rows);
    EXPECT_EQ(v.value().n_steps, c.states_cols - 1);
    EXPECT_EQ(bits_of(v.value().dt), bits_of(c.horizon / static_cast<double>(c.states_cols - 1)));
    EXPECT_EQ(bits_of(v.value().inv_horizon), bits_of(1.0 / c.horizon));
  } else {
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(v.failure().message, c.message);
  }
  // The estimator reports exactly the validation message.
  Outcome<DoubleBuffer> w = bel_weights_tangent_flow(
      states.view(), arrays[0].view(), arrays[1].view(), arrays[2].view(), arrays[3].view(),
      c.horizon);
  ASSERT_EQ(w.ok(), c.message.empty());
  if (!w.ok()) {
    EXPECT_EQ(w.failure().message, c.message);
  }
}

constexpr const char* kHorizon = "horizon must be positive";
constexpr const char* kColumns = "states must have at least 2 columns (n_steps + 1)";

// A 4 x 10 batch whose arrays all have the expected shape (4, 9).
ShapeCase well_shaped(const char* label, double horizon, const char* message) {
  return ShapeCase{label, 4, 10, {{4, 9}, {4, 9}, {4, 9}, {4, 9}}, horizon, message};
}

// The 4 x 10 batch with array k one row or one column more or fewer, each way:
// the message names that array. With `later_too`, every later array is one
// column short as well, and still the first is named.
std::vector<ShapeCase> one_array_off(bool later_too) {
  constexpr const char* kNames[] = {"dws", "sigma", "d_mu_dx", "d_sigma_dx"};
  constexpr struct {
    const char* how;
    int rows, cols;
  } kOff[] = {{"extra_row", 1, 0}, {"missing_row", -1, 0}, {"extra_column", 0, 1}, {"missing_column", 0, -1}};
  std::vector<ShapeCase> cases;
  for (std::size_t k = 0; k < 4; ++k) {
    for (const auto& off : kOff) {
      ShapeCase c = well_shaped("", 1.0, "");
      for (std::size_t later = k + 1; later_too && later < 4; ++later) c.shape[later][1] = 8;
      const std::size_t rows = 4 + off.rows, cols = 9 + off.cols;
      c.shape[k][0] = rows;
      c.shape[k][1] = cols;
      c.label = std::string(kNames[k]) + "_" + off.how + (later_too ? "_then_later" : "");
      c.message = std::string(kNames[k]) + " shape [" + std::to_string(rows) + ", " + std::to_string(cols) +
                  "] != expected (4, 9)";
      cases.push_back(c);
    }
  }
  return cases;
}

std::string shape_case_label(const ::testing::TestParamInfo<ShapeCase>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(
    Cases, TangentFlowValidation,
    ::testing::Values(
        well_shaped("valid", 1.0, ""), well_shaped("valid_inf_horizon", kInf, ""),
        ShapeCase{"valid_zero_paths", 0, 5, {{0, 4}, {0, 4}, {0, 4}, {0, 4}}, 1.0, ""},
        well_shaped("horizon_zero", 0.0, kHorizon), well_shaped("horizon_negzero", -0.0, kHorizon),
        well_shaped("horizon_negative", -1.0, kHorizon), well_shaped("horizon_nan", kNaN, kHorizon),
        well_shaped("horizon_neg_inf", -kInf, kHorizon),
        // The horizon check wins over every shape problem.
        ShapeCase{"horizon_before_columns", 3, 1, {{7, 7}, {1, 1}, {0, 0}, {2, 3}}, 0.0, kHorizon},
        ShapeCase{"horizon_nan_before_shapes", 4, 10, {{4, 10}, {5, 9}, {4, 9}, {4, 9}}, kNaN,
                  kHorizon},
        ShapeCase{"one_column", 3, 1, {{3, 0}, {3, 0}, {3, 0}, {3, 0}}, 1.0, kColumns},
        ShapeCase{"zero_columns", 3, 0, {{3, 9}, {1, 1}, {0, 0}, {2, 2}}, 1.0, kColumns},
        ShapeCase{"zero_rows_one_column", 0, 1, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}, 1.0, kColumns},
        ShapeCase{"d_sigma_dx_empty", 2, 3, {{2, 2}, {2, 2}, {2, 2}, {0, 0}}, 1.0,
                  "d_sigma_dx shape [0, 0] != expected (2, 2)"},
        ShapeCase{"zero_paths_wrong_rows", 0, 5, {{0, 4}, {1, 4}, {0, 4}, {0, 4}}, 1.0,
                  "sigma shape [1, 4] != expected (0, 4)"}),
    shape_case_label);

INSTANTIATE_TEST_SUITE_P(OneArrayOff, TangentFlowValidation, ::testing::ValuesIn(one_array_off(false)),
                         shape_case_label);
INSTANTIATE_TEST_SUITE_P(FirstOfSeveral, TangentFlowValidation, ::testing::ValuesIn(one_array_off(true)),
                         shape_case_label);

// ===========================================================================
// Worked values of the serial weights.

TEST(TangentFlowWeights, TwoStepWorkedValue) {
  Dense states(1, 3, 7.0), dws(1, 2, {0.5, -0.25}), sigma(1, 2, {2.0, 4.0}),
      dmu(1, 2, {0.1, 0.1}), dsig(1, 2, {0.2, 0.2});
  Outcome<DoubleBuffer> w = bel_weights_tangent_flow(states.view(), dws.view(), sigma.view(),
                                                     dmu.view(), dsig.view(), 1.0);
  ASSERT_TRUE(w.ok());
  ASSERT_EQ(w.value().size(), 1u);
  EXPECT_EQ(bits_of(w.value()[0]), bits_of(0.178125));
}

TEST(TangentFlowWeights, StepwiseRoundingIsKept) {
  // Y stays 1.0; the closed form would give 1.2, the stepwise sums do not.
  Dense states(1, 5), dws(1, 4, {0.3, -0.1, 0.2, 0.05}), sigma(1, 4, 0.25), zero(1, 4, 0.0);
  Outcome<DoubleBuffer> w = bel_weights_tangent_flow(states.view(), dws.view(), sigma.view(),
                                                     zero.view(), zero.view(), 1.5);
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(bits_of(w.value()[0]), bits_of(1.1999999999999997));
}

TEST(TangentFlowWeights, SingleStepIgnoresDerivatives) {
  const double sig = 0.37, dw = -0.41, horizon = 0.7;
  for (double deriv : {0.0, 3.5, kNaN, kInf}) {
    Dense states(1, 2), dws(1, 1, dw), sigma(1, 1, sig), d(1, 1, deriv);
    Outcome<DoubleBuffer> w = bel_weights_tangent_flow(states.view(), dws.view(), sigma.view(),
                                                       d.view(), d.view(), horizon);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(bits_of(w.value()[0]), bits_of(((1.0 / sig) * (1.0 / horizon)) * dw)) << deriv;
  }
}

TEST(TangentFlowWeights, ZeroPathsGiveAnEmptyVector) {
  Dense states(0, 5), a(0, 4);
  Outcome<DoubleBuffer> w =
      bel_weights_tangent_flow(states.view(), a.view(), a.view(), a.view(), a.view(), 1.0);
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(w.value().size(), 0u);
}

struct ZeroSigmaCase {
  const char* label;
  std::vector<std::tuple<std::size_t, std::size_t, double>> sigma_values;
  const char* message;  // nullptr: no failure
};

class TangentFlowZeroSigma : public ::testing::TestWithParam<ZeroSigmaCase> {};

TEST_P(TangentFlowZeroSigma, ReportsTheFirstZeroInRowMajorOrder) {
  const ZeroSigmaCase& c = GetParam();
  Batch b = random_batch(4, 9, 11, 0.0, 0.0);
  for (const auto& [i, j, v] : c.sigma_values) b.sigma(i, j) = v;
  for (KernelTarget target : supported_targets()) {
    // The serial estimator uses the active target; check both explicitly too.
    Outcome<DoubleBuffer> w = bel_weights_tangent_flow(
        b.states.view(), b.dws.view(), b.sigma.view(), b.dmu.view(), b.dsig.view(), 1.0);
    ASSERT_EQ(w.ok(), c.message == nullptr);
    if (c.message) {
    EXPECT_EQ(w.failure().message, c.message);
  }
    const TangentFlowInputs in = validate_tangent_flow_inputs(b.states.view(), b.dws.view(),
                                                              b.sigma.view(), b.dmu.view(),
                                                              b.dsig.view(), 1.0)
                                     .value();
    std::vector<double> out(4);
    const std::optional<ZeroSigma> z = tangent_flow_weights_with(target, in, 0, 4, out.data());
    ASSERT_EQ(z.has_value(), c.message != nullptr) << kernel_target_name(target);
    if (z) {
      EXPECT_EQ(zero_sigma_message(*z), c.message) << kernel_target_name(target);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TangentFlowZeroSigma,
    ::testing::Values(
        ZeroSigmaCase{"two_zeros", {{2, 5, 0.0}, {3, 0, 0.0}},
                      "sigma[2, 5] = 0 produces division by zero in BEL weight"},
        ZeroSigmaCase{"negative_zero", {{2, 5, -0.0}}, "sigma[2, 5] = 0 produces division by zero in BEL weight"},
        ZeroSigmaCase{"same_path_lower_step", {{1, 7, 0.0}, {1, 2, -0.0}},
                      "sigma[1, 2] = 0 produces division by zero in BEL weight"},
        ZeroSigmaCase{"first_element", {{0, 0, 0.0}, {3, 8, 0.0}},
                      "sigma[0, 0] = 0 produces division by zero in BEL weight"},
        ZeroSigmaCase{"last_element", {{3, 8, -0.0}},
                      "sigma[3, 8] = 0 produces division by zero in BEL weight"},
        ZeroSigmaCase{"nan_is_not_zero", {{2, 5, kNaN}}, nullptr},
        ZeroSigmaCase{"subnormal_is_not_zero", {{2, 5, 1e-320}}, nullptr}),
    [](const ::testing::TestParamInfo<ZeroSigmaCase>& info) {
      return std::string(info.param.label);
    });

TEST(TangentFlowWeights, MessageFormat) {
  EXPECT_EQ(zero_sigma_message(ZeroSigma{2, 5}),
            "sigma[2, 5] = 0 produces division by zero in BEL weight");
  EXPECT_EQ(zero_sigma_message(ZeroSigma{12345678901234ULL, 0}),
            "sigma[12345678901234, 0] = 0 produces division by zero in BEL weight");
}

TEST(TangentFlowWeights, StatesValuesAreNeverRead) {
  Batch b = random_batch(37, 6, 5, 0.05, 0.0);
  Dense nan_states(37, 7, kNaN);
  Outcome<DoubleBuffer> w1 = bel_weights_tangent_flow(b.states.view(), b.dws.view(),
                                                      b.sigma.view(), b.dmu.view(), b.dsig.view(), 2.0);
  // A states view whose data pointer is null: only its shape may be used.
  MatrixView shape_only{nullptr, 37, 7, 0, 0};
  Outcome<DoubleBuffer> w2 = bel_weights_tangent_flow(shape_only, b.dws.view(), b.sigma.view(),
                                                      b.dmu.view(), b.dsig.view(), 2.0);
  Outcome<DoubleBuffer> w3 = bel_weights_tangent_flow(nan_states.view(), b.dws.view(),
                                                      b.sigma.view(), b.dmu.view(), b.dsig.view(), 2.0);
  ASSERT_TRUE(w1.ok() && w2.ok() && w3.ok());
  EXPECT_EQ(0, std::memcmp(w1.value().data(), w2.value().data(), 37 * sizeof(double)));
  EXPECT_EQ(0, std::memcmp(w1.value().data(), w3.value().data(), 37 * sizeof(double)));
}

TEST(TangentFlowWeights, SameArrayForSeveralArguments) {
  Dense states(3, 4), dws(3, 3, {0.1, -0.2, 0.3, 0.05, 0.0, -0.1, 0.2, 0.2, -0.3}),
      sigma(3, 3, 0.4), ones(3, 3, 1.0);
  Outcome<DoubleBuffer> w = bel_weights_tangent_flow(states.view(), dws.view(), sigma.view(),
                                                     ones.view(), ones.view(), 1.0);
  ASSERT_TRUE(w.ok());
  for (std::size_t i = 0; i < 3; ++i) {
    const auto ref = reference_weight(dws.view(), sigma.view(), ones.view(), ones.view(), i, 3, 1.0);
    ASSERT_TRUE(ref.has_value());
    EXPECT_EQ(bits_of(*ref), bits_of(w.value()[i])) << i;
  }
}

// The scalar recursion against the plain reference, on random data with specials.
TEST(TangentFlowWeights, ScalarRecursionMatchesPlainReference) {
  for (std::uint32_t seed = 0; seed < 20; ++seed) {
    const Batch b = random_batch(29, 13, seed, seed % 2 ? 0.03 : 0.0, seed % 4 == 3 ? 0.01 : 0.0);
    const double horizon = seed % 3 == 0 ? 0.75 : 2.5;
    const TangentFlowInputs in =
        validate_tangent_flow_inputs(b.states.view(), b.dws.view(), b.sigma.view(), b.dmu.view(),
                                     b.dsig.view(), horizon)
            .value();
    for (std::size_t i = 0; i < b.n_paths; ++i) {
      std::size_t zstep = 0;
      const auto ref = reference_weight(b.dws.view(), b.sigma.view(), b.dmu.view(), b.dsig.view(),
                                        i, b.n_steps, horizon, &zstep);
      const PathWeight w = tangent_flow_path_weight(in, i);
      ASSERT_EQ(ref.has_value(), w.ok()) << seed << " " << i;
      if (ref) {
        expect_same_value(*ref, w.weight, "seed " + std::to_string(seed) + " path " +
                                              std::to_string(i));
      } else {
        EXPECT_EQ(zstep, *w.zero_sigma_step);
      }
    }
  }
}

// Logically equal data in any layout gives the same bits.
class TangentFlowLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(TangentFlowLayouts, SameLogicalDataSameBits) {
  const Batch b = random_batch(43, 17, 99, 0.02, 0.0);
  Outcome<DoubleBuffer> ref = bel_weights_tangent_flow(
      b.states.view(), b.dws.view(), b.sigma.view(), b.dmu.view(), b.dsig.view(), 1.25);
  const LaidOut lo(b, GetParam());
  Outcome<DoubleBuffer> got =
      bel_weights_tangent_flow(b.states.view(), lo.dws.view(), lo.sigma.view(), lo.dmu.view(),
                               lo.dsig.view(), 1.25);
  ASSERT_TRUE(ref.ok() && got.ok());
  EXPECT_EQ(0, std::memcmp(ref.value().data(), got.value().data(), 43 * sizeof(double)));
}

INSTANTIATE_TEST_SUITE_P(All, TangentFlowLayouts, ::testing::ValuesIn(kFullLayouts),
                         [](const ::testing::TestParamInfo<Layout>& info) {
                           return std::string(layout_name(info.param));
                         });

// ===========================================================================
// The fast kernels against the scalar recursion.

using KernelParam = std::tuple<KernelTarget, Layout>;

std::string kernel_param_name(const ::testing::TestParamInfo<KernelParam>& info) {
  return std::string(kernel_target_name(std::get<0>(info.param))) + "_" +
         layout_name(std::get<1>(info.param));
}

class TangentFlowKernel : public ::testing::TestWithParam<KernelParam> {
 protected:
  void SetUp() override {
    if (!kernel_target_supported(std::get<0>(GetParam())))
      GTEST_SKIP() << "target not supported by this cpu";
  }
  KernelTarget target() const { return std::get<0>(GetParam()); }
  Layout layout() const { return std::get<1>(GetParam()); }
};

// Path counts around every plausible group width (2, 4, 8, 12, 16 lanes) and the
// smallest Fortran-order block, 256 paths.
constexpr std::size_t kPathCounts[] = {0,  1,  2,  3,  4,  5,  7,  8,  9,  11, 12, 13, 15,
                                       16, 17, 19, 23, 24, 25, 27, 31, 32, 33, 35, 100, 255,
                                       256, 257, 515};

TEST_P(TangentFlowKernel, MatchesScalarOnRandomDataWithSpecials) {
  for (std::size_t n_paths : kPathCounts) {
    for (std::size_t n_steps : {1, 2, 3, 8, 9}) {
      const auto seed = static_cast<std::uint32_t>(n_paths * 31 + n_steps);
      const Batch b = random_batch(n_paths, n_steps, seed, 0.02, 0.0);
      const LaidOut lo(b, layout());
      const TangentFlowInputs in = lo.inputs(n_paths, n_steps, 1.5);
      expect_kernel_matches_scalar(target(), in, 0, n_paths,
                                   "paths " + std::to_string(n_paths) + " steps " +
                                       std::to_string(n_steps));
    }
  }
}

// Paths longer than one run of kKernelPaceSteps steps (between two runs the
// kernels count work for interrupts): the weights have the bits of the plain
// reference, and a zero sigma past the first run is the one reported.
TEST_P(TangentFlowKernel, MatchesThePlainReferenceAcrossRunsOfSteps) {
  for (std::size_t n_steps : {kKernelPaceSteps + 1, 2 * kKernelPaceSteps + 3}) {
    for (std::size_t n_paths : {1u, 9u, 257u}) {
      for (bool zero : {false, true}) {
        const std::string where = "paths " + std::to_string(n_paths) + " steps " +
                                  std::to_string(n_steps) + (zero ? " zero" : "");
        Batch b = random_batch(n_paths, n_steps, static_cast<std::uint32_t>(n_paths + n_steps),
                               0.0, 0.0);
        if (zero) b.sigma(n_paths - 1, kKernelPaceSteps) = 0.0;  // the first step of the second run
        const LaidOut lo(b, layout());
        const TangentFlowInputs in = lo.inputs(n_paths, n_steps, 1.5);
        std::vector<double> out(n_paths);
        const std::optional<ZeroSigma> got =
            tangent_flow_weights_with(target(), in, 0, n_paths, out.data());
        std::optional<ZeroSigma> expected;
        for (std::size_t i = 0; i < n_paths && !expected; ++i) {
          std::size_t step = 0;
          const std::optional<double> ref = reference_weight(
              lo.dws.view(), lo.sigma.view(), lo.dmu.view(), lo.dsig.view(), i, n_steps, 1.5, &step);
          if (!ref) {
            expected = ZeroSigma{i, step};
          } else if (!got) {
            expect_same_value(*ref, out[i], where + " path " + std::to_string(i));
          }
        }
        EXPECT_EQ(got, expected) << where;
      }
    }
  }
}

TEST_P(TangentFlowKernel, MatchesScalarOnSubranges) {
  const Batch b = random_batch(300, 7, 3, 0.01, 0.0);
  const LaidOut lo(b, layout());
  const TangentFlowInputs in = lo.inputs(300, 7, 0.9);
  const std::size_t ranges[][2] = {{0, 300}, {1, 299}, {3, 17}, {150, 150}, {299, 1},
                                   {5, 0},   {7, 256}, {37, 9}, {290, 10}};
  for (const auto& r : ranges)
    expect_kernel_matches_scalar(target(), in, r[0], r[1],
                                 "range " + std::to_string(r[0]) + "+" + std::to_string(r[1]));
}

TEST_P(TangentFlowKernel, MatchesScalarWithManySpecials) {
  // Dense specials: most weights are NaN or infinite and come from the fix-up.
  for (std::uint32_t seed = 0; seed < 6; ++seed) {
    const Batch b = random_batch(41, 5, 1000 + seed, 0.15, 0.0);
    const LaidOut lo(b, layout());
    expect_kernel_matches_scalar(target(), lo.inputs(41, 5, seed % 2 ? kInf : 3.0), 0, 41,
                                 "seed " + std::to_string(seed));
  }
}

TEST_P(TangentFlowKernel, FindsTheFirstZeroSigmaAtEveryPosition) {
  // One zero at every (path, step) in turn: start, middle and end of each group
  // and of each path, for every group width up to 16 lanes.
  const std::size_t n_paths = 35, n_steps = 4;
  for (std::size_t zi = 0; zi < n_paths; ++zi) {
    for (std::size_t zj = 0; zj < n_steps; ++zj) {
      Batch b = random_batch(n_paths, n_steps, static_cast<std::uint32_t>(zi * 7 + zj), 0.0, 0.0);
      b.sigma(zi, zj) = (zi + zj) % 2 ? -0.0 : 0.0;
      // A second, later zero that must not be reported.
      if (zi + 3 < n_paths) b.sigma(zi + 3, 0) = 0.0;
      const LaidOut lo(b, layout());
      const TangentFlowInputs in = lo.inputs(n_paths, n_steps, 1.0);
      std::vector<double> out(n_paths);
      const std::optional<ZeroSigma> z = tangent_flow_weights_with(target(), in, 0, n_paths, out.data());
      if (layout() == Layout::broadcast_rows) {
        // Every path sees row 0: the zero of row 0 (if any) is at path 0.
        expect_kernel_matches_scalar(target(), in, 0, n_paths, "broadcast");
        continue;
      }
      if (layout() == Layout::broadcast_cols) {
        expect_kernel_matches_scalar(target(), in, 0, n_paths, "broadcast");
        continue;
      }
      ASSERT_TRUE(z.has_value()) << zi << "," << zj;
      EXPECT_EQ(z->path, zi);
      EXPECT_EQ(z->step, zj);
      // A range that starts after the zero path sees the later zero (or none).
      if (zi + 1 < n_paths) expect_kernel_matches_scalar(target(), in, zi + 1, n_paths - zi - 1, "tail");
    }
  }
}

TEST_P(TangentFlowKernel, FindsTheFirstZeroSigmaInLargeBatches) {
  // Batches long enough for the block kernels (blocks of hundreds of paths) and
  // several fix-up chunks: zeros at the edges and inside blocks and chunks.
  const std::size_t n_paths = 600, n_steps = 3;
  const bool broadcast = layout() == Layout::broadcast_rows || layout() == Layout::broadcast_cols;
  const std::size_t paths[] = {0, 1, 127, 128, 255, 256, 257, 511, 512, 599};
  for (std::size_t zi : paths) {
    for (std::size_t zj : {std::size_t{0}, n_steps - 1}) {
      Batch b = random_batch(n_paths, n_steps, static_cast<std::uint32_t>(zi + zj), 0.01, 0.0);
      b.sigma(zi, zj) = -0.0;
      if (zi + 40 < n_paths) b.sigma(zi + 40, 1) = 0.0;
      const LaidOut lo(b, layout());
      const TangentFlowInputs in = lo.inputs(n_paths, n_steps, 1.0);
      std::vector<double> out(n_paths);
      if (broadcast) {
        // Only some of the zeros are visible through a broadcast view.
        expect_kernel_matches_scalar(target(), in, 0, n_paths, "broadcast");
        continue;
      }
      const std::optional<ZeroSigma> z =
          tangent_flow_weights_with(target(), in, 0, n_paths, out.data());
      ASSERT_TRUE(z.has_value()) << zi << "," << zj;
      EXPECT_EQ(*z, (ZeroSigma{zi, zj}));
    }
  }
}

// Batches of several kernel passes, starting on and off a group boundary, so that
// groups prefetch across passes and the last groups' prefetch windows reach past
// the batch; and a zero sigma in a later pass.
TEST_P(TangentFlowKernel, MatchesScalarAcrossPasses) {
  const std::size_t n_steps = 5;
  for (std::size_t n_paths : {detail::kPassPaths - 1, detail::kPassPaths + 13,
                              2 * detail::kPassPaths + 29}) {
    Batch b = random_batch(n_paths, n_steps, static_cast<std::uint32_t>(n_paths), 0.002, 0.0);
    if (n_paths > 2 * detail::kPassPaths) b.sigma(detail::kPassPaths + 100, 3) = -0.0;
    const LaidOut lo(b, layout());
    const TangentFlowInputs in = lo.inputs(n_paths, n_steps, 0.7);
    for (std::size_t first : {std::size_t{0}, std::size_t{5}})
      expect_kernel_matches_scalar(target(), in, first, n_paths - first,
                                   "paths " + std::to_string(n_paths) + " from " +
                                       std::to_string(first));
  }
}

// A zero sigma must be found whatever the accumulator and the tangent hold when it
// is met: the deferred test relies on the weight ending non-finite.
struct ZeroScenario {
  const char* label;
  double horizon;
  // Step 0 values (dws, sigma, d_mu_dx, d_sigma_dx); step 1 has the zero sigma
  // with increment dw1; step 2 is ordinary.
  double dw0, sig0, dmu0, dsig0, dw1;
};

class TangentFlowZeroScenario
    : public ::testing::TestWithParam<std::tuple<KernelTarget, ZeroScenario>> {};

TEST_P(TangentFlowZeroScenario, ZeroSigmaIsAlwaysDetected) {
  const auto& [target, sc] = GetParam();
  if (!kernel_target_supported(target)) GTEST_SKIP();
  // 19 paths; the scenario sits in path 10 (a lane in the middle of a group),
  // every other path is ordinary.
  const std::size_t n_paths = 19, n_steps = 3, zp = 10;
  Batch b = random_batch(n_paths, n_steps, 77, 0.0, 0.0);
  b.dws(zp, 0) = sc.dw0;
  b.sigma(zp, 0) = sc.sig0;
  b.dmu(zp, 0) = sc.dmu0;
  b.dsig(zp, 0) = sc.dsig0;
  b.sigma(zp, 1) = 0.0;
  b.dws(zp, 1) = sc.dw1;
  for (const Layout l : {Layout::c_order, Layout::fortran, Layout::packed_records}) {
    const LaidOut lo(b, l);
    const TangentFlowInputs in = lo.inputs(n_paths, n_steps, sc.horizon);
    std::vector<double> out(n_paths);
    const std::optional<ZeroSigma> z = tangent_flow_weights_with(target, in, 0, n_paths, out.data());
    ASSERT_TRUE(z.has_value()) << sc.label << " " << layout_name(l);
    EXPECT_EQ(*z, (ZeroSigma{zp, 1})) << sc.label << " " << layout_name(l);
  }
}

const ZeroScenario kZeroScenarios[] = {
    // Y = 1 + (dsig0 * 1 * dw0 + 0) = 0 exactly before the zero: 0 / 0.
    {"tangent_zero", 1.0, 0.5, 1.0, 0.0, -2.0, 0.3},
    // Y = 0 and a negative-zero increment at the zero step.
    {"tangent_zero_dw_negzero", 1.0, 0.5, 1.0, 0.0, -2.0, -0.0},
    // Y NaN (d_mu_dx NaN) before the zero.
    {"tangent_nan", 1.0, 0.1, 1.0, kNaN, 0.1, 0.2},
    // Y = +inf (overflow) before the zero.
    {"tangent_inf", 1.0, 1e300, 1.0, 0.0, 1e300, 0.2},
    // Y = -inf.
    {"tangent_neg_inf", 1.0, 1e300, 1.0, 0.0, -1e300, 0.2},
    // dW = 0 at the zero step: inf * 0 = NaN.
    {"increment_zero", 1.0, 0.1, 1.0, 0.1, 0.1, 0.0},
    // dW = NaN at the zero step.
    {"increment_nan", 1.0, 0.1, 1.0, 0.1, 0.1, kNaN},
    // acc already +inf before the zero (tiny sigma), and the zero's term -inf.
    {"acc_inf_then_opposite", 1.0, 1.0, 1e-320, 0.0, 0.0, -1.0},
    // acc already NaN before the zero.
    {"acc_nan", 1.0, kNaN, 1.0, 0.0, 0.0, 0.5},
    // Infinite horizon: inv_horizon = +0, inf * 0 = NaN.
    {"horizon_inf", kInf, 0.1, 1.0, 0.1, 0.1, 0.2},
    // Huge horizon, tiny inv_horizon.
    {"horizon_huge", 1e308, 0.1, 1.0, 0.1, 0.1, 0.2},
    // Subnormal horizon: inv_horizon = +inf.
    {"horizon_subnormal", 1e-310, 0.1, 1.0, 0.1, 0.1, 0.2},
};

INSTANTIATE_TEST_SUITE_P(
    Cases, TangentFlowZeroScenario,
    ::testing::Combine(::testing::ValuesIn(kEveryKernelTarget), ::testing::ValuesIn(kZeroScenarios)),
    [](const ::testing::TestParamInfo<std::tuple<KernelTarget, ZeroScenario>>& info) {
      return std::string(kernel_target_name(std::get<0>(info.param))) + "_" +
             std::get<1>(info.param).label;
    });

TEST(TangentFlowZeroScenarios, ScenariosReachTheirPreconditions) {
  // Guards the scenarios above: Y really is 0 / NaN / +-inf before the zero step.
  const auto y_after_step0 = [](const ZeroScenario& s) {
    const double dt = s.horizon / 3.0;
    return 1.0 + ((s.dsig0 * 1.0) * s.dw0 + (s.dmu0 * 1.0) * dt);
  };
  EXPECT_EQ(bits_of(y_after_step0(kZeroScenarios[0])), bits_of(0.0));
  EXPECT_TRUE(std::isnan(y_after_step0(kZeroScenarios[2])));
  EXPECT_EQ(y_after_step0(kZeroScenarios[3]), kInf);
  EXPECT_EQ(y_after_step0(kZeroScenarios[4]), -kInf);
}

INSTANTIATE_TEST_SUITE_P(
    All, TangentFlowKernel,
    ::testing::Combine(::testing::ValuesIn(kEveryKernelTarget), ::testing::ValuesIn(kAllLayouts)),
    kernel_param_name);

// Mixed layouts: each array its own layout (the kernels must not assume one).
TEST(TangentFlowKernelMixed, EachArrayItsOwnLayout) {
  const Batch b = random_batch(45, 6, 4242, 0.02, 0.0);
  const Layout combos[][4] = {
      {Layout::c_order, Layout::fortran, Layout::c_order, Layout::c_order},
      {Layout::fortran, Layout::fortran, Layout::fortran, Layout::unaligned_c},
      {Layout::unaligned_fortran, Layout::fortran, Layout::packed_fortran, Layout::fortran},
      {Layout::reversed_cols, Layout::c_order, Layout::every_second, Layout::broadcast_rows},
  };
  for (KernelTarget target : supported_targets()) {
    for (const auto& c : combos) {
      const Strided dws(b.dws.v, 45, 6, c[0]), sigma(b.sigma.v, 45, 6, c[1]),
          dmu(b.dmu.v, 45, 6, c[2]), dsig(b.dsig.v, 45, 6, c[3]);
      TangentFlowInputs in;
      in.dws = dws.view();
      in.sigma = sigma.view();
      in.d_mu_dx = dmu.view();
      in.d_sigma_dx = dsig.view();
      in.n_paths = 45;
      in.n_steps = 6;
      in.dt = 0.5 / 6.0;
      in.inv_horizon = 1.0 / 0.5;
      expect_kernel_matches_scalar(target, in, 0, 45,
                                   std::string(kernel_target_name(target)) + " " +
                                       layout_name(c[0]) + "/" + layout_name(c[1]) + "/" +
                                       layout_name(c[2]) + "/" + layout_name(c[3]));
    }
  }
}

TEST(TangentFlowKernelSelection, QuorvaneKernelForcedWiderTargetWasIgnored) {
  // QUORVANE_KERNEL names any target, whether or not this CPU runs it (a call
  // then fails in kernels_for); unset or unknown, the automatic choice.
  for (KernelTarget target : kEveryKernelTarget)
    EXPECT_EQ(kernel_target_for(kernel_target_name(target)), target) << kernel_target_name(target);
  const KernelTarget automatic = automatic_target();
  EXPECT_EQ(kernel_target_for(nullptr), automatic);
  EXPECT_EQ(kernel_target_for("sse9"), automatic);
  EXPECT_EQ(kernel_target_for(""), automatic);
}

TEST(TangentFlowKernelSelection, ActiveKernelFollowsCpuAndEnvironment) {
  // The automatic choice, unless QUORVANE_KERNEL names a target; whichever
  // targets exist and whichever this CPU has.
  const char* forced = std::getenv("QUORVANE_KERNEL");
  const char* expected = kernel_target_name(automatic_target());
  for (KernelTarget target : kEveryKernelTarget)
    if (forced != nullptr && std::string(forced) == kernel_target_name(target))
      expected = kernel_target_name(target);
  EXPECT_STREQ(active_tangent_flow_kernel(), expected);
  EXPECT_STREQ(kernel_target_name(active_kernel_target()), expected);
  EXPECT_TRUE(kernel_target_supported(KernelTarget::baseline));
}

// ===========================================================================
// price_and_delta_tangent_flow.

struct PriceInputs {
  Dense states, dws, sigma, dmu, dsig;
};

PriceInputs two_paths() {
  return PriceInputs{Dense(2, 4, {1.0, 1.05, 1.12, 1.08, 1.0, 0.97, 1.01, 1.15}),
                     Dense(2, 3, {0.1, -0.2, 0.3, -0.05, 0.15, 0.25}),
                     Dense(2, 3, {0.5, 0.6, 0.7, 0.4, 0.45, 0.5}), Dense(2, 3, 0.03),
                     Dense(2, 3, 0.2)};
}

Outcome<Estimate> price(const PriceInputs& p, double horizon, std::string_view payoff,
                        double strike) {
  return price_and_delta_tangent_flow(p.states.view(), p.dws.view(), p.sigma.view(),
                                      p.dmu.view(), p.dsig.view(), horizon, payoff, strike);
}

void expect_estimate(Outcome<Estimate> e, double price_, double delta, double price_se,
                     double delta_se) {
  ASSERT_TRUE(e.ok()) << e.failure().message;
  EXPECT_EQ(bits_of(e.value().price), bits_of(price_)) << e.value().price;
  EXPECT_EQ(bits_of(e.value().delta), bits_of(delta)) << e.value().delta;
  EXPECT_EQ(bits_of(e.value().price_stderr), bits_of(price_se)) << e.value().price_stderr;
  EXPECT_EQ(bits_of(e.value().delta_stderr), bits_of(delta_se)) << e.value().delta_stderr;
}

TEST(TangentFlowPrice, OnePathWorkedValue) {
  const PriceInputs p{Dense(1, 3, {1.0, 1.2, 1.1}), Dense(1, 2, {0.5, -0.25}),
                      Dense(1, 2, {2.0, 4.0}), Dense(1, 2, 0.1), Dense(1, 2, 0.2)};
  expect_estimate(price(p, 1.0, "call", 1.0), 0.10000000000000009, 0.017812500000000016, 0.0,
                  0.0);
}

TEST(TangentFlowPrice, TwoPathWorkedValues) {
  expect_estimate(price(two_paths(), 2.0, "call", 1.0), 0.11499999999999999, 0.03362454166666665,
                  0.02474873734152913, 0.01556993152885932);
  expect_estimate(price(two_paths(), 2.0, "identity", 1.0), 1.115, 0.2916370416666667,
                  0.02474873734152948, 0.0954346961856249);
}

TEST(TangentFlowPrice, ZeroPathsGiveNaNWhateverTheShapes) {
  PriceInputs p{Dense(0, 3), Dense(0, 0), Dense(0, 1), Dense(0, 0), Dense(0, 7)};
  Outcome<Estimate> e = price(p, 1.0, "put", 0.0);
  ASSERT_TRUE(e.ok());
  EXPECT_TRUE(std::isnan(e.value().price) && std::isnan(e.value().delta) &&
              std::isnan(e.value().price_stderr) && std::isnan(e.value().delta_stderr));
  Outcome<Estimate> u = price(p, 1.0, "Put", 0.0);
  ASSERT_FALSE(u.ok());
  EXPECT_EQ(u.failure().message, "unknown payoff 'Put'");
}

struct PriceFailureCase {
  const char* label;
  std::size_t states_cols;
  std::size_t dws_rows_less, dws_cols_less;
  std::string payoff;
  const char* message;  // ValueError message, or nullptr for an internal failure
};

class TangentFlowPriceFailures : public ::testing::TestWithParam<PriceFailureCase> {};

TEST_P(TangentFlowPriceFailures, OrderOfChecks) {
  const PriceFailureCase& c = GetParam();
  const std::size_t rows = 2, steps = c.states_cols > 0 ? c.states_cols - 1 : 0;
  PriceInputs p{Dense(rows, c.states_cols, 1.0),
                Dense(rows - c.dws_rows_less, steps - std::min(steps, c.dws_cols_less), 0.1),
                Dense(rows, steps, 0.5), Dense(rows, steps, 0.0), Dense(rows, steps, 0.0)};
  if (c.message == nullptr) {
    try {
      (void)price(p, 1.0, c.payoff, 0.0);
      ADD_FAILURE() << "expected an internal failure";
    } catch (const InternalFailure& f) {
      EXPECT_EQ(f.message(), kIndexOutOfBounds);
    }
  } else {
    Outcome<Estimate> e = price(p, 1.0, c.payoff, 0.0);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.failure().message, c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TangentFlowPriceFailures,
    ::testing::Values(
        PriceFailureCase{"one_column_unknown_payoff", 1, 0, 0, "Call", kColumns},
        PriceFailureCase{"zero_columns", 0, 0, 0, "call", kColumns},
        PriceFailureCase{"unknown_payoff", 4, 0, 0, "Call", "unknown payoff 'Call'"},
        PriceFailureCase{"unknown_payoff_blank", 4, 0, 0, " call", "unknown payoff ' call'"},
        PriceFailureCase{"unknown_payoff_empty", 4, 0, 0, "", "unknown payoff ''"},
        PriceFailureCase{"dws_row_missing_before_payoff", 4, 1, 0, "Call", nullptr},
        PriceFailureCase{"dws_column_missing_before_payoff", 4, 0, 1, "nope", nullptr},
        PriceFailureCase{"dws_row_missing", 4, 1, 0, "call", nullptr}),
    [](const ::testing::TestParamInfo<PriceFailureCase>& info) {
      return std::string(info.param.label);
    });

TEST(TangentFlowPrice, ZeroSigmaFieldMessages) {
  for (double zero : {0.0, -0.0}) {
    PriceInputs p = two_paths();
    p.sigma(0, 2) = zero;
    p.sigma(1, 0) = zero;  // later in row-major order
    Outcome<Estimate> e = price(p, 2.0, "call", 1.0);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.failure().message, "sigma_field[0, 2] = 0 produces division by zero");
  }
}

TEST(TangentFlowPrice, NaNSigmaGivesNaNDeltaAndNoError) {
  PriceInputs p = two_paths();
  p.sigma(0, 2) = kNaN;
  Outcome<Estimate> e = price(p, 2.0, "identity", 1.0);
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(bits_of(e.value().price), bits_of(1.115));
  EXPECT_TRUE(std::isnan(e.value().delta));
  EXPECT_EQ(bits_of(e.value().delta_stderr), bits_of(0.0));
}

// A field too small against a zero sigma: whichever comes first in row-major order
// (with the per-step order sigma, zero test, dws, d_mu_dx, d_sigma_dx) wins.
struct FieldOrderCase {
  const char* label;
  int field;  // 0 sigma_field, 1 d_mu_dx_field, 2 d_sigma_dx_field
  std::size_t rows_less, cols_less;
  std::optional<std::pair<std::size_t, std::size_t>> zero;
  const char* message;  // nullptr: internal failure
};

class TangentFlowPriceFieldOrder : public ::testing::TestWithParam<FieldOrderCase> {};

TEST_P(TangentFlowPriceFieldOrder, FirstProblemInRowMajorOrderWins) {
  const FieldOrderCase& c = GetParam();
  const std::size_t rows = 3, steps = 4;
  Batch b = random_batch(rows, steps, 8, 0.0, 0.0);
  if (c.zero) b.sigma(c.zero->first, c.zero->second) = 0.0;
  Dense* fields[] = {&b.sigma, &b.dmu, &b.dsig};
  Dense small(rows - c.rows_less, steps - c.cols_less);
  for (std::size_t i = 0; i < small.rows; ++i)
    for (std::size_t j = 0; j < small.cols; ++j) small(i, j) = (*fields[c.field])(i, j);
  MatrixView views[] = {b.sigma.view(), b.dmu.view(), b.dsig.view()};
  views[c.field] = small.view();
  const auto run = [&] {
    return price_and_delta_tangent_flow(b.states.view(), b.dws.view(), views[0], views[1],
                                        views[2], 1.0, "call", 1.0);
  };
  if (c.message == nullptr) {
    EXPECT_THROW((void)run(), InternalFailure);
  } else {
    Outcome<Estimate> e = run();
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.failure().message, c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TangentFlowPriceFieldOrder,
    ::testing::Values(
        // d_mu_dx_field one column short: path 0 fails at its last step.
        FieldOrderCase{"dmu_short_columns", 1, 0, 1, std::nullopt, nullptr},
        // ... unless a zero sigma comes first in row-major order,
        FieldOrderCase{"zero_before_missing_column", 1, 0, 1, std::pair{0, 2},
                       "sigma_field[0, 2] = 0 produces division by zero"},
        // including the zero sigma at the very step whose d_mu_dx is missing,
        FieldOrderCase{"zero_at_missing_step", 1, 0, 1, std::pair{0, 3},
                       "sigma_field[0, 3] = 0 produces division by zero"},
        // but a later zero loses.
        FieldOrderCase{"zero_after_missing_column", 1, 0, 1, std::pair{1, 0}, nullptr},
        FieldOrderCase{"dsig_short_rows_zero_before", 2, 1, 0, std::pair{1, 3},
                       "sigma_field[1, 3] = 0 produces division by zero"},
        // The zero test of sigma_field[2, 0] comes before d_sigma_dx_field[2, 0] is needed,
        FieldOrderCase{"dsig_short_rows_zero_at_first_missing", 2, 1, 0, std::pair{2, 0},
                       "sigma_field[2, 0] = 0 produces division by zero"},
        // a zero one step later does not.
        FieldOrderCase{"dsig_short_rows_zero_after", 2, 1, 0, std::pair{2, 1}, nullptr},
        // sigma_field itself missing: the missing sigma is met before any zero test.
        FieldOrderCase{"sigma_short_columns", 0, 0, 1, std::pair{1, 0}, nullptr},
        FieldOrderCase{"sigma_short_rows_zero_before", 0, 2, 0, std::pair{0, 1},
                       "sigma_field[0, 1] = 0 produces division by zero"},
        FieldOrderCase{"sigma_empty", 0, 3, 4, std::nullopt, nullptr}),
    [](const ::testing::TestParamInfo<FieldOrderCase>& info) {
      return std::string(info.param.label);
    });

// A plain reference of the whole estimator: the reference weights, the payoff,
// and the one-pass sums in index order.
template <class Pay>
Estimate reference_estimate(const Batch& b, double horizon, const Pay& pay) {
  double s1p = 0.0, s2p = 0.0, s1d = 0.0, s2d = 0.0;
  for (std::size_t i = 0; i < b.n_paths; ++i) {
    const double w = *reference_weight(b.dws.view(), b.sigma.view(), b.dmu.view(), b.dsig.view(),
                                       i, b.n_steps, horizon);
    const double p = pay(b.states.view()(i, b.n_steps));
    const double d = w * p;
    s1p = s1p + p;
    s2p = s2p + p * p;
    s1d = s1d + d;
    s2d = s2d + d * d;
  }
  const MeanStderr mp = mean_and_stderr(s1p, s2p, b.n_paths);
  const MeanStderr md = mean_and_stderr(s1d, s2d, b.n_paths);
  return Estimate{mp.mean, md.mean, mp.stderr_, md.stderr_};
}

class TangentFlowPriceRandom : public ::testing::TestWithParam<std::tuple<const char*, Layout>> {};

TEST_P(TangentFlowPriceRandom, MatchesPlainReferenceInEveryLayout) {
  const auto& [name, layout] = GetParam();
  const auto pay = [&](double x) { return plain_payoff(name, 1.02, x); };
  for (std::size_t n_paths : {1, 7, 8, 9, 255, 256, 257, 600}) {
    const Batch b = random_batch(n_paths, 11, static_cast<std::uint32_t>(n_paths), 0.0, 0.0);
    const Estimate ref = reference_estimate(b, 1.3, pay);
    const LaidOut lo(b, layout);
    const Strided states(b.states.v, n_paths, 12, layout);
    Outcome<Estimate> e =
        price_and_delta_tangent_flow(states.view(), lo.dws.view(), lo.sigma.view(),
                                     lo.dmu.view(), lo.dsig.view(), 1.3, name, 1.02);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(bits_of(e.value().price), bits_of(ref.price)) << n_paths;
    EXPECT_EQ(bits_of(e.value().delta), bits_of(ref.delta)) << n_paths;
    EXPECT_EQ(bits_of(e.value().price_stderr), bits_of(ref.price_stderr)) << n_paths;
    EXPECT_EQ(bits_of(e.value().delta_stderr), bits_of(ref.delta_stderr)) << n_paths;
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, TangentFlowPriceRandom,
    ::testing::Combine(::testing::Values("identity", "call", "put", "digital_call"),
                       ::testing::Values(Layout::c_order, Layout::fortran, Layout::reversed_both,
                                         Layout::packed_records, Layout::unaligned_fortran)),
    [](const ::testing::TestParamInfo<std::tuple<const char*, Layout>>& info) {
      return std::string(std::get<0>(info.param)) + "_" + layout_name(std::get<1>(info.param));
    });

TEST(TangentFlowPrice, SumsRunOnAcrossKernelPasses) {
  const std::size_t n_paths = 2 * detail::kPassPaths + 29;
  const Batch b = random_batch(n_paths, 7, 5, 0.0, 0.0);
  const auto pay = [](double x) { return plain_payoff("put", 1.0, x); };
  const Estimate ref = reference_estimate(b, 1.1, pay);
  for (const Layout layout : {Layout::c_order, Layout::fortran}) {
    const LaidOut lo(b, layout);
    const Strided states(b.states.v, n_paths, 8, layout);
    Outcome<Estimate> e = price_and_delta_tangent_flow(states.view(), lo.dws.view(),
                                                       lo.sigma.view(), lo.dmu.view(),
                                                       lo.dsig.view(), 1.1, "put", 1.0);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(bits_of(e.value().price), bits_of(ref.price)) << layout_name(layout);
    EXPECT_EQ(bits_of(e.value().delta), bits_of(ref.delta)) << layout_name(layout);
    EXPECT_EQ(bits_of(e.value().price_stderr), bits_of(ref.price_stderr)) << layout_name(layout);
    EXPECT_EQ(bits_of(e.value().delta_stderr), bits_of(ref.delta_stderr)) << layout_name(layout);
  }
}

TEST(TangentFlowPrice, DeltaIsTheMeanOfWeightsTimesPayoffs) {
  // Against the weights of the serial estimator, combined as a caller would.
  const Batch b = random_batch(333, 9, 21, 0.0, 0.0);
  Outcome<DoubleBuffer> w = bel_weights_tangent_flow(b.states.view(), b.dws.view(),
                                                     b.sigma.view(), b.dmu.view(), b.dsig.view(), 0.8);
  ASSERT_TRUE(w.ok());
  PlainSums ps, ds;
  const auto pay = [](double x) { return plain_payoff("put", 1.0, x); };
  for (std::size_t i = 0; i < 333; ++i) {
    const double p = pay(b.states.view()(i, 9));
    ps.add(p);
    ds.add(w.value()[i] * p);
  }
  const MeanStderr mp = mean_and_stderr(ps.s1, ps.s2, 333), md = mean_and_stderr(ds.s1, ds.s2, 333);
  const Estimate ref{mp.mean, md.mean, mp.stderr_, md.stderr_};
  Outcome<Estimate> e = price_and_delta_tangent_flow(
      b.states.view(), b.dws.view(), b.sigma.view(), b.dmu.view(), b.dsig.view(), 0.8, "put", 1.0);
  expect_estimate(e, ref.price, ref.delta, ref.price_stderr, ref.delta_stderr);
}

TEST(TangentFlowPrice, LargerFieldsUseTheirLeadingBlock) {
  const Batch b = random_batch(21, 5, 31, 0.0, 0.0);
  Outcome<Estimate> ref = price_and_delta_tangent_flow(
      b.states.view(), b.dws.view(), b.sigma.view(), b.dmu.view(), b.dsig.view(), 1.1, "call", 1.0);
  // Copies with extra rows and columns full of zeros and NaNs (a zero sigma there
  // would fail if it were read).
  const auto widen = [](const Dense& d, std::size_t er, std::size_t ec, double fill) {
    Dense w(d.rows + er, d.cols + ec, fill);
    for (std::size_t i = 0; i < d.rows; ++i)
      for (std::size_t j = 0; j < d.cols; ++j) w(i, j) = d.v[i * d.cols + j];
    return w;
  };
  const Dense dws = widen(b.dws, 3, 2, kNaN), sigma = widen(b.sigma, 1, 4, 0.0),
              dmu = widen(b.dmu, 0, 1, kNaN), dsig = widen(b.dsig, 2, 0, kNaN);
  Outcome<Estimate> e = price_and_delta_tangent_flow(
      b.states.view(), dws.view(), sigma.view(), dmu.view(), dsig.view(), 1.1, "call", 1.0);
  ASSERT_TRUE(ref.ok());
  expect_estimate(e, ref.value().price, ref.value().delta, ref.value().price_stderr,
                  ref.value().delta_stderr);
}

TEST(TangentFlowPrice, OnlyTheLastStatesColumnIsRead) {
  Batch b = random_batch(50, 4, 41, 0.0, 0.0);
  Outcome<Estimate> ref = price_and_delta_tangent_flow(
      b.states.view(), b.dws.view(), b.sigma.view(), b.dmu.view(), b.dsig.view(), 1.0,
      "digital_call", 1.0);
  for (std::size_t i = 0; i < 50; ++i)
    for (std::size_t j = 0; j < 4; ++j) b.states(i, j) = kNaN;
  Outcome<Estimate> e = price_and_delta_tangent_flow(
      b.states.view(), b.dws.view(), b.sigma.view(), b.dmu.view(), b.dsig.view(), 1.0,
      "digital_call", 1.0);
  ASSERT_TRUE(ref.ok());
  expect_estimate(e, ref.value().price, ref.value().delta, ref.value().price_stderr,
                  ref.value().delta_stderr);
}

TEST(TangentFlowPrice, RefusesAHorizonThatIsNotPositiveBeforeAnyOtherCheck) {
  // A horizon of 0 gave an infinite or NaN delta with a zero standard error, a
  // negative one a sign-flipped delta, both as success. Checked first: before the
  // column count, the size of dws and the payoff name.
  const Batch b = random_batch(3, 4, 52, 0.0, 0.0);
  const Dense one_column(3, 1);
  const Dense too_small(1, 1);
  for (double horizon : {0.0, -0.0, -1.0, -std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::quiet_NaN()}) {
    Outcome<Estimate> normal = price(two_paths(), horizon, "call", 1.0);
    ASSERT_FALSE(normal.ok()) << horizon;
    EXPECT_EQ(normal.failure().message, "horizon must be positive");
    Outcome<Estimate> early = price_and_delta_tangent_flow(
        one_column.view(), too_small.view(), b.sigma.view(), b.dmu.view(), b.dsig.view(), horizon,
        "Call", 0.0);
    ASSERT_FALSE(early.ok()) << horizon;
    EXPECT_EQ(early.failure().message, "horizon must be positive");
  }
  // +inf passes, as for the weights.
  EXPECT_TRUE(price(two_paths(), std::numeric_limits<double>::infinity(), "call", 1.0).ok());
}

}  // namespace
}  // namespace quorvane
