// A full refresh of the process table side by side with the cheapest refresh that Linux allows,
// at N = 100, 1000 and 3000 processes on the machine (the benchmark forks sleeping children to
// reach N and kills them at exit).
//
//   StatFloor:   list /proc, then pread each process's kept-open /proc/PID/stat and find the
//                fields after the name: what a monitor pays that reads every process's stat.
//   PathReads:   the four files our refresh needs (stat, statm, io, cmdline), each opened, read
//                and closed by path: what a monitor without kept descriptors pays.
//   KeptFourFiles: the same four files kept open and read with pread, nothing parsed: the least
//                that these figures cost.
//   SampledTree: ProcessTable::refresh with every figure group on the system platform, then the
//                rows of a small tree looked at, as the sampler does: the I/O, memory and
//                command line are read only for the processes looked at.
//   ReadEverything: the same refresh, then every entry looked at.
//
// Each case reports the median over 40 refreshes of the CPU time (kernel time included) and the
// wall time per process; KeptFourFiles, SampledTree and ReadEverything also report x_floor, their
// CPU time per process over the floor's (SampledTree and ReadEverything time a floor pass before
// each refresh, in the same iteration). CPU time is the fair measure on a shared, loaded machine.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "procinfo/platform.h"
#include "procinfo/process_table.h"

namespace {

std::vector<uint32_t> list_pids() {
  std::vector<uint32_t> pids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return pids;
  while (const dirent* entry = ::readdir(proc)) {
    uint32_t pid = 0;
    const char* end = entry->d_name + std::strlen(entry->d_name);
    auto [parsed, error] = std::from_chars(entry->d_name, end, pid);
    if (error == std::errc() && parsed == end) pids.push_back(pid);
  }
  ::closedir(proc);
  return pids;
}

// Sleeping children that bring the machine's process count up to what a case asks; all are
// killed and reaped when the benchmark ends (or die with it: PR_SET_PDEATHSIG).
class SleepingChildren {
 public:
  ~SleepingChildren() {
    for (pid_t pid : children_) ::kill(pid, SIGKILL);
    for (pid_t pid : children_) ::waitpid(pid, nullptr, 0);
  }
  void ensure_machine_total(size_t total) {
    const size_t now = list_pids().size();
    for (size_t i = now; i < total; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) ::pause();
      }
      if (pid > 0) children_.push_back(pid);
    }
  }

 private:
  std::vector<pid_t> children_;
};

SleepingChildren& children() {
  static SleepingChildren all;
  return all;
}

// Per-iteration CPU time of this thread (kernel time included, which is most of the cost) and
// wall time; the medians are what the counters report, so that a loaded machine's outliers do not
// decide the ratio.
class IterationClock {
 public:
  void start() {
    cpu_start_ = thread_cpu_us();
    wall_start_ = std::chrono::steady_clock::now();
  }
  void stop() {
    cpu_.push_back(thread_cpu_us() - cpu_start_);
    wall_.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - wall_start_)
            .count());
  }
  double median_cpu_us() { return median(cpu_); }
  double median_wall_us() { return median(wall_); }

 private:
  static double thread_cpu_us() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
  }
  static double median(std::vector<double>& values) {
    if (values.empty()) return 0.0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
  }
  double cpu_start_ = 0.0;
  std::chrono::steady_clock::time_point wall_start_;
  std::vector<double> cpu_;
  std::vector<double> wall_;
};

// The floor's CPU time per process for each N, for the Refresh case that runs after it.
std::map<int64_t, double>& floor_cpu_us() {
  static std::map<int64_t, double> by_count;
  return by_count;
}

void report(benchmark::State& state, IterationClock& clock, size_t processes) {
  const double count = processes == 0 ? 1.0 : static_cast<double>(processes);
  state.counters["processes"] = static_cast<double>(processes);
  state.counters["cpu_us_per_process"] = clock.median_cpu_us() / count;
  state.counters["wall_us_per_process"] = clock.median_wall_us() / count;
}

ssize_t pread_retry(int fd, char* buffer, size_t size) {
  ssize_t got;
  do {
    got = ::pread(fd, buffer, size, 0);
  } while (got < 0 && errno == EINTR);
  return got;
}

