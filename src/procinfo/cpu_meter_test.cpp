#include "procinfo/cpu_meter.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <limits>

namespace treemon {
namespace {

using std::chrono::milliseconds;
constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();
const MonoTime T0 = MonoTime{} + std::chrono::hours(1);

// One reading after a meter whose last reading was at T0. Counters are process kernel, process
// user, machine kernel, machine user; a percentage of -1 means none; the float is exact.
TEST(CpuMeterTest, ReadingsFollowTheRules) {
  struct Case {
    const char* what;
    std::optional<CpuCounters> before;
    milliseconds after;
    std::optional<ProcessTimes> process;
    std::optional<MachineSpan> machine;
    uint32_t processors;
    float percent;
    std::optional<CpuCounters> baselines;
  };
  const std::optional<ProcessTimes> no_process;
  const std::optional<MachineTimes> no_machine;
  using C = CpuCounters;
  const CpuCounters base{100, 100, 1000, 1000};
  const CpuCounters zeros{};
  const Case cases[] = {
      {"first reading sets the baselines", std::nullopt, milliseconds(0), ProcessTimes{1, 5, 6},
       MachineTimes{7, 8}, 2, -1, C{5, 6, 7, 8}},
      {"first reading without the process's times", std::nullopt, milliseconds(500), no_process,
       MachineTimes{7, 8}, 2, -1, std::nullopt},
      {"first reading without the machine's times", std::nullopt, milliseconds(500),
       ProcessTimes{1, 5, 6}, no_machine, 2, -1, std::nullopt},
      {"199 ms is no interval", base, milliseconds(199), ProcessTimes{1, 200, 200},
       MachineTimes{2000, 2000}, 2, -1, base},
      {"200 ms is an interval", base, milliseconds(200), ProcessTimes{1, 200, 200},
       MachineTimes{2000, 2000}, 2, 20.0f, C{200, 200, 2000, 2000}},
      {"a clock that went backwards", base, milliseconds(-1), ProcessTimes{1, 200, 200},
       MachineTimes{2000, 2000}, 2, -1, base},
      {"a machine that did not move", base, milliseconds(200), ProcessTimes{1, 150, 150},
       MachineTimes{1000, 1000}, 2, 0.0f, C{150, 150, 1000, 1000}},
      // Deltas 50 + 50 over 500 + 1500: a counter below its baseline measures from zero.
      {"counters below their baselines", base, milliseconds(200), ProcessTimes{1, 50, 150},
       MachineTimes{500, 2500}, 2, 10.0f, C{50, 150, 500, 2500}},
      {"failed reads count as zeros and keep the baselines", base, milliseconds(200), no_process,
       no_machine, 2, 0.0f, base},
      {"a failed process read keeps the machine's baselines too", base, milliseconds(200),
       no_process, MachineTimes{2000, 2000}, 2, 0.0f, base},
      {"sums saturate", zeros, milliseconds(200), ProcessTimes{1, U64_MAX, 5},
       MachineTimes{U64_MAX, 7}, 2, 200.0f, C{U64_MAX, 5, U64_MAX, 7}},
      // processors * (process / machine * 100); other orders give other floats.
      {"100.00001, not 100", zeros, milliseconds(200), ProcessTimes{1, 0, 1}, MachineTimes{0, 3}, 3,
       std::bit_cast<float>(0x42c80001u), C{0, 1, 0, 3}},
      {"466.6667, not 466.66666", zeros, milliseconds(200), ProcessTimes{1, 0, 2},
       MachineTimes{0, 3}, 7, std::bit_cast<float>(0x43e95556u), C{0, 2, 0, 3}},
      {"14.285715, not 14.285714", zeros, milliseconds(200), ProcessTimes{1, 0, 1},
       MachineTimes{0, 7}, 1, std::bit_cast<float>(0x4164924au), C{0, 1, 0, 7}},
      // A thread busy all along, its time read within a machine span of 2990 to 3010 on two
      // processors: measured to the span's end, from the previous span's start on, 99.50249.
      {"the machine's span holds the process's interval", C{0, 0, 0, 1000}, milliseconds(200),
       ProcessTimes{1, 0, 1000}, MachineSpan(MachineTimes{0, 2990}, MachineTimes{0, 3010}), 2,
       std::bit_cast<float>(0x42c70146u), C{0, 1000, 0, 2990}},
  };
  for (const Case& c : cases) {
    const CpuMeter meter{c.before, T0};
    const MonoTime at = T0 + c.after;
    const CpuStep step = step_cpu_meter(meter, CpuReading{at, c.process, c.machine, c.processors});
    EXPECT_EQ(step.meter.read_at, at) << c.what;
    EXPECT_EQ(step.meter.baselines, c.baselines) << c.what;
    if (c.percent < 0) {
      EXPECT_FALSE(step.percent) << c.what;
    } else {
      ASSERT_TRUE(step.percent) << c.what;
      EXPECT_EQ(std::bit_cast<uint32_t>(*step.percent), std::bit_cast<uint32_t>(c.percent))
          << c.what;
    }
  }
}

// An interval of 1 s on two processors (machine delta 20,000,000) measured for processes of
// some threads: a reading past its threads' processors by at most 20 ms reads as exactly those;
// a percentage of -1 means the measured one stands.
TEST(CpuMeterTest, ReadingsBoundedByTheThreads) {
  struct Case {
    const char* what;
    uint64_t process;
    uint32_t threads;
    float percent;
  };
  const Case cases[] = {
      {"one thread 4 ms ahead", 10'040'000, 1, 100.0f},
      {"one thread 20 ms ahead", 10'200'000, 1, 100.0f},
      {"one thread 21 ms ahead: threads have ended", 10'210'000, 1, -1},
      {"two threads 4 ms ahead", 20'040'000, 2, 200.0f},
      {"more threads than processors", 20'040'000, 8, 200.0f},
      {"within its threads", 15'000'000, 2, 150.0f},
      {"no threads known", 10'040'000, 0, -1},
  };
  for (const Case& c : cases) {
    const CpuStep step =
        step_cpu_meter(CpuMeter{CpuCounters{}, T0},
                       CpuReading{T0 + milliseconds(1000), ProcessTimes{1, 0, c.process},
                                  MachineTimes{0, 20'000'000}, 2});
    EXPECT_EQ(bounded_by_threads(step, c.threads, 2), c.percent < 0 ? *step.percent : c.percent)
        << c.what;
  }
}

// A clock's nanoseconds as machine times: whole 100 ns units, every processor busy, saturated.
TEST(CpuMeterTest, MachineTimesOfAClock) {
  EXPECT_EQ(machine_times_of_clock(1'000'000'099, 2).user_100ns, 20'000'000u);
  EXPECT_EQ(machine_times_of_clock(1'000'000'099, 2).kernel_100ns, 0u);
  EXPECT_EQ(machine_times_of_clock(U64_MAX, 4096).user_100ns, U64_MAX);
}

}  // namespace
}  // namespace treemon
