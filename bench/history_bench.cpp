// What the snapshot history really costs in memory, against its own estimate, and what an
// append costs when the history is full.
//
// Memory: the history is filled to one of its bounds by the real sampler over a scripted process
// table whose names (10-20 bytes) and command lines (100-2,000 bytes, or larger for the byte
// bound) repeat from one pass to the next, as on a real machine. The counters report the
// history's estimate (total_bytes), the growth of the heap and of resident memory from before
// the first pass (so they also include the process table and the sampler's text cache: an upper
// bound on what the history itself holds), and heap growth per estimated byte.
// "unshared" gives every snapshot its own copy of every text: what the memory would be if
// the sampler did not reuse unchanged texts.
//
// Speed: appending to a history that is full (3,600 snapshots, each append removes one) against
// appending to a nearly empty one; the ratio shows that an append does not scan the history.
#include <benchmark/benchmark.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sampling/history.h"
#include "sampling/sampler.h"
#include "support/sample_once.h"
#include "support/scripted_platform.h"

namespace treemon {
namespace {

// Heap bytes in use; 0 where the C library cannot say.
uint64_t heap_in_use() {
#if defined(__GLIBC__)
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return 0;
#endif
}

void release_free_heap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// Resident bytes of this process from /proc; 0 where there is no /proc.
uint64_t resident_bytes() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  unsigned long size = 0, resident = 0;
  const int read = std::fscanf(statm, "%lu %lu", &size, &resident);
  std::fclose(statm);
  return read == 2 ? static_cast<uint64_t>(resident) * 4096 : 0;
}

struct Fill {
  size_t rows;         // processes in the monitored tree
  size_t command_min;  // command line length range, bytes
  size_t command_max;
  int64_t spacing_ms;  // wall time between snapshots
  size_t samples;      // passes, enough to reach the bound
};

std::string random_text(std::mt19937& random, size_t min, size_t max) {
  static constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyz-_./ 0123456789";
  std::string text(min + random() % (max - min + 1), ' ');
  for (char& c : text) c = LETTERS[random() % (sizeof LETTERS - 1)];
  return text;
}

// A root with rows - 1 children, each with a name and a command line of its own.
void script_tree(ScriptedPlatform& platform, const Fill& fill) {
  std::mt19937 random(42);
  for (size_t i = 0; i < fill.rows; ++i) {
    ScriptedProcess process;
    process.pid = static_cast<uint32_t>(1000 + i);
    process.parent_pid = i == 0 ? 1 : 1000;
    process.name = random_text(random, 10, 20);
    process.times = ProcessTimes{1700000000, 0, 0};
    process.command_line = {true, {random_text(random, fill.command_min, fill.command_max)}};
    process.state = ProcessState{ProcessStateKind::Sleep};
    platform.add(std::move(process));
  }
}

Snapshot with_own_texts(const Snapshot& snapshot) {
  Snapshot copy = snapshot;
  for (ProcessSample& row : copy.processes) {
    row.name = std::string(row.name.view());
    row.command = std::string(row.command.view());
    row.status = std::string(row.status.view());
  }
  return copy;
}

void fill_history(benchmark::State& state, const Fill& fill, bool shared) {
  for (auto _ : state) {
    ScriptedPlatform platform;
    script_tree(platform, fill);
    platform.wall_unix_ns = 1700000000000000000;
    SamplerState sampler(platform);
    release_free_heap();
    const uint64_t heap_before = heap_in_use();
    const uint64_t resident_before = resident_bytes();
    {
      SnapshotHistory history;
      for (size_t i = 0; i < fill.samples; ++i) {
        const Snapshot snapshot = sample(sampler, 1000, {}, std::nullopt);
        history.append(shared ? snapshot : with_own_texts(snapshot));
        platform.wall_unix_ns += fill.spacing_ms * 1000000;
      }
      const double heap = static_cast<double>(heap_in_use() - heap_before);
      const double resident = static_cast<double>(resident_bytes() - resident_before);
      state.counters["snapshots"] = static_cast<double>(history.size());
      state.counters["entries"] = static_cast<double>(history.total_entries());
      state.counters["total_bytes"] = static_cast<double>(history.total_bytes());
      state.counters["heap_bytes"] = heap;
      state.counters["resident_growth"] = resident;
      state.counters["heap_per_estimate"] = heap / static_cast<double>(history.total_bytes());
    }
  }
}

// Entry bound: 100 and 1,000 rows per snapshot. Count bound: 5 rows, 250 ms apart. Age bound:
// 5 rows, 2 s apart. Byte bound: 100 rows with command lines of 8-16 KiB.
const Fill ENTRIES_100{100, 100, 2000, 1000, 260};
const Fill ENTRIES_1000{1000, 100, 2000, 1000, 30};
const Fill COUNT{5, 100, 2000, 250, 3700};
const Fill AGE{5, 100, 2000, 2000, 1900};
const Fill BYTES{100, 8192, 16384, 1000, 70};

void BM_Memory_Entries100(benchmark::State& s) { fill_history(s, ENTRIES_100, true); }
void BM_Memory_Entries1000(benchmark::State& s) { fill_history(s, ENTRIES_1000, true); }
void BM_Memory_Count(benchmark::State& s) { fill_history(s, COUNT, true); }
void BM_Memory_Age(benchmark::State& s) { fill_history(s, AGE, true); }
void BM_Memory_Bytes(benchmark::State& s) { fill_history(s, BYTES, true); }
void BM_Memory_Entries100_Unshared(benchmark::State& s) { fill_history(s, ENTRIES_100, false); }
void BM_Memory_Entries1000_Unshared(benchmark::State& s) { fill_history(s, ENTRIES_1000, false); }
void BM_Memory_Count_Unshared(benchmark::State& s) { fill_history(s, COUNT, false); }
void BM_Memory_Bytes_Unshared(benchmark::State& s) { fill_history(s, BYTES, false); }

BENCHMARK(BM_Memory_Entries100)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory_Entries1000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory_Count)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory_Age)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory_Bytes)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory_Entries100_Unshared)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory_Entries1000_Unshared)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory_Count_Unshared)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory_Bytes_Unshared)->Iterations(1)->Unit(benchmark::kMillisecond);

