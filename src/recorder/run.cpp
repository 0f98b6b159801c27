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
#include "recorder/chart.h"
#include "recorder/csv.h"
#include "recorder/frame.h"
#include "recorder/leftovers.h"
#include "recorder/live_view.h"
#include "recorder/output_file.h"
#include "recorder/output_tail.h"
#include "recorder/record.h"
#include "recorder/recording.h"
#include "recorder/session.h"
#include "recorder/summary.h"
#include "recorder/terminal.h"
#include "recorder/text.h"
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

void tell(const std::string& line) { std::fprintf(stderr, "treemon-watch: %s\n", line.c_str()); }

struct Outputs {
  std::optional<OutputFile> record;
  std::optional<OutputFile> csv;
  std::optional<OutputFile> chart;
  std::optional<OutputFile> log;
};

// Opens every output file, before anything starts; the message of the first that fails.
Result<Outputs> open_outputs(const RecorderOptions& options) {
  Outputs outputs;
  const std::pair<const std::optional<std::string>*, std::optional<OutputFile>*> files[] = {
      {&options.record, &outputs.record},
      {&options.csv, &outputs.csv},
      {&options.chart, &outputs.chart},
      {&options.log, &outputs.log}};
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
    platform_ = make_system_platform();
    // Nothing beyond the trees the tool watches is looked at: the platform lists them alone.
    platform_->list_only_trees(std::vector<uint32_t>{root_});
    state_ = std::make_unique<SamplerState>(*platform_);
    refresh_for_configure(*state_);
    watched_ = watch(*state_, root_, {});
    recording_.emplace(platform_name() == "linux",
                       SummaryRecorder(options_.command, root_, started_at_ms_), writers());
    const Snapshot first = sample_tree();
    if (options_.pid && !watched_process_runs(first, root_)) {
      tell("no process with pid " + std::to_string(root_));
      return 1;
    }
    recording_->take(first);
    draw();
    follow();
    return finish();
  }

 private:
  std::vector<std::unique_ptr<SampleWriter>> writers() {
    std::vector<std::unique_ptr<SampleWriter>> list;
    if (outputs_.record)
      list.push_back(std::make_unique<RecordWriter>(std::move(*outputs_.record)));
    if (outputs_.csv)
      list.push_back(std::make_unique<CsvWriter>(std::move(*outputs_.csv), started_at_ms_));
    if (outputs_.chart) {
      ChartOptions chart{started_at_ms_, options_.pid ? "the watch started" : "the command started",
                         options_.group};
      list.push_back(std::make_unique<ChartWriter>(std::move(*outputs_.chart), std::move(chart),
                                                   title_of(options_), options_.top));
    }
    return list;
  }

  Snapshot sample_tree() {
    platform_->list_only_trees(std::vector<uint32_t>{root_});
    return sample(*state_, *watched_, std::nullopt);
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
    frame.ending = std::move(ending);
    view_screen_.show(render_frame(frame));
    next_draw_ = clock_.monotonic_now() + REDRAW_INTERVAL;
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
      if ((end_ = session_.take_command_end())) return;
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
      recording_->take(snapshot);
      draw();
      next_sample =
          std::max(next_sample + milliseconds(options_.interval_ms), clock_.monotonic_now());
      if (options_.pid && !watched_process_runs(snapshot, root_)) return;
    }
  }

  // --duration with a command: every process the tool knows in its tree, and those it left.
  void end_tree() {
    const Snapshot now =
        still_running(*platform_, *state_, recording_->seen().keys(), root_, NO_PROCESS);
    end_processes(*platform_, *state_, session_, now.processes, NO_PROCESS, DURATION_GRACE);
  }

  int finish() {
    const MonoTime ended = clock_.monotonic_now();
    std::vector<ProcessSample> left;
    bool killed = false;
    const bool interrupted_watch = options_.pid && stop_;
    if (!interrupted_watch) {
      const Snapshot last =
          still_running(*platform_, *state_, recording_->seen().keys(), NO_PROCESS, root_);
      left = last.processes;
      recording_->take(last);
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
      ending.kernel = end_->usage;
    }
    ending.wall_time_ms = std::chrono::duration<double, std::milli>(ended - started_).count();
    ending.left_running = listed(left);
    ending.killed = killed;
    const Summary summary = recording_->summary().finish(ending);
    for (const std::string& problem : recording_->finish(summary)) tell(problem);
    if (duration_reached_) tell("the run reached its --duration");
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
  std::unique_ptr<ProcessPlatform> platform_;
  std::unique_ptr<SamplerState> state_;
  std::optional<WatchedProcesses> watched_;
  std::optional<Recording> recording_;
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
