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
  const TreeFigures& tree = sample.tree;
  const std::string tree_fields = ',' + fixed(tree.cpu_percent) + ',' +
                                  fixed(tree.read_per_second, 0) + ',' +
                                  fixed(tree.write_per_second, 0) + ',' +
                                  std::string(totals_source_name(tree.totals.source)) + '\n';
  if (sample.snapshot.processes.empty()) return time + ",,,,,,,," + tree_fields;
  std::string rows;
  for (const ProcessSample& p : sample.snapshot.processes) {
    const Rates& r = rates_of(sample.rates, p);
    rows += time + ',' + std::to_string(p.pid) + ',' + std::to_string(p.ppid) + ',' +
            field(p.name.view()) + ',' + fixed(r.cpu_percent) + ',' +
            std::to_string(p.residentBytes) + ',' + fixed(r.read_per_second, 0) + ',' +
            fixed(r.write_per_second, 0) + ',' + field(p.command.view()) + tree_fields;
  }
  return rows;
}

std::string csv_header(std::string_view memory_column) {
  std::string header(CSV_HEADER);
  const std::string_view resident = "resident_bytes";
  header.replace(header.find(resident), resident.size(), memory_column);
  return header;
}

CsvWriter::CsvWriter(OutputFile file, uint64_t started_at_unix_ms, std::string_view memory_column)
    : file_(std::move(file)), started_at_unix_ms_(started_at_unix_ms) {
  file_.write(csv_header(memory_column));
}

void CsvWriter::take(const Sample& sample) { file_.write(csv_rows(sample, started_at_unix_ms_)); }

}  // namespace treemon::recorder
