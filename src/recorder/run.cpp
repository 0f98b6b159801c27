#include "recorder/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/build_target.h"
#include "procinfo/platform.h"
#include "protocol/events.h"
#include "recorder/chart.h"
#include "recorder/csv.h"
#include "recorder/frame.h"
#include "recorder/leftovers.h"
#include "recorder/live_view.h"
#include "recorder/memory_share_sampler.h"
#include "recorder/output_file.h"
#include "recorder/output_tail.h"
#include "recorder/record.h"
#include "recorder/recording.h"
#include "recorder/session.h"
#include "recorder/summary.h"
#include "recorder/summary_json_output.h"
#include "recorder/terminal.h"
#include "recorder/text.h"
#include "recorder/trace_output.h"
#include "sampling/sampler.h"

namespace treemon::recorder {
namespace {

using std::chrono::milliseconds;

// How long --duration gives the command's tree between TERM and KILL.
constexpr milliseconds DURATION_GRACE{3000};
// How long --kill-tree gives the processes left running between TERM and KILL.
constexpr milliseconds KILL_TREE_GRACE{1500};
// How long the command's output may take to arrive after it exited (its pipes may stay open).
constexpr milliseconds OUTPUT_DRAIN{500};
// The view's clock and elapsed time move on at least this often, whatever the interval.
constexpr milliseconds REDRAW_INTERVAL{1000};
// The share of the interval a sample may spend reading memory shares (--memory pss): the rest
// of a sample takes milliseconds, so half keeps the sample well within its interval.
constexpr int MEMORY_SHARE_BUDGET_DIVISOR = 2;

void tell(const std::string& line) { std::fprintf(stderr, "treemon-watch: %s\n", line.c_str()); }

struct Outputs {
  std::optional<OutputFile> record;
  std::optional<OutputFile> csv;
  std::optional<OutputFile> chart;
  std::optional<OutputFile> log;
  std::optional<OutputFile> trace;
  std::optional<OutputFile> summary_json;
};

// How each output names the memory figures.
struct MemoryNames {
  std::string heading = "RESIDENT";
  std::string csv_column = "resident_bytes";
  std::string chart_title = "Resident memory";
  std::string trace_name = "resident";
  std::optional<std::string> summary_measure;  // none for the resident size
  std::string summary_note;
};

MemoryNames memory_names(MemoryShareKind kind) {
  switch (kind) {
    case MemoryShareKind::Proportional:
      return {"PSS", "pss_bytes", "Proportional memory (PSS)", "PSS", "PSS", ""};
    case MemoryShareKind::PrivateOnly:
      return {"PRIVATE",
              "private_bytes",
              "Private working set (shared pages left out)",
              "private working set",
              "private",
              " (private working set, shared pages left out)"};
    case MemoryShareKind::None:
      break;
  }
  return {};
}

// Opens every output file, before anything starts; the message of the first that fails.
Result<Outputs> open_outputs(const RecorderOptions& options) {
  Outputs outputs;
  const std::pair<const std::optional<std::string>*, std::optional<OutputFile>*> files[] = {
      {&options.record, &outputs.record}, {&options.csv, &outputs.csv},
      {&options.chart, &outputs.chart},   {&options.log, &outputs.log},
      {&options.trace, &outputs.trace},   {&options.summary_json, &outputs.summary_json}};
  for (const auto& [path, file] : files) {
    if (!*path) continue;
    Result<OutputFile> opened = OutputFile::create(**path);
    if (!opened.ok()) return opened.status();
    file->emplace(std::move(opened.value()));
  }
  if (options.record_mode && !outputs.csv) outputs.csv = OutputFile::standard_output();
  return outputs;
}

CommandOutput command_output(const RecorderOptions& options, Outputs& outputs, bool view,
                             OutputTail& tail) {
  if (view) return {OutputRoute::Tool, nullptr, &tail};
  if (outputs.log) return {OutputRoute::File, outputs.log->stream(), nullptr};
  if (options.record_mode) return {OutputRoute::OutputToError, nullptr, nullptr};
  return {};
}

std::string title_of(const RecorderOptions& options) {
  if (options.pid && !options.more_pids.empty()) {
    std::string text = "pids " + std::to_string(*options.pid);
    for (uint32_t pid : options.more_pids) text += ", " + std::to_string(pid);
    return text;
  }
  if (options.pid) return "pid " + std::to_string(*options.pid);
  std::string text;
  for (const std::string& word : options.command) text += (text.empty() ? "" : " ") + word;
  return text;
}

// How the run ended, as the last frame says it.
std::string ending_text(const std::optional<CommandEnd>& end, uint32_t pid, bool interrupted,
                        bool duration_reached, size_t left, bool killed) {
  std::string how;
  if (end) {
    how = end->signal
              ? "killed by " + *end->signal + " (status " + std::to_string(end->status) + ")"
              : "exited with status " + std::to_string(end->status);
  } else if (duration_reached) {
    how = "watch of process " + std::to_string(pid) + " ended after --duration";
  } else {
    how = interrupted ? "watch of process " + std::to_string(pid) + " interrupted"
                      : "process " + std::to_string(pid) + " ended";
  }
  if (left == 0) return how;
  return how + "; " + std::to_string(left) + (left == 1 ? " process" : " processes") +
         " left running" + (killed ? ", killed" : "");
}

bool watched_process_runs(const Snapshot& snapshot, uint32_t pid) {
  return std::any_of(
      snapshot.processes.begin(), snapshot.processes.end(), [pid](const ProcessSample& p) {
        return p.pid == pid && p.status.view() != "Zombie" && p.status.view() != "Dead";
      });
}

std::vector<LeftProcess> listed(const std::vector<ProcessSample>& processes) {
  std::vector<LeftProcess> list;
  for (const ProcessSample& p : processes) {
    list.push_back({p.pid, std::string(p.name.view()), std::string(p.command.view())});
  }
  return list;
}

class Run {
 public:
  Run(const RecorderOptions& options, Session& session, Outputs outputs)
      : options_(options), session_(session), outputs_(std::move(outputs)), tail_(nullptr) {}

