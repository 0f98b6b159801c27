// What one readHistory of a whole hour costs when the history is full: 3,600 snapshots, one every
// second, each of five rows (the entry bound, 20,000, allows no more than 5.5 rows per snapshot
// at the count bound). Measured side by side: selecting the window (copies of the snapshots),
// and the whole answer (selection, chunks of 32, every chunk written as one event line into a
// sink that only counts bytes, as the EventWriter would pass them on). The counters give the
// answer's size in bytes and events.
#include <benchmark/benchmark.h>

#include <string>

#include "protocol/events.h"
#include "sampling/history.h"

namespace treemon {
namespace {

// Counts what would go to standard output; keeps nothing.
class CountingSink final : public OutputSink {
 public:
  Status append(std::string_view bytes) override {
    bytes_ += bytes.size();
    return Status();
  }
  size_t bytes() const { return bytes_; }

 private:
  size_t bytes_ = 0;
};

constexpr uint64_t FIRST_STAMP = 1700000000000;
constexpr int ROWS = 5;

// Rows as a small build tree gives them; texts are shared from one snapshot to the next, as the
// sampler shares them.
SnapshotHistory full_history() {
  const SharedText names[ROWS] = {"bash", "make", "cc1plus", "ld", "python3"};
  const SharedText commands[ROWS] = {
      "bash -c make -j8 all", "make -j8 all",
      "/usr/lib/gcc/x86_64-linux-gnu/12/cc1plus -quiet -I src src/main.cpp -O2 -o /tmp/cc.s",
      "/usr/bin/ld -o build/app build/main.o build/util.o -lstdc++",
      "python3 scripts/generate.py --out build/gen"};
  const SharedText status = "Sleep";
  SnapshotHistory history;
  for (uint64_t i = 0; i < HISTORY_MAX_SNAPSHOTS; ++i) {
    Snapshot s;
    s.sequence = i + 1;
    s.sampledAtUnixMs = FIRST_STAMP + i * 1000;
    s.collectionDurationMicros = 4000 + i % 700;
    s.scannedProcessCount = 412;
    s.retainedProcessCount = ROWS;
    for (uint32_t r = 0; r < ROWS; ++r) {
      ProcessSample p;
      p.pid = 20000 + r;
      p.ppid = r == 0 ? 1 : 20000 + r - 1;
      p.startTimeMs = 1699999000000 + r * 1000;
      p.runTimeMs = 1000000 + i * 1000;
      p.name = names[r];
      p.command = commands[r];
      p.status = status;
      p.cpuPercent = static_cast<float>((i * 7 + r * 13) % 400) / 3.0f;
      p.cpuTimeMs = 1500 + i * 97 + r;
      p.residentBytes = 10485760 + (i % 100) * 4096;
      p.virtualBytes = 8388608 + (i % 50) * 8192;
      p.ioReadBytes = 4096 * i;
      p.ioWriteBytes = 512 * i;
      s.processes.push_back(std::move(p));
    }
    history.append(s);
  }
  return history;
}

const uint64_t NOW = FIRST_STAMP + (HISTORY_MAX_SNAPSHOTS - 1) * 1000;

void BM_SelectWholeHour(benchmark::State& state) {
  const SnapshotHistory history = full_history();
  size_t selected = 0;
  for (auto _ : state) {
    const std::vector<Snapshot> snapshots = history.read_window(HISTORY_MAX_WINDOW_MS, NOW);
    selected = snapshots.size();
    benchmark::DoNotOptimize(snapshots.data());
  }
  state.counters["snapshots"] = static_cast<double>(selected);
}
BENCHMARK(BM_SelectWholeHour)->Unit(benchmark::kMillisecond);

void BM_AnswerWholeHour(benchmark::State& state) {
  const SnapshotHistory history = full_history();
  size_t bytes = 0, events = 0, selected = 0;
  for (auto _ : state) {
    CountingSink sink;
    const std::vector<Snapshot> snapshots = history.read_window(HISTORY_MAX_WINDOW_MS, NOW);
    const auto chunks = split_into_chunks(snapshots);
    for (size_t i = 0; i < chunks.size(); ++i) {
      const HistoryChunkEvent chunk{"history-1", i + 1 == chunks.size(), chunks[i]};
      if (!write_event(chunk, sink).ok()) state.SkipWithError("output failed");
      static_cast<void>(sink.append("\n"));
    }
    bytes = sink.bytes();
    events = chunks.size();
    selected = snapshots.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["snapshots"] = static_cast<double>(selected);
  state.counters["events"] = static_cast<double>(events);
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_AnswerWholeHour)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace treemon