// The floor's pass: list /proc, pread each listed process's kept-open stat file and find the
// fields after the name. The files are opened once, for the processes listed at construction.
class StatFloorPass {
 public:
  StatFloorPass() {
    for (uint32_t pid : list_pids()) {
      const std::string path = "/proc/" + std::to_string(pid) + "/stat";
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) stat_files_.emplace(pid, fd);
    }
  }
  ~StatFloorPass() {
    for (const auto& [pid, fd] : stat_files_) ::close(fd);
  }
  StatFloorPass(const StatFloorPass&) = delete;
  StatFloorPass& operator=(const StatFloorPass&) = delete;

  // The number of processes read.
  size_t run() {
    size_t processes = 0;
    uint64_t checksum = 0;
    for (uint32_t pid : list_pids()) {
      auto found = stat_files_.find(pid);
      if (found == stat_files_.end()) continue;
      const ssize_t got = pread_retry(found->second, buffer_, sizeof buffer_);
      if (got <= 0) continue;
      const std::string_view text(buffer_, static_cast<size_t>(got));
      checksum += text.size() - text.rfind(')');
      ++processes;
    }
    benchmark::DoNotOptimize(checksum);
    return processes;
  }

 private:
  std::unordered_map<uint32_t, int> stat_files_;
  char buffer_[4096];
};

// One floor pass per iteration, each after an untimed pause (none for passes back to back).
// Returns the processes a pass read.
size_t time_floor_passes(benchmark::State& state, std::chrono::milliseconds pause,
                         IterationClock& clock) {
  children().ensure_machine_total(static_cast<size_t>(state.range(0)));
  StatFloorPass floor;
  size_t processes = 0;
  for (auto _ : state) {
    if (pause.count() > 0) {
      state.PauseTiming();
      std::this_thread::sleep_for(pause);
      state.ResumeTiming();
    }
    clock.start();
    processes = floor.run();
    clock.stop();
  }
  report(state, clock, processes);
  return processes;
}

void StatFloor(benchmark::State& state) {
  IterationClock clock;
  const size_t processes = time_floor_passes(state, std::chrono::milliseconds(0), clock);
  floor_cpu_us()[state.range(0)] = clock.median_cpu_us() / static_cast<double>(processes);
}

// The floor at a monitor's pace: each pass after a pause of range(1) ms that is not timed. A
// monitor refreshes at most every 200 ms, and the kernel's and the processor's caches cool down
// between two refreshes; a floor measured back to back would not pay that, and a monitor would
// be compared with a machine warmer than the one it meets. Used by bench/collection_vs_floor.py.
void PacedStatFloor(benchmark::State& state) {
  IterationClock clock;
  time_floor_passes(state, std::chrono::milliseconds(state.range(1)), clock);
}

// The four files the Linux layer reads for each process.
constexpr const char* FILES[] = {"stat", "statm", "io", "cmdline"};

void PathReads(benchmark::State& state) {
  children().ensure_machine_total(static_cast<size_t>(state.range(0)));
  std::string buffer(65536, '\0');
  size_t processes = 0;
  IterationClock clock;
  for (auto _ : state) {
    clock.start();
    processes = 0;
    for (uint32_t pid : list_pids()) {
      const std::string prefix = "/proc/" + std::to_string(pid) + "/";
      for (const char* file : FILES) {
        const int fd = ::open((prefix + file).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        benchmark::DoNotOptimize(pread_retry(fd, buffer.data(), buffer.size()));
        ::close(fd);
      }
      ++processes;
    }
    clock.stop();
  }
  report(state, clock, processes);
}

// The least that reading our four files can cost: all of them kept open and read with pread,
// nothing parsed. The gap between this and StatFloor is the kernel's work for statm, io and
// cmdline; the gap between Refresh and this is ours.
void KeptFourFiles(benchmark::State& state) {
  children().ensure_machine_total(static_cast<size_t>(state.range(0)));
  std::unordered_map<uint32_t, std::vector<int>> kept;
  for (uint32_t pid : list_pids()) {
    std::vector<int>& fds = kept[pid];
    for (const char* file : FILES) {
      const std::string path = "/proc/" + std::to_string(pid) + "/" + file;
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) fds.push_back(fd);
    }
  }
  std::string buffer(65536, '\0');
  size_t processes = 0;
  IterationClock clock;
  for (auto _ : state) {
    clock.start();
    processes = 0;
    for (uint32_t pid : list_pids()) {
      auto found = kept.find(pid);
      if (found == kept.end()) continue;
      for (int fd : found->second) {
        benchmark::DoNotOptimize(pread_retry(fd, buffer.data(), buffer.size()));
      }
      ++processes;
    }
    clock.stop();
  }
  for (const auto& [pid, fds] : kept) {
    for (int fd : fds) ::close(fd);
  }
  report(state, clock, processes);
  state.counters["x_floor"] =
      clock.median_cpu_us() / static_cast<double>(processes) / floor_cpu_us()[state.range(0)];
}