  int go() {
    view_ = !options_.record_mode && standard_output_is_terminal();
    if (outputs_.log) tail_ = OutputTail(&*outputs_.log);
    started_at_ms_ = unix_ms_from_ns(clock_.wall_now_unix_ns());
    started_ = clock_.monotonic_now();
    if (options_.pid) {
      root_ = *options_.pid;
    } else {
      Result<uint32_t> pid =
          session_.start(options_.command, command_output(options_, outputs_, view_, tail_));
      if (!pid.ok()) {
        tell(std::string(pid.status().message()));
        return 127;
      }
      root_ = *pid;
    }
    tree_root_ = options_.pid ? root_ : session_.tree_root(root_);
    platform_ = make_system_platform();
    // Nothing beyond the trees the tool watches is looked at: the platform lists them alone.
    platform_->list_only_trees(tree_roots());
    state_ = std::make_unique<SamplerState>(*platform_);
    refresh_for_configure(*state_);
    ExternalProcessMap more;
    for (uint32_t pid : options_.more_pids) more.emplace(pid, std::nullopt);
    watched_ = watch(*state_, tree_root_, std::move(more));
    choose_memory_measure();
    SummaryRecorder summary(options_.command, root_, started_at_ms_);
    summary.describe(options_.more_pids, memory_names_.summary_measure, memory_names_.summary_note);
    const std::optional<uint64_t> tree_began =
        options_.pid ? std::nullopt : std::optional<uint64_t>(started_at_ms_);
    recording_.emplace(platform_name() == "linux", tree_began, std::move(summary), writers());
    const Snapshot first = sample_tree();
    for (uint32_t pid : watched_pids()) {
      if (options_.pid && !watched_process_runs(first, pid)) {
        tell("no process with pid " + std::to_string(pid));
        return 1;
      }
    }
    take(first);
    draw();
    follow();
    return finish();
  }

