// The end-of-run summary: how long the run took, how it ended and what the tree used, gathered
// from every sample; printed as text on standard error and written as the record's last line.
// Other tools print the same text, so its form is fixed (tests/tools/summaries.json).
//
// Contract:
//  1. CPU time, read and written are the kernel's totals of the command's reaped tree ("exact")
//     only when nothing was left running and the samples saw no more CPU time than the kernel
//     counted (beyond KERNEL_CPU_SLACK_MS); otherwise they are the samples' figures, a lower
//     bound. A process reaped elsewhere (an orphan) takes its figures out of the kernel's.
//  2. The sampled CPU time is the sum over processes of the largest CPU time each showed.
//  3. Every text a process chose reaches the summary's text through printable().
// Main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "recorder/rates.h"
#include "recorder/tree_figures.h"

namespace treemon::recorder {

// The kernel's counts for finer units than its CPU ticks of 10 ms.
inline constexpr double KERNEL_CPU_SLACK_MS = 50;

// What the kernel counted for the command's tree, every reaped process included.
struct KernelUsage {
  double cpu_time_ms = 0;
  uint64_t read_bytes = 0;
  uint64_t written_bytes = 0;
};

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
  std::optional<KernelUsage> kernel;
};

enum class TotalsSource { Kernel, Samples };

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
};

TotalsSource totals_source(const std::optional<KernelUsage>& kernel, double sampled_cpu_time_ms,
                           size_t left_running);

class SummaryRecorder {
 public:
  SummaryRecorder(std::vector<std::string> command, uint32_t pid, uint64_t started_at_unix_ms);

  void add(const Sample& sample);
  Summary finish(const Ending& ending) const;

 private:
  std::vector<std::string> command_;
  uint32_t pid_;
  uint64_t started_at_unix_ms_;
  KeyMap<uint64_t> cpu_time_ms_;  // the largest CPU time each process showed
  double cpu_peak_percent_ = 0;
  uint64_t peak_resident_bytes_ = 0;
  std::optional<PeakProcess> peak_process_;
  double read_bytes_ = 0;
  double written_bytes_ = 0;
};

// The summary as text, one line per element, without line ends.
std::vector<std::string> format_summary(const Summary& summary);

}  // namespace treemon::recorder