// After the refresh, `look` is what the caller reads: the sampler looks at the rows of its tree
// (SampledTree: this process's own tree, a handful of rows), a caller that wants every figure of
// every process looks at all of them (ReadEverything).
// Each refresh is timed right after a floor pass over the same machine, and x_floor compares
// the two medians of this case's own run: on a machine whose load changes from one second to the
// next, a ratio against a floor measured in another case would measure the load.
template <typename Look>
void refresh_case(benchmark::State& state, Look look) {
  children().ensure_machine_total(static_cast<size_t>(state.range(0)));
  std::unique_ptr<treemon::ProcessPlatform> platform = treemon::make_system_platform();
  treemon::ProcessTable table(*platform);
  table.refresh(treemon::RefreshOptions::everything(), true);  // entries and handles exist
  look(table);
  StatFloorPass floor;
  size_t floor_processes = 0;
  IterationClock clock;
  IterationClock floor_clock;
  for (auto _ : state) {
    floor_clock.start();
    floor_processes = floor.run();
    floor_clock.stop();
    clock.start();
    table.refresh(treemon::RefreshOptions::everything(), true);
    look(table);
    clock.stop();
  }
  report(state, clock, table.size());
  if (floor_processes > 0 && table.size() > 0) {
    const double floor_per_process =
        floor_clock.median_cpu_us() / static_cast<double>(floor_processes);
    state.counters["x_floor"] =
        clock.median_cpu_us() / static_cast<double>(table.size()) / floor_per_process;
  }
}

// The monitor's own process and its parent, with 20 of the sleeping children: a small tree,
// whose figures are read in the table's second phase.
void look_at_small_tree(treemon::ProcessTable& table) {
  std::vector<uint32_t> tree = {static_cast<uint32_t>(::getpid()),
                                static_cast<uint32_t>(::getppid())};
  table.for_each_link([&](const treemon::ProcessTable::Link& link) {
    if (tree.size() < 22 && link.parent_pid == static_cast<uint32_t>(::getpid())) {
      tree.push_back(link.pid);
    }
  });
  table.read_figures(tree);
  for (uint32_t pid : tree) benchmark::DoNotOptimize(table.find(pid));
}

void SampledTree(benchmark::State& state) { refresh_case(state, look_at_small_tree); }

void ReadEverything(benchmark::State& state) {
  refresh_case(state, [](treemon::ProcessTable& table) {
    table.read_all_figures();
    benchmark::DoNotOptimize(table.entries());
  });
}

}  // namespace

// Side by side for each N, in this order, so that every case sees the same processes.
BENCHMARK(StatFloor)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(PathReads)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(KeptFourFiles)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(SampledTree)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(ReadEverything)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(StatFloor)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(PathReads)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(KeptFourFiles)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(SampledTree)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(ReadEverything)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(StatFloor)->Arg(3000)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(PathReads)->Arg(3000)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(KeptFourFiles)->Arg(3000)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(SampledTree)->Arg(3000)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(ReadEverything)->Arg(3000)->Unit(benchmark::kMillisecond)->Iterations(40);
// For the end-to-end comparison: a refresh every 200 ms (sampleNow answered back to back) and
// every second (a 1 s interval); about 30 s of pauses in a full run.
BENCHMARK(PacedStatFloor)
    ->Args({1000, 200})
    ->Args({3000, 200})
    ->Args({3000, 1000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