 private:
  // The roots of every tree the tool watches: its tree's root, and each --pid given again.
  std::vector<uint32_t> tree_roots() const {
    std::vector<uint32_t> roots{tree_root_};
    roots.insert(roots.end(), options_.more_pids.begin(), options_.more_pids.end());
    return roots;
  }

  std::vector<uint32_t> watched_pids() const {
    std::vector<uint32_t> pids{root_};
    pids.insert(pids.end(), options_.more_pids.begin(), options_.more_pids.end());
    return pids;
  }

  bool any_watched_runs(const Snapshot& snapshot) const {
    const std::vector<uint32_t> pids = watched_pids();
    return std::any_of(pids.begin(), pids.end(),
                       [&](uint32_t pid) { return watched_process_runs(snapshot, pid); });
  }

  std::optional<uint64_t> identity_of(uint32_t pid) const {
    const ProcessInfo* info = state_->table().find(pid);
    return info ? std::optional<uint64_t>(info->identity) : std::nullopt;
  }

  // --memory pss where the platform has a memory share; resident memory otherwise, said once.
  void choose_memory_measure() {
    if (options_.memory != MemoryMeasure::Share) return;
    const MemoryShareKind kind = state_->table().memory_share_kind();
    if (kind == MemoryShareKind::None) {
      tell("--memory pss: this system gives no memory share; resident memory is shown");
      return;
    }
    memory_names_ = memory_names(kind);
    share_sampler_.emplace(milliseconds(options_.interval_ms) / MEMORY_SHARE_BUDGET_DIVISOR);
  }

  // Each row's memory share where the sample measures it, read within the sample's budget. A
  // row never read yet counts nothing: its resident size would count the pages it shares, and
  // one such sample would decide the peak.
  Snapshot measured(Snapshot snapshot) {
    if (!share_sampler_) return snapshot;
    std::vector<ShareMember> members;
    std::vector<ProcessSample*> rows;
    for (ProcessSample& p : snapshot.processes) {
      if (const std::optional<uint64_t> identity = identity_of(p.pid)) {
        members.push_back({*identity, p.pid});
        rows.push_back(&p);
      }
    }
    const ShareReading reading = share_sampler_->sample(
        members, [this](uint32_t pid) { return state_->table().read_memory_share(pid); }, clock_);
    for (size_t i = 0; i < rows.size(); ++i) {
      rows[i]->residentBytes = reading.shares[i].value_or(0);
    }
    if (reading.read_now < members.size()) ++samples_reading_fewer_;
    rows_without_share_ += reading.never_read;
    for (ProcessSample& p : snapshot.processes) {
      if (!identity_of(p.pid)) {
        p.residentBytes = 0;
        ++rows_without_share_;
      }
    }
    return snapshot;
  }

  std::vector<std::unique_ptr<SampleWriter>> writers() {
    std::vector<std::unique_ptr<SampleWriter>> list;
    if (outputs_.record)
      list.push_back(std::make_unique<RecordWriter>(std::move(*outputs_.record)));
    if (outputs_.csv) {
      list.push_back(std::make_unique<CsvWriter>(std::move(*outputs_.csv), started_at_ms_,
                                                 memory_names_.csv_column));
    }
    if (outputs_.summary_json) {
      list.push_back(std::make_unique<SummaryJsonOutput>(std::move(*outputs_.summary_json)));
    }
    if (outputs_.trace) {
      TraceRun run{static_cast<int64_t>(started_at_ms_) * 1000,
                   {{"tool", "treemon-watch " + std::string(SIDECAR_VERSION) + " (" +
                                 std::string(platform_name()) + " " +
                                 std::string(architecture_name()) + ")"},
                    {"watched", title_of(options_)},
                    {"interval", std::to_string(options_.interval_ms) + " ms"}},
                   memory_names_.trace_name};
      auto trace = std::make_unique<TraceOutput>(
          std::move(*outputs_.trace), std::move(run),
          [this](uint32_t pid) { return identity_of(pid); },
          options_.pid ? std::nullopt : std::optional<uint32_t>(root_), title_of(options_));
      trace_ = trace.get();
      list.push_back(std::move(trace));
    }
    if (outputs_.chart) {
      ChartOptions chart{started_at_ms_, options_.pid ? "the watch started" : "the command started",
                         options_.group, memory_names_.chart_title};
      list.push_back(std::make_unique<ChartWriter>(std::move(*outputs_.chart), std::move(chart),
                                                   title_of(options_), options_.top));
    }
    return list;
  }

