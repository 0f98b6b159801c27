// DescriptorLimiter: how many file descriptors the process handles may keep open at once, so that
// however many processes the machine runs, the monitor keeps descriptors for the rest of its work.
// A handle that is refused reads its files by path instead, so nothing fails for lack of them.
//
// Contract:
//  1. acquire(n) succeeds, and counts n more in use, only while in use + n stays within the limit.
//  2. release(n) gives back n that an acquire took; whoever acquired releases, exactly once.
// Main thread only, like the handles it serves; no locks.
#pragma once

#include <cassert>
#include <cstdint>

namespace treemon {

class DescriptorLimiter {
 public:
  explicit DescriptorLimiter(uint64_t limit) : limit_(limit) {}
  DescriptorLimiter(const DescriptorLimiter&) = delete;
  DescriptorLimiter& operator=(const DescriptorLimiter&) = delete;

  bool acquire(uint64_t count) {
    if (count > limit_ - in_use_) return false;
    in_use_ += count;
    return true;
  }
  void release(uint64_t count) {
    assert(count <= in_use_);
    in_use_ -= count;
  }

  uint64_t in_use() const { return in_use_; }
  uint64_t limit() const { return limit_; }

 private:
  const uint64_t limit_;
  uint64_t in_use_ = 0;  // invariant: in_use_ <= limit_
};

}  // namespace treemon
