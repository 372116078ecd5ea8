// Native tests of the streaming kernel bodies (core/kernels/streams.hpp): the
// sample sums, the constant-flow weights and the fused price/delta sums. Every
// target build is compared bit for bit against the ScalarLanes instance of the
// same body, and that instance against a plain loop over the formulas. A sum
// in which two NaNs meet may keep either payload (the compiler picks the
// operand order of a commutative addition), so sums compare NaN in kind; the
// weights, one multiplication each, compare with memcmp. The constant-flow
// average weights of every target, in every layout of the monitored values,
// are compared with the one-path formula. (The tangent-flow kernels have their
// own tests in test_tangent_flow.cpp.)

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/payoffs/payoffs.hpp"
#include "core/estimates/samples.hpp"
#include "core/statistics/statistics.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/streams.hpp"
#include "core/payoffs/functionals.hpp"
#include "core/weights/average.hpp"
#include "support.hpp"

namespace quorvane {
namespace {

using test_support::supported_targets;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double from_bits(std::uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
// The same bits, or both NaN.
bool same_value(double a, double b) { return same_bits(a, b) || (a != a && b != b); }

// n values around `centre` with specials: NaNs of several payloads and signs,
// infinities, signed zeros, subnormals, values equal to the strike.
std::vector<double> values(std::size_t n, std::uint32_t seed, double centre) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(centre, 10.0);
  const double specials[] = {kNaN, -kNaN, from_bits(0x7ff8000000000123ULL),
                             from_bits(0xfff4000000000777ULL), kInf, -kInf, 0.0, -0.0,
                             4.9e-324, centre, 1e200};
  std::vector<double> v(n);
  for (double& x : v) x = rng() % 6 == 0 ? specials[rng() % std::size(specials)] : normal(rng);
  return v;
}

// The values laid out with a byte stride (8 contiguous, 16 every second, 12
// packed records at an odd address, -8 reversed), as NumPy could hand them over.
class Laid {
 public:
  Laid(const std::vector<double>& v, std::ptrdiff_t stride) : bytes_(v.size() * 16 + 16) {
    const std::size_t n = v.size();
    std::byte* origin = bytes_.data() + (stride == 12 ? 3 : 0);
    if (stride < 0 && n > 0) origin += static_cast<std::ptrdiff_t>(n - 1) * -stride;
    for (std::size_t k = 0; k < n; ++k)
      std::memcpy(origin + static_cast<std::ptrdiff_t>(k) * stride, &v[k], sizeof(double));
    view_ = VectorView{origin, n, stride};
  }
  const VectorView& view() const { return view_; }