  void draw(std::optional<std::string> ending = std::nullopt,
            std::optional<MonoTime> at = std::nullopt) {
    const auto& latest = recording_->latest();
    if (!view_ || !latest) return;
    const Sample sample{latest->snapshot, latest->rates, latest->tree};
    const TerminalSize size = view_screen_.size();
    FrameInput frame;
    frame.title = title_of(options_);
    const auto elapsed = at.value_or(clock_.monotonic_now()) - started_;
    frame.elapsed_ms = static_cast<uint64_t>(
        std::max<int64_t>(std::chrono::duration_cast<milliseconds>(elapsed).count(), 0));
    frame.sample = &sample;
    frame.sort = options_.sort;
    frame.width = size.columns;
    frame.height = size.rows;
    frame.output_tail = &tail_.lines();
    frame.memory_heading = memory_names_.heading;
    frame.ending = std::move(ending);
    view_screen_.show(render_frame(frame));
    next_draw_ = clock_.monotonic_now() + REDRAW_INTERVAL;
  }

  // One sample of the tree, without the tool's own row where the tool is the tree's root.
  Snapshot sample_tree() {
    platform_->list_only_trees(tree_roots());
    return without_tool(sample(*state_, *watched_, std::nullopt));
  }

  Snapshot without_tool(Snapshot snapshot) const {
    if (tree_root_ == root_) return snapshot;
    std::erase_if(snapshot.processes,
                  [this](const ProcessSample& p) { return p.pid == tree_root_; });
    snapshot.retainedProcessCount = snapshot.processes.size();
    return snapshot;
  }

  // Takes a sample in, with the OS's count of the tree read right after it.
  void take(const Snapshot& snapshot) {
    members_.clear();
    for (const ProcessSample& p : snapshot.processes) {
      members_.push_back(
          {{p.pid, p.ppid}, p.startTimeMs, {p.cpuTimeMs * 10000, p.ioReadBytes, p.ioWriteBytes}});
    }
    const std::optional<KernelReading> kernel = session_.tree_accounting().read(members_);
    recording_->take(measured(snapshot), kernel);
    end_reaped();
  }

  // After the sample that may still show them, so that a reaped process is not seen anew.
  void end_reaped() {
    for (const ReapedProcess& reaped : session_.take_reaped()) {
      if (trace_) trace_->process_reaped(reaped.pid, reaped.at_unix_us);
    }
  }

  // Samples until the command ends, the watched process ends, --duration or a stop request.
  void follow() {
    MonoTime next_sample = clock_.monotonic_now() + milliseconds(options_.interval_ms);
    const MonoTime stop_at = options_.duration ? started_ + *options_.duration : MonoTime::max();
    bool tree_ended = false;
    for (;;) {
      MonoTime wake = tree_ended ? next_sample : std::min(next_sample, stop_at);
      if (view_) wake = std::min(wake, next_draw_);
      session_.wait(wake);
      end_reaped();
      if ((end_ = session_.take_command_end())) {
        if (trace_) trace_->command_reaped(static_cast<uint64_t>(clock_.wall_now_unix_ns()) / 1000);
        return;
      }
      if (const auto stop = session_.take_stop_request()) {
        if (!options_.pid) {
          session_.forward_stop(*stop, stop_.has_value());
          stop_ = stop;
        } else {
          stop_ = stop;
          return;
        }
      }
      if (session_.take_resize()) draw();
      const MonoTime now = clock_.monotonic_now();
      if (view_ && now >= next_draw_) draw();
      if (now >= stop_at && !tree_ended) {
        duration_reached_ = true;
        if (options_.pid) return;
        end_tree();
        tree_ended = true;
        continue;
      }
      if (now < next_sample) continue;
      const Snapshot snapshot = sample_tree();
      take(snapshot);
      draw();
      next_sample =
          std::max(next_sample + milliseconds(options_.interval_ms), clock_.monotonic_now());
      if (options_.pid && !any_watched_runs(snapshot)) return;
    }
  }

  // --duration with a command: every process the tool knows in its tree, and those it left.
  void end_tree() {
    const Snapshot now = without_tool(
        still_running(*platform_, *state_, recording_->seen().keys(), tree_root_, NO_PROCESS));
    end_processes(*platform_, *state_, session_, now.processes, NO_PROCESS, DURATION_GRACE);
  }

  int finish() {
    const MonoTime ended = clock_.monotonic_now();
    std::vector<ProcessSample> left;
    bool killed = false;
    const bool interrupted_watch = options_.pid && stop_;
    if (!interrupted_watch) {
      // Under the tool as subreaper, what the command left is still the tool's tree.
      const uint32_t leftovers_root = tree_root_ == root_ ? NO_PROCESS : tree_root_;
      const Snapshot last = without_tool(
          still_running(*platform_, *state_, recording_->seen().keys(), leftovers_root, root_));
      left = last.processes;
      take(last);
      if (options_.kill_tree && !left.empty()) {
        left = end_processes(*platform_, *state_, session_, left, root_, KILL_TREE_GRACE);
        killed = true;
      }
    }
    session_.drain_output(clock_.monotonic_now() + OUTPUT_DRAIN);
    draw(ending_text(end_, root_, interrupted_watch, duration_reached_, left.size(), killed),
         ended);
    view_screen_.close();
    Ending ending;
    if (end_) {
      ending.exit_status = end_->status;
      ending.signal = end_->signal;
    }
    ending.wall_time_ms = std::chrono::duration<double, std::milli>(ended - started_).count();
    ending.left_running = listed(left);
    ending.killed = killed;
    const Summary summary = recording_->summary().finish(ending);
    for (const std::string& problem : recording_->finish(summary)) tell(problem);
    if (duration_reached_) tell("the run reached its --duration");
    if (samples_reading_fewer_ > 0) {
      tell("--memory pss: " + std::to_string(samples_reading_fewer_) +
           " samples could not read every process within half the interval; the others "
           "kept their latest reading");
    }
    if (rows_without_share_ > 0) {
      tell("--memory pss: " + std::to_string(rows_without_share_) +
           " rows had no reading yet and count no memory");
    }
    std::string text;
    for (const std::string& line : format_summary(summary)) text += line + "\n";
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    if (stop_) return static_cast<int>(stop_->exit_status);
    return end_ ? static_cast<int>(end_->status) : 0;
  }

  const RecorderOptions& options_;
  Session& session_;
  Outputs outputs_;
  OutputTail tail_;
  SystemClock clock_;
  bool view_ = false;
  LiveView view_screen_;
  MonoTime next_draw_;
  uint64_t started_at_ms_ = 0;
  MonoTime started_;
  uint32_t root_ = 0;
  uint32_t tree_root_ = 0;  // whose descendants are sampled: root_, or the tool as subreaper
  std::vector<TreeMember> members_;
  std::unique_ptr<ProcessPlatform> platform_;
  std::unique_ptr<SamplerState> state_;
  std::optional<WatchedProcesses> watched_;
  std::optional<Recording> recording_;
  MemoryNames memory_names_;
  std::optional<MemoryShareSampler> share_sampler_;
  size_t samples_reading_fewer_ = 0;
  size_t rows_without_share_ = 0;
  TraceOutput* trace_ = nullptr;  // owned by the recording's writers
  std::optional<CommandEnd> end_;
  std::optional<StopRequest> stop_;
  bool duration_reached_ = false;
};

}  // namespace

int run(const RecorderOptions& options) {
  Result<Outputs> outputs = open_outputs(options);
  if (!outputs.ok()) {
    tell(std::string(outputs.status().message()));
    return 2;
  }
  const std::unique_ptr<Session> session = Session::create();
  return Run(options, *session, std::move(outputs.value())).go();
}

}  // namespace treemon::recorder
