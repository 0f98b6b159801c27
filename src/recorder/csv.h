// The samples as a table for spreadsheets and data frames: one row per process per sample, with
// the figures the live view shows.
//
// Contract:
//  1. Fields follow RFC 4180: quoted when they hold a comma or a quote, quotes doubled.
//  2. Names and commands pass through printable(): no control byte a process chose (an escape
//     sequence, a line break) reaches the file raw.
//  3. time_s counts from the start of the run, three decimals, never negative.
// csv_rows is pure; the writer belongs to the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "recorder/output_file.h"
#include "recorder/recording.h"
#include "recorder/tree_figures.h"

namespace treemon::recorder {

inline constexpr std::string_view CSV_HEADER =
    "time_s,pid,ppid,name,cpu_percent,resident_bytes,read_bytes_per_s,write_bytes_per_s,command\n";

// The rows of one sample, each ending with a line feed.
std::string csv_rows(const Sample& sample, uint64_t started_at_unix_ms);

// The CSV file: the header first, then the rows of each sample.
class CsvWriter final : public SampleWriter {
 public:
  CsvWriter(OutputFile file, uint64_t started_at_unix_ms);
  void take(const Sample& sample) override;
  std::optional<std::string> problem() const override { return file_.problem(); }

 private:
  OutputFile file_;
  uint64_t started_at_unix_ms_;
};

}  // namespace treemon::recorder
