// Writing a snapshot event of 100 realistic rows, in MB/s of JSON text, side by side with copying
// the same finished text (the floor any writer pays). Each run also counts heap allocations with a
// replaced global operator new: once the output string has its capacity, writing an event must
// allocate nothing at all, so a non-zero count fails the benchmark.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "protocol/events.h"
#include "protocol/json_writer.h"
#include "support/string_output.h"

namespace {

std::atomic<size_t> allocation_count{0};

}  // namespace

// Not inlined, so that the compiler sees a replaced operator pair rather than malloc meeting
// delete.
[[gnu::noinline]] void* operator new(size_t size) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace treemon {
namespace {

// Rows as a desktop process tree gives them: short names, command lines with paths and options,
// a few with quoted arguments and backslashes, CPU figures with many digits.
Snapshot realistic_snapshot() {
  const char* names[] = {"node",       "browser", "python3", "bash",
                         "worker.exe", "rustc",   "clangd",  "java"};
  const char* commands[] = {
      "/usr/bin/node /home/dev/project/node_modules/.bin/tsc --watch --project tsconfig.json",
      ("/opt/browser/browser --type=renderer --lang=en-US --enable-crash-reporter "
       "--renderer-client-id=42 --launch-time-ticks=123456789 --field-trial-handle=0,i,1,2"),
      "python3 -m pytest -q tests/unit --maxfail=1 -k \"not slow\"",
      "bash -c make -j8 all",
      "C:\\Program Files\\Worker\\worker.exe --serve --config \"C:\\ProgramData\\Worker\\w.json\"",
      "/home/dev/.rustup/toolchains/stable/bin/rustc --crate-name app --edition=2021 src/main.rs",
      "/usr/lib/llvm-14/bin/clangd --background-index --clang-tidy",
      "java -Xmx2g -jar /opt/service/service.jar --port 8080",
  };
  Snapshot s;
  s.sequence = 123456;
  s.sampledAtUnixMs = 1700000000123;
  s.collectionDurationMicros = 5120;
  s.scannedProcessCount = 412;
  s.retainedProcessCount = 100;
  s.requestId = "sample-0042";
  s.externalProcesses = {{900, 1699999990000}, {901, 1699999991000}};
  for (uint32_t i = 0; i < 100; ++i) {
    ProcessSample p;
    p.pid = 10000 + i * 7;
    p.ppid = i == 0 ? 1 : 10000 + (i - 1) / 3 * 7;
    p.startTimeMs = 1699999000000 + i * 1000;
    p.runTimeMs = 1000000 - i * 1000;
    p.name = names[i % 8];
    p.command = commands[i % 8];
    p.status = i % 5 == 0 ? "Sleep" : "Run";
    p.cpuPercent = static_cast<float>(i) * 1.37f / 3.0f;
    p.cpuTimeMs = 1500 + i * 97;
    p.residentBytes = 10485760 + i * 409600;
    p.virtualBytes = 8388608 + i * 819200;
    p.ioReadBytes = 4096ull * i * i;
    p.ioWriteBytes = 512ull * i;
    s.processes.push_back(std::move(p));
  }
  return s;
}

void BM_WriteSnapshotEvent(benchmark::State& state) {
  const Snapshot snapshot = realistic_snapshot();
  StringOutput output;
  if (!write_event(SnapshotEvent{&snapshot}, output).ok()) state.SkipWithError("output failed");
  const size_t bytes = output.text().size();
  const size_t allocations_before = allocation_count.load();
  for (auto _ : state) {
    output.clear();
    benchmark::DoNotOptimize(write_event(SnapshotEvent{&snapshot}, output));
  }
  const size_t allocations = allocation_count.load() - allocations_before;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["bytes_per_event"] = static_cast<double>(bytes);
  state.counters["allocations"] = static_cast<double>(allocations);
  if (allocations != 0) state.SkipWithError("writing an event allocated");
}
BENCHMARK(BM_WriteSnapshotEvent);

// The floor: the same text, already written, copied into the same output.
void BM_CopySnapshotText(benchmark::State& state) {
  const Snapshot snapshot = realistic_snapshot();
  StringOutput rendered;
  if (!write_event(SnapshotEvent{&snapshot}, rendered).ok()) state.SkipWithError("output failed");
  const std::string text = rendered.text();
  StringOutput output;
  for (auto _ : state) {
    output.clear();
    benchmark::DoNotOptimize(output.append(text));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_CopySnapshotText);

}  // namespace
}  // namespace treemon
