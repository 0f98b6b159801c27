// Saturating arithmetic on unsigned 64-bit counters: counters and unit conversions stop at 2^64-1
// and never wrap. Pure, constexpr, usable anywhere.
#pragma once

#include <cstdint>
#include <limits>

namespace treemon {

inline constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();

constexpr uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > U64_MAX - b ? U64_MAX : a + b;
}

constexpr uint64_t saturating_multiply(uint64_t a, uint64_t b) {
  return a != 0 && b > U64_MAX / a ? U64_MAX : a * b;
}

}  // namespace treemon
