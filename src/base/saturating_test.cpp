#include "base/saturating.h"

#include <gtest/gtest.h>

namespace treemon {
namespace {

// Sums and products stop at 2^64-1, exactly at the edge and beyond it, and never wrap.
TEST(SaturatingTest, StopsAtTheTopAndNeverWraps) {
  EXPECT_EQ(saturating_add(U64_MAX - 1, 1), U64_MAX);
  EXPECT_EQ(saturating_add(U64_MAX, 1), U64_MAX);
  EXPECT_EQ(saturating_add(1, U64_MAX), U64_MAX);
  EXPECT_EQ(saturating_add(2, 3), 5u);
  EXPECT_EQ(saturating_multiply(U64_MAX / 2, 3), U64_MAX);
  EXPECT_EQ(saturating_multiply(U64_MAX / 1000, 1000), U64_MAX / 1000 * 1000);
  EXPECT_EQ(saturating_multiply(U64_MAX / 1000 + 1, 1000), U64_MAX);
  EXPECT_EQ(saturating_multiply(0, U64_MAX), 0u);
  EXPECT_EQ(saturating_multiply(4096, 3), 12288u);
}

}  // namespace
}  // namespace treemon