 private:
  std::vector<std::byte> bytes_;
  VectorView view_;
};

constexpr std::ptrdiff_t kStrides[] = {8, 16, 12, -8};
constexpr std::size_t kLengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 1000};

class StreamKernels : public ::testing::TestWithParam<std::ptrdiff_t> {};

TEST_P(StreamKernels, SampleSumsMatchTheScalarInstanceAndThePlainLoop) {
  for (std::size_t n : kLengths) {
    const std::vector<double> v = values(n, static_cast<std::uint32_t>(n), 0.5);
    const Laid laid(v, GetParam());
    // The plain loop: one accumulator each, in index order.
    double s1 = 0.0, s2 = 0.0;
    for (double x : v) {
      s1 = s1 + x;
      s2 = s2 + x * x;
    }
    detail::SampleSums<false> scalar{detail::Stream<false>::of(laid.view())};
    detail::walk_lanes<detail::ScalarLanes>(scalar, 0, n);
    const LaneSums<1> built = sum_samples(laid.view());
    const LaneSums<1> one_lane = scalar.sums.sums(n);
    const std::string where = "n " + std::to_string(n);
    EXPECT_EQ(built.n, n) << where;
    EXPECT_TRUE(same_value(one_lane.s1[0], built.s1[0])) << where;
    EXPECT_TRUE(same_value(one_lane.s2[0], built.s2[0])) << where;
    EXPECT_TRUE(same_value(s1, built.s1[0])) << where;
    EXPECT_TRUE(same_value(s2, built.s2[0])) << where;
  }
}

TEST_P(StreamKernels, ConstantFlowWeightsOfEveryTargetMatchTheScalarInstance) {
  const double r = 1.0 / (0.7 * 3.0);
  for (KernelTarget target : supported_targets()) {
    const detail::ScaleKernel scale = detail::kernels_for(target).scale;
    for (std::size_t n : kLengths) {
      const std::vector<double> v = values(n, static_cast<std::uint32_t>(7 * n), 0.0);
      const Laid laid(v, GetParam());
      std::vector<double> expected(n + 1, 12345.0), out(n + 1, 12345.0);
      detail::ScaleByReciprocal<false> scalar{detail::Stream<false>::of(laid.view()), r,
                                              expected.data()};
      detail::walk_lanes<detail::ScalarLanes>(scalar, 0, n);
      scale(laid.view(), r, out.data());
      const std::string where = std::string(kernel_target_name(target)) + " n " + std::to_string(n);
      EXPECT_EQ(0, std::memcmp(out.data(), expected.data(), (n + 1) * sizeof(double))) << where;
      for (std::size_t k = 0; k < n; ++k)
        ASSERT_TRUE(same_value(expected[k], v[k] * r)) << where << " k " << k;
    }
  }
}

// The fused sums of both price estimators, for every payoff kind, against the
// scalar instance and against the payoffs and sums spelled plainly.
template <class Row, bool Scaled, bool Contiguous>
void expect_price_sums_match(std::ptrdiff_t stride) {
  const double strike = 1.0, r = 1.0 / (0.5 * 0.2);
  const auto payoff = [&](double x) { return test_support::plain_payoff(Row::kName, strike, x); };
  for (std::size_t n : kLengths) {
    const std::vector<double> x = values(n, static_cast<std::uint32_t>(3 * n + 1), strike);
    const std::vector<double> w = values(n, static_cast<std::uint32_t>(5 * n + 2), 0.0);
    const Laid lx(x, stride), lw(w, stride);
    using S = detail::Stream<false>;
    using F = detail::Stream<Contiguous>;
    detail::PriceSums<Row, Scaled, S, S> scalar{S::of(lx.view()), {S::of(lw.view())}, strike, r};
    detail::walk_lanes<detail::ScalarLanes>(scalar, 0, n);
    detail::PriceSums<Row, Scaled, F, F> sse2{F::of(lx.view()), {F::of(lw.view())}, strike, r};
    detail::walk<detail::Sse2Lanes>(sse2, 0, n);
    test_support::PlainSums p, d;
    for (std::size_t k = 0; k < n; ++k) {
      const double pk = payoff(x[k]);
      const double dk = Scaled ? (w[k] * pk) * r : w[k] * pk;
      p.add(pk);
      d.add(dk);
    }
    const std::string where = std::string(Row::kName) + " n " +
                              std::to_string(n) + " stride " + std::to_string(stride);
    const LaneSums<2> a = scalar.sums.sums(n), b = sse2.sums.sums(n);
    const double plain[] = {p.s1, d.s1, p.s2, d.s2};
    const double ours[] = {a.s1[0], a.s1[1], a.s2[0], a.s2[1]};
    const double vector[] = {b.s1[0], b.s1[1], b.s2[0], b.s2[1]};
    for (int s = 0; s < 4; ++s) {
      EXPECT_TRUE(same_value(plain[s], ours[s])) << where << " sum " << s;
      EXPECT_TRUE(same_value(ours[s], vector[s])) << where << " sum " << s;
    }
  }
}

template <bool Contiguous>
void expect_all_price_sums_match(std::ptrdiff_t stride) {
  // Every row of the payoff table.
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (expect_price_sums_match<detail::PayoffRow<I>, true, Contiguous>(stride), ...);
    (expect_price_sums_match<detail::PayoffRow<I>, false, Contiguous>(stride), ...);
  }(std::make_index_sequence<detail::kPayoffRows>{});
  EXPECT_EQ(detail::kPayoffRows, std::size(test_support::kPayoffNames));
}

TEST_P(StreamKernels, PriceSumsMatchTheScalarInstanceAndTheGenericPayoff) {
  if (GetParam() == 8) {
    expect_all_price_sums_match<true>(GetParam());
  } else {
    expect_all_price_sums_match<false>(GetParam());
  }
}

INSTANTIATE_TEST_SUITE_P(Strides, StreamKernels, ::testing::ValuesIn(kStrides),
                         [](const ::testing::TestParamInfo<std::ptrdiff_t>& info) {
                           return "stride_" + std::string(info.param < 0 ? "minus_" : "") +
                                  std::to_string(info.param < 0 ? -info.param : info.param);
                         });

