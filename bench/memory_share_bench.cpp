// What a sample costs with and without each member's memory share (on Linux the Pss of
// /proc/PID/smaps_rollup), side by side in the same iterations, for trees of 10, 100 and 1,000
// members that are small (a `sleep`, about 1 MiB resident) or large (100 MiB resident each,
// written before the fork and shared, in 4 KiB pages, so that a thousand of them fit in memory:
// the kernel walks each member's page tables all the same).
//
// A sample is what the recorder does at each interval: a refresh of the whole table, then the
// figures of the tree's members; the sample with shares then reads each member's share too.
// Each case reports the medians over its iterations of the wall and CPU time (kernel time
// included) of both samples, the cost of one share read, and the ratio of the two samples.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "procinfo/platform.h"
#include "procinfo/process_table.h"

namespace {

constexpr size_t LARGE_BYTES = size_t{100} << 20;

// Children that make up one tree: killed and reaped when the benchmark ends (or die with it).
class Members {
 public:
  Members(size_t count, bool large) {
    void* buffer = nullptr;
    if (large) {
      buffer =
          ::mmap(nullptr, LARGE_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (buffer == MAP_FAILED) return;
      ::madvise(buffer, LARGE_BYTES, MADV_NOHUGEPAGE);
      std::memset(buffer, 1, LARGE_BYTES);
    }
    for (size_t i = 0; i < count; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (!large) ::execl("/bin/sleep", "sleep", "3600", static_cast<char*>(nullptr));
        for (;;) ::pause();
      }
      if (pid > 0) pids_.push_back(static_cast<uint32_t>(pid));
    }
    if (buffer != nullptr) ::munmap(buffer, LARGE_BYTES);
  }
  ~Members() {
    for (uint32_t pid : pids_) ::kill(static_cast<pid_t>(pid), SIGKILL);
    for (uint32_t pid : pids_) ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
  }
  Members(const Members&) = delete;
  Members& operator=(const Members&) = delete;

  const std::vector<uint32_t>& pids() const { return pids_; }

 private:
  std::vector<uint32_t> pids_;
};

struct Times {
  double wall_us = 0;
  double cpu_us = 0;
};

double thread_cpu_us() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

template <typename Work>
Times timed(Work work) {
  const double cpu = thread_cpu_us();
  const auto wall = std::chrono::steady_clock::now();
  work();
  return {
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - wall).count(),
      thread_cpu_us() - cpu};
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

void SampleWithAndWithoutShares(benchmark::State& state) {
  const auto count = static_cast<size_t>(state.range(0));
  const bool large = state.range(1) != 0;
  // The tree lives for the case: the samples with and without shares meet the same processes,
  // and the next case does not find this one's on the machine.
  const Members tree(count, large);
  const std::vector<uint32_t>& pids = tree.pids();
  std::unique_ptr<treemon::ProcessPlatform> platform = treemon::make_system_platform();
  treemon::ProcessTable table(*platform);
  const auto sample = [&] {
    table.refresh(treemon::RefreshOptions::everything(), true);
    table.read_figures(pids);
  };
  sample();  // the first refresh opens every process
  std::vector<double> without_wall, without_cpu, with_wall, with_cpu, share_cpu;
  uint64_t shares = 0;
  for (auto _ : state) {
    const Times without = timed(sample);
    Times reads;
    const Times with = timed([&] {
      sample();
      reads = timed([&] {
        for (uint32_t pid : pids) shares += table.read_memory_share(pid).value_or(0);
      });
    });
    without_wall.push_back(without.wall_us);
    without_cpu.push_back(without.cpu_us);
    with_wall.push_back(with.wall_us);
    with_cpu.push_back(with.cpu_us);
    share_cpu.push_back(reads.cpu_us / static_cast<double>(pids.size()));
  }
  benchmark::DoNotOptimize(shares);
  state.counters["members"] = static_cast<double>(pids.size());
  state.counters["without_wall_ms"] = median(without_wall) / 1e3;
  state.counters["without_cpu_ms"] = median(without_cpu) / 1e3;
  state.counters["with_wall_ms"] = median(with_wall) / 1e3;
  state.counters["with_cpu_ms"] = median(with_cpu) / 1e3;
  state.counters["share_read_cpu_us"] = median(share_cpu);
  state.counters["x_without"] = median(with_cpu) / median(without_cpu);
}

BENCHMARK(SampleWithAndWithoutShares)
    ->ArgsProduct({{10, 100, 1000}, {0, 1}})
    ->ArgNames({"members", "large"})
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
