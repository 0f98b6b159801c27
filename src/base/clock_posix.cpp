#include "base/clock.h"

#include <ctime>
#include <thread>

namespace treemon {

MonoTime SystemClock::monotonic_now() { return std::chrono::steady_clock::now(); }

int64_t SystemClock::wall_now_unix_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SystemClock::sleep_for(std::chrono::nanoseconds duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

}  // namespace treemon
