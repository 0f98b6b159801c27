#include "base/clock.h"

#include <thread>

namespace treemon {

MonoTime SystemClock::monotonic_now() { return std::chrono::steady_clock::now(); }

void SystemClock::sleep_for(std::chrono::nanoseconds duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

}  // namespace treemon
