// The end-of-run summary: how long the run took, how it ended and what the tree used, gathered
// from every sample; printed as text on standard error and written as the record's last line.
// Other tools print the same text, so its form is fixed (tests/tools/summaries.json).
//
// Contract:
//  1. CPU time, read and written are the tree's cumulative figures at the last sample, less those
//     at the first when a running process is watched (what it used before is not the run's);
//     they say which count they come from (tree_totals.h): the kernel's are exact, the samples'
//     a lower bound.
//  2. The CPU average is that CPU time over the wall time; the CPU peak is the largest of the
//     tree's CPU rates, each between two samples.
//  3. Where the OS counts the tree's processes, the summary says how many were never seen.
//  4. Every text a process chose reaches the summary's text through printable().
// Main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "recorder/rates.h"
#include "recorder/tree_figures.h"
#include "recorder/tree_totals.h"

namespace treemon::recorder {

struct LeftProcess {
  uint32_t pid = 0;
  std::string name;
  std::string command;

  friend bool operator==(const LeftProcess&, const LeftProcess&) = default;
};

struct Ending {
  // The command's exit status (128 + N for signal N); none when a running process was watched.
  std::optional<uint32_t> exit_status;
  std::optional<std::string> signal;  // "SIGTERM" when one ended the command
  double wall_time_ms = 0;
  std::vector<LeftProcess> left_running;
  bool killed = false;
};

struct PeakProcess {
  uint32_t pid = 0;
  std::string name;
  uint64_t resident_bytes = 0;
};

struct Summary {
  std::vector<std::string> command;
  uint32_t pid = 0;
  uint64_t started_at_unix_ms = 0;
  uint64_t wall_time_ms = 0;
  std::optional<uint32_t> exit_status;
  std::optional<std::string> signal;
  uint64_t processes_seen = 0;
  std::optional<uint64_t> processes_total;  // where the OS counts them
  uint64_t cpu_time_ms = 0;
  double cpu_average_percent = 0;  // one decimal
  TotalsSource totals_from = TotalsSource::Samples;
  double cpu_peak_percent = 0;  // one decimal
  uint64_t peak_resident_bytes = 0;
  std::optional<PeakProcess> peak_process;
  uint64_t read_bytes = 0;
  uint64_t written_bytes = 0;
  std::vector<LeftProcess> left_running;  // by pid
  bool killed = false;
  // --pid given again: the other processes watched with `pid` as one tree.
  std::vector<uint32_t> more_pids;
  // What the memory figures measure, where not the resident size: "PSS", or "private" (the
  // private working set), with what the text adds after the figure.
  std::optional<std::string> memory_measure;
  std::string memory_note;
};

class SummaryRecorder {
 public:
  SummaryRecorder(std::vector<std::string> command, uint32_t pid, uint64_t started_at_unix_ms);

  // The other processes watched with `pid` (--pid given again), and what the memory figures
  // measure where not the resident size: named in the summary.
  void describe(std::vector<uint32_t> more_pids, std::optional<std::string> memory_measure,
                std::string memory_note);

  void add(const Sample& sample);
  Summary finish(const Ending& ending) const;

 private:
  std::vector<std::string> command_;
  uint32_t pid_;
  std::vector<uint32_t> more_pids_;
  std::optional<std::string> memory_measure_;
  std::string memory_note_;
  uint64_t started_at_unix_ms_;
  KeySet seen_;
  double cpu_peak_percent_ = 0;
  uint64_t peak_resident_bytes_ = 0;
  std::optional<PeakProcess> peak_process_;
  std::optional<TreeUsage> baseline_;
  std::optional<TreeFigures> last_;
};

// The summary as text, one line per element, without line ends.
std::vector<std::string> format_summary(const Summary& summary);

}  // namespace treemon::recorder
