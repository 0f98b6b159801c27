#include "recorder/csv.h"

#include "recorder/text.h"

namespace treemon::recorder {
namespace {

std::string field(std::string_view text) {
  std::string safe = printable(text);
  if (safe.find_first_of(",\"") == std::string::npos) return safe;
  std::string quoted = "\"";
  for (const char c : safe) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

std::string csv_rows(const Sample& sample, uint64_t started_at_unix_ms) {
  const uint64_t at = sample.snapshot.sampledAtUnixMs;
  const std::string time =
      fixed(static_cast<double>(at > started_at_unix_ms ? at - started_at_unix_ms : 0) / 1000, 3);
  std::string rows;
  for (const ProcessSample& p : sample.snapshot.processes) {
    const Rates& r = rates_of(sample.rates, p);
    rows += time + ',' + std::to_string(p.pid) + ',' + std::to_string(p.ppid) + ',' +
            field(p.name.view()) + ',' + fixed(r.cpu_percent) + ',' +
            std::to_string(p.residentBytes) + ',' + fixed(r.read_per_second, 0) + ',' +
            fixed(r.write_per_second, 0) + ',' + field(p.command.view()) + '\n';
  }
  return rows;
}

CsvWriter::CsvWriter(OutputFile file, uint64_t started_at_unix_ms)
    : file_(std::move(file)), started_at_unix_ms_(started_at_unix_ms) {
  file_.write(CSV_HEADER);
}

void CsvWriter::take(const Sample& sample) {
  if (!sample.snapshot.processes.empty()) file_.write(csv_rows(sample, started_at_unix_ms_));
}

}  // namespace treemon::recorder
