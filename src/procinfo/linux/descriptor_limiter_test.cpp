#include "procinfo/linux/descriptor_limiter.h"

#include <gtest/gtest.h>

namespace treemon {
namespace {

// Grants up to the limit exactly, refuses what would pass it without counting it, and a release
// makes room for exactly what it gave back.
TEST(DescriptorLimiterTest, GrantsUpToTheLimitAndNoFurther) {
  DescriptorLimiter limiter(10);
  EXPECT_TRUE(limiter.acquire(4));
  EXPECT_TRUE(limiter.acquire(4));
  EXPECT_FALSE(limiter.acquire(4));
  EXPECT_EQ(limiter.in_use(), 8u);
  EXPECT_TRUE(limiter.acquire(2));
  EXPECT_FALSE(limiter.acquire(1));
  limiter.release(4);
  EXPECT_FALSE(limiter.acquire(5));
  EXPECT_TRUE(limiter.acquire(4));
  EXPECT_EQ(limiter.in_use(), 10u);
}

TEST(DescriptorLimiterTest, AZeroLimitRefusesEverything) {
  DescriptorLimiter limiter(0);
  EXPECT_FALSE(limiter.acquire(1));
  EXPECT_TRUE(limiter.acquire(0));
  EXPECT_EQ(limiter.in_use(), 0u);
}

}  // namespace
}  // namespace treemon