// A snapshot of 5 rows whose texts are shared, like consecutive samples of one tree.
Snapshot small_snapshot() {
  Snapshot s;
  for (uint32_t pid = 1; pid <= 5; ++pid) {
    ProcessSample row;
    row.pid = pid;
    row.name = "worker-process";
    row.command = std::string(500, 'c');
    row.status = "Sleep";
    s.processes.push_back(row);
  }
  return s;
}

// Appends to a history that holds range(0) snapshots in a steady state: the stamps are spaced
// so that every append pushes exactly one snapshot out (by age, or by count at 3,600). Equal
// times per append at 10 and at 3,600 kept snapshots mean the cost does not grow with the
// history.
void BM_AppendAtSteadyState(benchmark::State& state) {
  const auto kept = static_cast<uint64_t>(state.range(0));
  const uint64_t spacing_ms = HISTORY_MAX_AGE_MS / kept;
  SnapshotHistory history;
  Snapshot snapshot = small_snapshot();
  snapshot.sampledAtUnixMs = 1700000000000;
  for (uint64_t i = 0; i < 2 * kept; ++i) {
    snapshot.sampledAtUnixMs += spacing_ms;
    history.append(snapshot);
  }
  for (auto _ : state) {
    snapshot.sampledAtUnixMs += spacing_ms;
    history.append(snapshot);
  }
  state.counters["kept"] = static_cast<double>(history.size());
}
BENCHMARK(BM_AppendAtSteadyState)->Arg(10)->Arg(100)->Arg(3600);

}  // namespace
}  // namespace treemon
