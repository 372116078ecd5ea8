// Output buffers: sizes that cannot be allocated are refused with how much was asked.
#include <gtest/gtest.h>

#include <cstdint>

#include "core/support/buffer.hpp"

namespace quorvane {
namespace {

std::size_t refused_count(std::size_t n) {
  try {
    DoubleBuffer b = DoubleBuffer::uninitialized(n);
  } catch (const AllocationFailure& failure) {
    return failure.count();
  }
  return 0;
}

TEST(DoubleBuffer, SizesWhoseRoundingToHugePagesWouldWrapAreRefused) {
  // SIZE_MAX / 8 doubles fit in a size_t as bytes, but rounding them up to whole
  // 2 MiB pages wrapped to a tiny block, handed out as a buffer of that size.
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  for (std::size_t n : {SIZE_MAX / 8, SIZE_MAX / 8 - 1, (SIZE_MAX - kHugePage + 2) / 8,
                        SIZE_MAX / 8 + 1, SIZE_MAX}) {
    EXPECT_EQ(refused_count(n), n) << n;
  }
}

TEST(DoubleBuffer, AFailedAllocationIsABadAllocForOtherCatchers) {
  EXPECT_THROW(DoubleBuffer::zeroed(std::size_t{1} << 60), std::bad_alloc);
  DoubleBuffer small = DoubleBuffer::zeroed(3);
  ASSERT_EQ(small.size(), 3u);
  EXPECT_EQ(small[2], 0.0);
}

}  // namespace
}  // namespace quorvane