// Monitored values of n_paths x n_dates in C order (dates contiguous), Fortran
// order (paths contiguous) or with both strides odd multiples of 8 and 12 bytes
// (packed records, unaligned).
enum class Order { c, fortran, strided };

struct LaidMatrix {
  std::vector<std::byte> bytes;
  MatrixView view;
  LaidMatrix(const std::vector<double>& v, std::size_t rows, std::size_t cols, Order order)
      : bytes(v.size() * 24 + 64) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(cols), m = static_cast<std::ptrdiff_t>(rows);
    std::ptrdiff_t rs = n * 8, cs = 8;
    if (order == Order::fortran) rs = 8, cs = m * 8;
    if (order == Order::strided) cs = 12, rs = n * 12 + 8;
    std::byte* origin = bytes.data() + (order == Order::strided ? 3 : 0);
    for (std::size_t i = 0; i < rows; ++i)
      for (std::size_t k = 0; k < cols; ++k)
        std::memcpy(origin + static_cast<std::ptrdiff_t>(i) * rs + static_cast<std::ptrdiff_t>(k) * cs,
                    &v[i * cols + k], sizeof(double));
    view = MatrixView{origin, rows, cols, rs, cs};
  }
};

// Every target's weights and averages of a range of paths against the one-path
// formula (AverageConstantFlow::weight) and the weighted-average functional:
// groups of paths of every width with remainders, odd and even date counts,
// more dates than the kernels' table of date products, special values.
TEST(AverageConstantFlowKernels, EveryTargetAndLayoutMatchesTheOnePathFormula) {
  constexpr std::size_t kPaths[] = {1, 2, 3, 7, 8, 9, 16, 17, 35};
  constexpr std::size_t kDates[] = {1, 2, 3, 52, 300};
  constexpr double kSlopes[] = {0.25, 0.0};
  for (Order order : {Order::c, Order::fortran, Order::strided}) {
    for (std::size_t n_paths : kPaths) {
      for (std::size_t n_dates : kDates) {
        const std::uint32_t seed = static_cast<std::uint32_t>(100 * n_paths + n_dates);
        std::vector<double> s = values(n_paths * n_dates, seed, 100.0);
        // Mostly ordinary paths, so that the weights are mostly finite.
        for (std::size_t k = 0; k < s.size(); ++k)
          if (k % 5 != 0 && !(s[k] > 0.0 && s[k] < 1e3)) s[k] = 100.0 + static_cast<double>(k % 7);
        const std::vector<double> w = values(n_paths, seed + 1, 0.0);
        std::vector<double> t(n_dates), a(n_dates);
        for (std::size_t k = 0; k < n_dates; ++k) {
          t[k] = static_cast<double>(k + 1) / static_cast<double>(n_dates);
          a[k] = (k % 3 == 1 ? -0.3 : 1.1) / static_cast<double>(n_dates);
        }
        const LaidMatrix states(s, n_paths, n_dates, order);
        const Laid lw(w, 8), lt(t, 16), la(a, -8);
        for (double slope : kSlopes) {
          Outcome<AverageConstantFlow> v = validate_average_constant_flow(
              states.view, lw.view(), lt.view(), la.view(), 1.0, 25.0, slope);
          ASSERT_TRUE(v.ok());
          const AverageConstantFlow& c = v.value();
          const PathFunctional average = PathFunctional::weighted_average(la.view());
          for (KernelTarget target : supported_targets()) {
            const std::size_t first = n_paths > 4 ? 1 : 0, count = n_paths - first - (n_paths > 4 ? 2 : 0);
            std::vector<double> got(count + 1, 12345.0), avg(count + 1, 12345.0);
            c.weights_of(target, first, count, got.data(), avg.data());
            const std::string where = std::string(kernel_target_name(target)) + " order " +
                                      std::to_string(static_cast<int>(order)) + " paths " +
                                      std::to_string(n_paths) + " dates " + std::to_string(n_dates) +
                                      " slope " + std::to_string(slope);
            EXPECT_EQ(got[count], 12345.0) << where;
            EXPECT_EQ(avg[count], 12345.0) << where;
            for (std::size_t i = 0; i < count; ++i) {
              ASSERT_TRUE(same_value(c.weight(first + i), got[i])) << where << " path " << first + i;
              ASSERT_TRUE(same_value(average(states.view, first + i), avg[i])) << where << " path " << first + i;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvane
