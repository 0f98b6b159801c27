#include "recorder/trace_output.h"

#include <algorithm>
#include <vector>

namespace treemon::recorder {
namespace {

int64_t unix_us(uint64_t unix_ms) { return static_cast<int64_t>(unix_ms) * 1000; }

TraceRates trace_rates(double cpu_percent, double read_per_second, double write_per_second) {
  return TraceRates{static_cast<float>(cpu_percent), static_cast<float>(read_per_second),
                    static_cast<float>(write_per_second)};
}

bool has_ended(const ProcessSample& p) {
  return p.status.view() == "Zombie" || p.status.view() == "Dead";
}

std::string ending_text(const Summary& summary) {
  if (!summary.exit_status) return "the watch ended";
  if (summary.signal) return "killed by " + *summary.signal;
  return "exited with status " + std::to_string(*summary.exit_status);
}

}  // namespace

Status TraceOutput::FileSink::append(std::string_view bytes) {
  file_.write(bytes);
  return file_.problem() ? Status::error(*file_.problem()) : Status();
}

TraceOutput::TraceOutput(OutputFile file, TraceRun run, IdentityOf identity_of,
                         std::optional<uint32_t> command_pid, std::string command_line)
    : file_(std::move(file)),
      sink_(file_),
      writer_(sink_, run),
      identity_of_(std::move(identity_of)),
      origin_us_(run.origin_us),
      command_pid_(command_pid) {
  // A command's tree did not exist before the run: its processes start within it.
  if (command_pid_) previous_sample_us_ = origin_us_;
  if (command_pid_) writer_.command_started(origin_us_, command_line);
}

void TraceOutput::take(const Sample& sample) {
  ++samples_;
  const int64_t at_us = unix_us(sample.snapshot.sampledAtUnixMs);
  for (const ProcessSample& p : sample.snapshot.processes) {
    take_process(p, rates_of(sample.rates, p), at_us);
  }
  end_unseen(at_us);
  const TreeFigures& tree = sample.tree;
  writer_.tree_rates(previous_sample_us_.value_or(origin_us_),
                     trace_rates(tree.cpu_percent, tree.read_per_second, tree.write_per_second));
  writer_.tree_memory(at_us, tree.resident_bytes, static_cast<uint32_t>(tree.processes));
  previous_sample_us_ = at_us;
  (void)writer_.flush();
}

void TraceOutput::take_process(const ProcessSample& p, const Rates& rates, int64_t at_us) {
  const std::optional<uint64_t> identity = identity_of_(p.pid);
  if (!identity) return;
  auto live = live_.find(*identity);
  const bool first_seen = live == live_.end();
  int64_t start_us = unix_us(p.startTimeMs);
  if (first_seen) {
    if (has_ended(p) && !previous_sample_us_) return;  // a watched zombie: no life to show
    if (previous_sample_us_) start_us = std::max(start_us, *previous_sample_us_);
    TracedProcess traced{*identity,
                         p.ppid != 0 ? identity_of_(p.ppid) : std::nullopt,
                         p.pid,
                         p.ppid,
                         std::string(p.name.view()),
                         std::string(p.command.view()),
                         start_us};
    writer_.process_started(traced);
    live = live_.emplace(*identity, Live{p.pid, samples_}).first;
    if (command_pid_ == p.pid && !command_identity_) command_identity_ = identity;
  }
  live->second.seen_at_sample = samples_;
  if (has_ended(p)) {
    writer_.process_ended(*identity, at_us, ProcessEnd::FoundGone);
    live_.erase(live);
    return;
  }
  const int64_t interval_start =
      first_seen ? std::max(start_us, origin_us_) : previous_sample_us_.value_or(origin_us_);
  writer_.process_rates(
      *identity, interval_start,
      trace_rates(rates.cpu_percent, rates.read_per_second, rates.write_per_second));
  writer_.process_memory(*identity, at_us, p.residentBytes);
}

void TraceOutput::end_unseen(int64_t at_us) {
  std::vector<uint64_t> gone;
  for (const auto& [identity, live] : live_) {
    if (live.seen_at_sample != samples_) gone.push_back(identity);
  }
  for (uint64_t identity : gone) {
    writer_.process_ended(identity, at_us, ProcessEnd::FoundGone);
    live_.erase(identity);
  }
}

void TraceOutput::command_reaped(uint64_t at_unix_us) {
  if (!command_identity_ || !live_.contains(*command_identity_)) return;
  writer_.process_ended(*command_identity_, static_cast<int64_t>(at_unix_us), ProcessEnd::Reaped);
  live_.erase(*command_identity_);
}

void TraceOutput::process_reaped(uint32_t pid, int64_t at_unix_us) {
  const auto live = std::find_if(live_.begin(), live_.end(),
                                 [pid](const auto& entry) { return entry.second.pid == pid; });
  if (live == live_.end()) return;
  writer_.process_ended(live->first, at_unix_us, ProcessEnd::Reaped);
  live_.erase(live);
}

void TraceOutput::finish(const Summary& summary) {
  const int64_t end_us = origin_us_ + static_cast<int64_t>(summary.wall_time_ms) * 1000;
  if (summary.exit_status) {
    writer_.command_ended(end_us, *summary.exit_status, ending_text(summary));
  }
  (void)writer_.close(std::max(end_us, previous_sample_us_.value_or(end_us)));
}

}  // namespace treemon::recorder
