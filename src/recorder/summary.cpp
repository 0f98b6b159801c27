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

std::string peak_text(const Summary& summary) {
  const std::string total = format_bytes(static_cast<double>(summary.peak_resident_bytes));
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

}  // namespace

TotalsSource totals_source(const std::optional<KernelUsage>& kernel, double sampled_cpu_time_ms,
                           size_t left_running) {
  if (!kernel || left_running > 0) return TotalsSource::Samples;
  return sampled_cpu_time_ms > kernel->cpu_time_ms + KERNEL_CPU_SLACK_MS ? TotalsSource::Samples
                                                                         : TotalsSource::Kernel;
}

SummaryRecorder::SummaryRecorder(std::vector<std::string> command, uint32_t pid,
                                 uint64_t started_at_unix_ms)
    : command_(std::move(command)), pid_(pid), started_at_unix_ms_(started_at_unix_ms) {}

void SummaryRecorder::add(const Sample& sample) {
  for (const ProcessSample& p : sample.snapshot.processes) {
    uint64_t& cpu = cpu_time_ms_[key_of(p)];
    cpu = std::max(cpu, p.cpuTimeMs);
    if (!peak_process_ || p.residentBytes > peak_process_->resident_bytes) {
      peak_process_ = PeakProcess{p.pid, std::string(p.name.view()), p.residentBytes};
    }
  }
  read_bytes_ += sample.tree.read_bytes;
  written_bytes_ += sample.tree.write_bytes;
  cpu_peak_percent_ = std::max(cpu_peak_percent_, sample.tree.cpu_percent);
  peak_resident_bytes_ = std::max(peak_resident_bytes_, sample.tree.resident_bytes);
}

Summary SummaryRecorder::finish(const Ending& ending) const {
  double sampled_cpu_time_ms = 0;
  for (const auto& [key, ms] : cpu_time_ms_) sampled_cpu_time_ms += static_cast<double>(ms);
  Summary summary;
  summary.totals_from =
      totals_source(ending.kernel, sampled_cpu_time_ms, ending.left_running.size());
  const bool exact = summary.totals_from == TotalsSource::Kernel;
  summary.command = command_;
  summary.pid = pid_;
  summary.started_at_unix_ms = started_at_unix_ms_;
  summary.wall_time_ms = whole(ending.wall_time_ms);
  summary.exit_status = ending.exit_status;
  summary.signal = ending.signal;
  summary.processes_seen = cpu_time_ms_.size();
  summary.cpu_time_ms = whole(exact ? ending.kernel->cpu_time_ms : sampled_cpu_time_ms);
  summary.cpu_average_percent =
      tenths(static_cast<double>(summary.cpu_time_ms) / std::max(ending.wall_time_ms, 1.0) * 100);
  summary.cpu_peak_percent = tenths(cpu_peak_percent_);
  summary.peak_resident_bytes = peak_resident_bytes_;
  summary.peak_process = peak_process_;
  summary.read_bytes = exact ? ending.kernel->read_bytes : whole(read_bytes_);
  summary.written_bytes = exact ? ending.kernel->written_bytes : whole(written_bytes_);
  summary.left_running = ending.left_running;
  std::sort(summary.left_running.begin(), summary.left_running.end(),
            [](const LeftProcess& a, const LeftProcess& b) { return a.pid < b.pid; });
  summary.killed = ending.killed;
  return summary;
}

std::vector<std::string> format_summary(const Summary& summary) {
  const std::string source = summary.totals_from == TotalsSource::Kernel
                                 ? " (exact, from the kernel)"
                                 : " (at least, from samples)";
  const std::string title = summary.command.empty() ? "pid " + std::to_string(summary.pid)
                                                    : printable(joined(summary.command));
  return {
      "summary: " + title,
      line("wall time", fixed(static_cast<double>(summary.wall_time_ms) / 1000) + " s"),
      line("exit status", status_text(summary)),
      line("processes seen", std::to_string(summary.processes_seen)),
      line("CPU time", fixed(static_cast<double>(summary.cpu_time_ms) / 1000) + " s" + source),
      line("CPU average", fixed(summary.cpu_average_percent) + " %"),
      line("CPU peak", fixed(summary.cpu_peak_percent) + " %"),
      line("peak resident", peak_text(summary)),
      line("read", format_bytes(static_cast<double>(summary.read_bytes)) + source),
      line("written", format_bytes(static_cast<double>(summary.written_bytes)) + source),
      line("left running", left_text(summary)),
  };
}

}  // namespace treemon::recorder
