#include "procinfo/cpu_meter.h"

#include <algorithm>

#include "base/saturating.h"

namespace treemon {
namespace {

uint64_t floored_delta(uint64_t now, uint64_t baseline) {
  return now < baseline ? now : now - baseline;
}

bool is_interval_reading(const CpuMeter& meter, MonoTime at) {
  return at >= meter.read_at && at - meter.read_at >= CPU_INTERVAL_MIN;
}

CpuCounters counters_of(const std::optional<ProcessTimes>& process_times,
                        const std::optional<MachineTimes>& machine_times) {
  const ProcessTimes process = process_times.value_or(ProcessTimes{});
  const MachineTimes machine = machine_times.value_or(MachineTimes{});
  return CpuCounters{process.kernel_100ns, process.user_100ns, machine.kernel_100ns,
                     machine.user_100ns};
}

// The counters an interval ends at, and the ones the next interval begins at (rule 3).
CpuCounters counters_after(const CpuReading& reading) {
  return counters_of(reading.process,
                     reading.machine ? std::optional(reading.machine->after) : std::nullopt);
}
CpuCounters counters_before(const CpuReading& reading) {
  return counters_of(reading.process,
                     reading.machine ? std::optional(reading.machine->before) : std::nullopt);
}

float cpu_percent_of(uint64_t process_delta, uint64_t machine_delta, uint32_t processor_count) {
  const float ratio = static_cast<float>(process_delta) / static_cast<float>(machine_delta);
  const float percent = ratio * 100.0f;
  return static_cast<float>(processor_count) * percent;
}

void measure_interval(const CpuCounters& now, const CpuCounters& baselines,
                      uint32_t processor_count, CpuStep& step) {
  step.machine_delta_100ns =
      saturating_add(floored_delta(now.machine_user_100ns, baselines.machine_user_100ns),
                     floored_delta(now.machine_kernel_100ns, baselines.machine_kernel_100ns));
  step.process_delta_100ns =
      saturating_add(floored_delta(now.process_kernel_100ns, baselines.process_kernel_100ns),
                     floored_delta(now.process_user_100ns, baselines.process_user_100ns));
  step.percent =
      step.machine_delta_100ns == 0
          ? 0.0f
          : cpu_percent_of(step.process_delta_100ns, step.machine_delta_100ns, processor_count);
}

}  // namespace

CpuStep step_cpu_meter(const CpuMeter& meter, const CpuReading& reading) {
  CpuStep step{CpuMeter{meter.baselines, reading.at}, std::nullopt};
  const bool read_both = reading.process && reading.machine;
  if (!meter.baselines) {
    if (read_both) step.meter.baselines = counters_before(reading);
    return step;
  }
  if (!is_interval_reading(meter, reading.at)) return step;
  measure_interval(counters_after(reading), *meter.baselines, reading.processor_count, step);
  // A failed read keeps the baselines: taking its zeros as baselines would make the next good
  // reading measure the process's whole life against one interval of the machine's time.
  if (read_both) step.meter.baselines = counters_before(reading);
  return step;
}

float bounded_by_threads(const CpuStep& step, uint32_t threads, uint32_t processor_count) {
  const float percent = step.percent.value_or(0.0f);
  if (threads == 0 || processor_count == 0) return percent;
  const uint32_t busy = std::min(threads, processor_count);
  const uint64_t most = saturating_multiply(step.machine_delta_100ns / processor_count, busy);
  constexpr uint64_t JITTER_100NS = CPU_CLOCK_JITTER.count() * 10'000;
  if (step.process_delta_100ns > saturating_add(most, JITTER_100NS)) return percent;
  return std::min(percent, static_cast<float>(busy) * 100.0f);
}

MachineTimes machine_times_of_clock(uint64_t clock_ns, uint32_t processor_count) {
  return MachineTimes{0, saturating_multiply(clock_ns / 100, uint64_t{processor_count})};
}

}  // namespace treemon
