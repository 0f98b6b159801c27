// The cost of one sampling pass as the process table grows: with the maps built once per pass
// and every lookup by pid, the time per process stays nearly flat from 1,000 to 100,000
// processes (it rises about 2x as the maps outgrow the caches).
//
// The platform answers every query from memory in constant time, so what is measured is the
// table update, the walk and the row building, not the operating system. Its clock advances
// instead of sleeping, so the pacing wait costs nothing here.
#include <benchmark/benchmark.h>

#include <string>

#include "procinfo/platform.h"
#include "sampling/sampler.h"
#include "support/sample_once.h"

namespace treemon {
namespace {

// A platform that answers every query in constant time from memory, so that the pass itself
// is what grows. Processes: `count` under root 1000, a wide first level, each with a chain of
// four below it.
class MemoryPlatform final : public ProcessPlatform {
 public:
  explicit MemoryPlatform(uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      ListedProcess listed;
      listed.pid = 1000 + i;
      listed.parent_pid = i == 0 ? 1 : (i % 5 == 1 ? 1000 : 1000 + i - 1);
      listed.name = "process-" + std::to_string(i % 50);
      listed_.push_back(std::move(listed));
      arguments_.push_back({"/usr/bin/worker", "--id", std::to_string(i)});
    }
  }

  MonoTime monotonic_now() override { return monotonic_; }
  int64_t wall_now_unix_ns() override { return 1700000000000000000; }
  void sleep_for(std::chrono::nanoseconds d) override { monotonic_ += d; }
  uint32_t processor_count() override { return 2; }
  bool list_processes(std::vector<ListedProcess>& out, const OpenedProcesses& /*opened*/) override {
    out = listed_;
    return true;
  }
  std::unique_ptr<ProcessHandle> open_process(const ListedProcess& listed) override {
    return std::make_unique<Handle>(listed.pid - 1000);
  }
  std::optional<ProcessTimes> process_times(ProcessHandle&) override {
    return ProcessTimes{1700000000, 10, 10};
  }
  std::optional<MachineTimes> machine_times() override { return MachineTimes{1000, 1000}; }
  std::optional<IoTotals> io_totals(ProcessHandle&) override { return IoTotals{1, 2}; }
  std::optional<MemoryFigures> memory(ProcessHandle&) override { return MemoryFigures{3, 4}; }
  CommandLineRead command_line(ProcessHandle& handle) override {
    return {true, arguments_[static_cast<Handle&>(handle).index]};
  }

 private:
  struct Handle final : ProcessHandle {
    explicit Handle(uint32_t i) : index(i) {}
    uint32_t index;
  };
  std::vector<ListedProcess> listed_;
  std::vector<std::vector<std::string>> arguments_;
  MonoTime monotonic_{};
};

// Every process of the table is in the tree: the whole pass grows with the table.
void BM_SampleWholeTable(benchmark::State& state) {
  MemoryPlatform platform(static_cast<uint32_t>(state.range(0)));
  SamplerState sampler(platform);
  for (auto _ : state) {
    benchmark::DoNotOptimize(sample(sampler, 1000, {}, std::nullopt));
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SampleWholeTable)->Arg(1000)->Arg(10000)->Arg(100000)->Complexity(benchmark::oN);

// A five-process tree (pid 1001 and its chain) in a table of N: what a pass costs per process
// beyond reading it, for the processes that get no row. On a real machine this is the part of a
// sample that the operating system's stat reads do not explain.
void BM_SampleSmallTree(benchmark::State& state) {
  MemoryPlatform platform(static_cast<uint32_t>(state.range(0)));
  SamplerState sampler(platform);
  for (auto _ : state) {
    benchmark::DoNotOptimize(sample(sampler, 1001, {}, std::nullopt));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SampleSmallTree)->Arg(1000)->Arg(3000);

}  // namespace
}  // namespace treemon
