// What treemon-watch's sample of a tree costs at 10, 100 and 1,000 members, and how much of it is
// the kernel's count of the tree (each member's stat, CPU clock and io, read parents first).
// The benchmark forks N sleeping children (its own tree) and kills them at exit.
//
//   sample_us:  one sampling pass of the tree (the table's refresh of the whole machine, then the
//               tree's rows), as treemon-watch takes at every interval;
//   kernel_us:  the kernel's count of the same members, read right after the pass, also per
//               member.
// Each is the median CPU time (kernel time included) over the passes.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "procinfo/platform.h"
#include "recorder/tree_accounting_linux.h"
#include "sampling/sampler.h"

namespace {

using treemon::recorder::LinuxTreeAccounting;
using treemon::recorder::TreeMember;

double cpu_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The benchmark's own children, as many as asked, kept across cases.
class Children {
 public:
  void grow_to(size_t count) {
    while (pids_.size() < count) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::pause();
        ::_exit(0);
      }
      pids_.push_back(pid);
    }
  }
  ~Children() {
    for (const pid_t pid : pids_) ::kill(pid, SIGKILL);
  }

 private:
  std::vector<pid_t> pids_;
};

Children children;

struct Tree {
  std::unique_ptr<treemon::ProcessPlatform> platform = treemon::make_system_platform();
  treemon::SamplerState state{*platform};
  treemon::WatchedProcesses watched;
  std::vector<TreeMember> members;

  Tree() {
    treemon::refresh_for_configure(state);
    watched = treemon::watch(state, static_cast<uint32_t>(::getpid()), {});
  }
  void sample() {
    const treemon::Snapshot snapshot = treemon::sample(state, watched, std::nullopt);
    members.clear();
    for (const treemon::ProcessSample& p : snapshot.processes) {
      members.push_back({{p.pid, p.ppid}, p.startTimeMs, {}});
    }
  }
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Both costs at each pass, so that they meet the same tree and the same caches.
void TreeSample(benchmark::State& bench) {
  children.grow_to(static_cast<size_t>(bench.range(0)));
  Tree tree;
  LinuxTreeAccounting accounting(nullptr);
  std::vector<double> sample_seconds, kernel_seconds;
  for (auto _ : bench) {
    const double before = cpu_seconds();
    tree.sample();
    const double sampled = cpu_seconds();
    benchmark::DoNotOptimize(accounting.read(tree.members));
    sample_seconds.push_back(sampled - before);
    kernel_seconds.push_back(cpu_seconds() - sampled);
  }
  const auto members = static_cast<double>(tree.members.size());
  bench.counters["members"] = members;
  bench.counters["sample_us"] = median(sample_seconds) * 1e6;
  bench.counters["kernel_us"] = median(kernel_seconds) * 1e6;
  bench.counters["kernel_us_per_member"] = median(kernel_seconds) * 1e6 / members;
}

// The sampler paces its passes 200 ms apart: 20 passes take four seconds.
BENCHMARK(TreeSample)->Arg(10)->Arg(100)->Arg(1000)->Iterations(20)->UseRealTime();

}  // namespace
