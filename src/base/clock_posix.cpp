#include "base/clock.h"

#include <ctime>

namespace treemon {

int64_t SystemClock::wall_now_unix_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace treemon
