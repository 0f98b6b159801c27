// Parsing command lines, in MB/s of line text, side by side with the reader alone (the tokens
// without the command built from them). Long lines are measured at growing sizes: the rate must
// stay flat, which is what linear time looks like.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "protocol/json_reader.h"
#include "protocol/parse_command.h"

namespace treemon {
namespace {

// Lines as a client writes them: mostly sampleNow and readHistory, now and then a configure.
std::vector<std::string> typical_lines() {
  std::string externals;
  for (int i = 0; i < 10; ++i) {
    if (i > 0) externals += ',';
    externals += R"({"pid":)";
    externals += std::to_string(4000 + i * 37);
    externals += R"(,"startTimeMs":17333)";
    externals += std::to_string(1000000 + i);
    externals += '}';
  }
  return {
      R"({"version":2,"type":"sampleNow","requestId":"req-000187"})",
      R"({"version":2,"type":"readHistory","requestId":"hist-42","windowMs":600000})",
      R"({"version":2,"type":"setStreaming","enabled":true})",
      R"({"version":2,"type":"configure","rootPid":31337,"sampleIntervalMs":1000,"externalProcesses":[)" +
          externals + "]}",
      R"({"version":2,"type":"setExternalProcesses","processes":[)" + externals + "]}",
      R"({"version":2,"type":"setSampleInterval","sampleIntervalMs":500})",
      R"({"version":2,"type":"sampleNow","requestId":"caf\u00e9 \ud83d\ude00 \"quoted\""})",
  };
}

size_t total_size(const std::vector<std::string>& lines) {
  size_t size = 0;
  for (const auto& line : lines) size += line.size();
  return size;
}

void BM_ParseTypicalLines(benchmark::State& state) {
  const auto lines = typical_lines();
  for (auto _ : state) {
    for (const auto& line : lines) benchmark::DoNotOptimize(parse_command(line));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total_size(lines)));
}
BENCHMARK(BM_ParseTypicalLines);

void read_all_tokens(std::string_view text) {
  JsonReader reader(text);
  JsonToken token;
  do {
    if (!reader.next(token).ok()) return;
    benchmark::DoNotOptimize(token);
  } while (token.kind != JsonKind::End);
}

void BM_ReadTokensTypicalLines(benchmark::State& state) {
  const auto lines = typical_lines();
  for (auto _ : state) {
    for (const auto& line : lines) read_all_tokens(line);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total_size(lines)));
}
BENCHMARK(BM_ReadTokensTypicalLines);

// A configure line whose external-process list fills about state.range(0) bytes.
std::string long_configure(size_t bytes) {
  std::string line =
      R"({"version":2,"type":"configure","rootPid":1,"sampleIntervalMs":1000,"externalProcesses":[)";
  for (int i = 0; line.size() < bytes; ++i) {
    line += i ? ",[" : "[";
    line += std::to_string(i);
    line += ",1733312345678]";
  }
  return line + "]}";
}

// A shutdown line carrying an ignored member of about state.range(0) bytes of nested values.
std::string long_ignored_member(size_t bytes) {
  std::string line = R"({"version":2,"type":"shutdown","extra":[)";
  for (int i = 0; line.size() < bytes; ++i) line += i ? R"(,{"a":[1.5,"x\n",null,[true]]})" : "0";
  return line + "]}";
}

void BM_ParseLongConfigure(benchmark::State& state) {
  const std::string line = long_configure(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(parse_command(line));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ParseLongConfigure)
    ->Arg(1 << 16)
    ->Arg(1 << 20)
    ->Arg(1 << 24)
    ->Unit(benchmark::kMillisecond);

void BM_ParseLongIgnoredMember(benchmark::State& state) {
  const std::string line = long_ignored_member(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(parse_command(line));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ParseLongIgnoredMember)
    ->Arg(1 << 16)
    ->Arg(1 << 20)
    ->Arg(1 << 24)
    ->Unit(benchmark::kMillisecond);

void BM_ParseLongString(benchmark::State& state) {
  const std::string line = R"({"version":2,"type":"sampleNow","requestId":")" +
                           std::string(static_cast<size_t>(state.range(0)), 'r') + "\"}";
  for (auto _ : state) benchmark::DoNotOptimize(parse_command(line));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ParseLongString)
    ->Arg(1 << 16)
    ->Arg(1 << 20)
    ->Arg(1 << 24)
    ->Unit(benchmark::kMillisecond);

// The deepest rejected nesting repeated: each attempt stops at the 128th level.
void BM_RejectDeepNesting(benchmark::State& state) {
  const std::string line = "{\"x\":" + std::string(static_cast<size_t>(state.range(0)), '[');
  for (auto _ : state) benchmark::DoNotOptimize(parse_command(line));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_RejectDeepNesting)->Arg(1 << 20);

}  // namespace
}  // namespace treemon
