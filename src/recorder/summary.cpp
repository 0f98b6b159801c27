#include "recorder/summary.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "recorder/text.h"

namespace treemon::recorder {
namespace {

// One decimal, ties away from zero on the exact value, as the number it reads.
double tenths(double value) {
  const std::string text = fixed(value, 1);
  double rounded = 0;
  std::from_chars(text.data(), text.data() + text.size(), rounded);
  return rounded;
}

uint64_t whole(double value) {
  const std::string text = fixed(std::max(value, 0.0), 0);
  uint64_t rounded = 0;
  std::from_chars(text.data(), text.data() + text.size(), rounded);
  return rounded;
}

std::string line(std::string_view label, const std::string& value) {
  std::string text = "  " + std::string(label);
  text.resize(2 + 16, ' ');
  return text + value;
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

std::string status_text(const Summary& summary) {
  if (!summary.exit_status) return "unknown (watched by pid)";
  const std::string status = std::to_string(*summary.exit_status);
  return summary.signal ? status + " (killed by " + *summary.signal + ")" : status;
}

// "pid 7", or every pid watched: "pids 7, 9, 12".
std::string pids_text(const Summary& summary) {
  if (summary.more_pids.empty()) return "pid " + std::to_string(summary.pid);
  std::string text = "pids " + std::to_string(summary.pid);
  for (uint32_t pid : summary.more_pids) text += ", " + std::to_string(pid);
  return text;
}

std::string peak_text(const Summary& summary) {
  const std::string total =
      format_bytes(static_cast<double>(summary.peak_resident_bytes)) + summary.memory_note;
  if (!summary.peak_process) return total;
  const PeakProcess& peak = *summary.peak_process;
  return total + ", most held by " + printable(peak.name) + " (pid " + std::to_string(peak.pid) +
         "): " + format_bytes(static_cast<double>(peak.resident_bytes));
}

std::string left_text(const Summary& summary) {
  if (summary.left_running.empty()) return "none";
  std::string text =
      std::to_string(summary.left_running.size()) + (summary.killed ? ", killed" : "");
  for (size_t i = 0; i < summary.left_running.size(); ++i) {
    const LeftProcess& p = summary.left_running[i];
    text += (i == 0 ? ": " : ", ") + printable(p.name) + " (pid " + std::to_string(p.pid) + ")";
  }
  return text;
}

std::string source_text(TotalsSource source) {
  switch (source) {
    case TotalsSource::Kernel:
      return " (exact, from the kernel)";
    case TotalsSource::Samples:
      return " (at least, from samples)";
    case TotalsSource::LowerBound:
      return " (at least, from samples: the kernel counted less)";
  }
  return "";
}

std::string seen_text(const Summary& summary) {
  const std::string seen = std::to_string(summary.processes_seen);
  if (!summary.processes_total) return seen;
  const uint64_t total = std::max(*summary.processes_total, summary.processes_seen);
  return seen + " of " + std::to_string(total) + " (" +
         std::to_string(total - summary.processes_seen) + " never seen)";
}

}  // namespace

SummaryRecorder::SummaryRecorder(std::vector<std::string> command, uint32_t pid,
                                 uint64_t started_at_unix_ms)
    : command_(std::move(command)), pid_(pid), started_at_unix_ms_(started_at_unix_ms) {}

void SummaryRecorder::describe(std::vector<uint32_t> more_pids,
                               std::optional<std::string> memory_measure, std::string memory_note) {
  more_pids_ = std::move(more_pids);
  memory_measure_ = std::move(memory_measure);
  memory_note_ = std::move(memory_note);
}

void SummaryRecorder::add(const Sample& sample) {
  for (const ProcessSample& p : sample.snapshot.processes) {
    seen_.insert(key_of(p));
    if (!peak_process_ || p.residentBytes > peak_process_->resident_bytes) {
      peak_process_ = PeakProcess{p.pid, std::string(p.name.view()), p.residentBytes};
    }
  }
  // A command's tree began with nothing used; a running process had used what it had.
  if (!baseline_) baseline_ = command_.empty() ? sample.tree.totals.usage : TreeUsage{};
  last_ = sample.tree;
  cpu_peak_percent_ = std::max(cpu_peak_percent_, sample.tree.cpu_percent);
  peak_resident_bytes_ = std::max(peak_resident_bytes_, sample.tree.resident_bytes);
}

Summary SummaryRecorder::finish(const Ending& ending) const {
  const TreeUsage base = baseline_.value_or(TreeUsage{});
  const TreeUsage end = last_ ? last_->totals.usage : base;
  const auto used = [](uint64_t from, uint64_t to) { return to > from ? to - from : 0; };
  Summary summary;
  summary.totals_from = last_ ? last_->totals.source : TotalsSource::Samples;
  summary.command = command_;
  summary.pid = pid_;
  summary.started_at_unix_ms = started_at_unix_ms_;
  summary.wall_time_ms = whole(ending.wall_time_ms);
  summary.exit_status = ending.exit_status;
  summary.signal = ending.signal;
  summary.processes_seen = seen_.size();
  if (last_) summary.processes_total = last_->total_processes;
  summary.cpu_time_ms = whole(static_cast<double>(used(base.cpu_100ns, end.cpu_100ns)) / 10000);
  summary.cpu_average_percent =
      tenths(static_cast<double>(summary.cpu_time_ms) / std::max(ending.wall_time_ms, 1.0) * 100);
  summary.cpu_peak_percent = tenths(cpu_peak_percent_);
  summary.peak_resident_bytes = peak_resident_bytes_;
  summary.peak_process = peak_process_;
  summary.read_bytes = used(base.read_bytes, end.read_bytes);
  summary.written_bytes = used(base.written_bytes, end.written_bytes);
  summary.left_running = ending.left_running;
  std::sort(summary.left_running.begin(), summary.left_running.end(),
            [](const LeftProcess& a, const LeftProcess& b) { return a.pid < b.pid; });
  summary.killed = ending.killed;
  summary.more_pids = more_pids_;
  summary.memory_measure = memory_measure_;
  summary.memory_note = memory_note_;
  return summary;
}

std::vector<std::string> format_summary(const Summary& summary) {
  const std::string source = source_text(summary.totals_from);
  const std::string title =
      summary.command.empty() ? pids_text(summary) : printable(joined(summary.command));
  return {
      "summary: " + title,
      line("wall time", fixed(static_cast<double>(summary.wall_time_ms) / 1000) + " s"),
      line("exit status", status_text(summary)),
      line("processes seen", seen_text(summary)),
      line("CPU time", fixed(static_cast<double>(summary.cpu_time_ms) / 1000) + " s" + source),
      line("CPU average", fixed(summary.cpu_average_percent) + " %"),
      line("CPU peak", fixed(summary.cpu_peak_percent) + " %"),
      line("peak " + summary.memory_measure.value_or("resident"), peak_text(summary)),
      line("read", format_bytes(static_cast<double>(summary.read_bytes)) + source),
      line("written", format_bytes(static_cast<double>(summary.written_bytes)) + source),
      line("left running", left_text(summary)),
  };
}

}  // namespace treemon::recorder
