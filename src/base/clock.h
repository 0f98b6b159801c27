// The clocks and the sleep that the process table, the sampler, the history and the main loop read.
//
// Everything that depends on time takes a Clock&, so that tests can move time by hand (set the wall
// clock back, stamp snapshots an hour apart, take two passes 150 ms apart without sleeping).
// SystemClock is the real one; tests use ScriptedPlatform (tests/support), which is a Clock.
//
// Thread safety: SystemClock may be used from any thread; a scripted clock belongs to its test.
#pragma once

#include <chrono>
#include <cstdint>

namespace treemon {

using MonoTime = std::chrono::steady_clock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;

  // A monotonic time point; only differences between two readings mean anything.
  virtual MonoTime monotonic_now() = 0;

  // Nanoseconds since 1970-01-01 00:00 UTC; negative before 1970.
  virtual int64_t wall_now_unix_ns() = 0;

  // Blocks the calling thread for `duration` (a scripted clock advances instead).
  virtual void sleep_for(std::chrono::nanoseconds duration) = 0;
};

// The machine's clocks: the monotonic clock and the sleep are portable (clock.cpp), the wall
// clock is read by one implementation file per platform.
class SystemClock final : public Clock {
 public:
  MonoTime monotonic_now() override;
  int64_t wall_now_unix_ns() override;
  void sleep_for(std::chrono::nanoseconds duration) override;
};

// Whole milliseconds since the epoch, truncated; 0 for a time before 1970.
inline uint64_t unix_ms_from_ns(int64_t unix_ns) {
  return unix_ns <= 0 ? 0 : static_cast<uint64_t>(unix_ns) / 1000000u;
}

// Whole seconds since the epoch, truncated; 0 for a time before 1970.
inline uint64_t unix_seconds_from_ns(int64_t unix_ns) {
  return unix_ns <= 0 ? 0 : static_cast<uint64_t>(unix_ns) / 1000000000u;
}

}  // namespace treemon
