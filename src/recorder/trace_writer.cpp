#include "recorder/trace_writer.h"

#include <string>

#include "protocol/json_writer.h"
#include "recorder/trace_order.h"

namespace treemon::recorder {
namespace {

// Above every pid Linux can give (at most 2^22) and every one Windows gives in practice; a track
// whose OS pid another track holds takes the next free number from here.
constexpr uint32_t FIRST_SPARE_PID = 1u << 31;
// The tree's track sorts first; processes follow in the order of the walk.
constexpr uint32_t TREE_SORT_INDEX = 0;

constexpr std::string_view END_REAPED = "exit collected by the tool";
constexpr std::string_view END_FOUND_GONE = "first sample without it";
constexpr std::string_view END_STILL_RUNNING = "still running when the trace ended";

// Appends to the writer's stage, which never fails.
class StageSink final : public OutputSink {
 public:
  explicit StageSink(std::string& stage) : stage_(stage) {}
  Status append(std::string_view bytes) override {
    stage_.append(bytes);
    return Status();
  }

 private:
  std::string& stage_;
};

uint64_t non_negative(int64_t value) { return value > 0 ? static_cast<uint64_t>(value) : 0; }

}  // namespace

// One event: an object on a line of its own, begun with its name and phase and closed when the
// Event goes out of scope. Members are written through json() in between.
class TraceWriter::Event {
 public:
  Event(TraceWriter& writer, std::string_view name, std::string_view phase)
      : writer_(writer), sink_(writer.stage_), json_(sink_) {
    writer_.stage_.append(writer_.first_event_ ? "\n" : ",\n");
    writer_.first_event_ = false;
    json_.begin_object();
    json_.name("name");
    json_.string(name);
    json_.name("ph");
    json_.string(phase);
  }
  ~Event() {
    json_.end_object();
    (void)json_.finish();
    writer_.end_line();
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  JsonWriter& json() { return json_; }
  void ts(int64_t trace_ts) {
    json_.name("ts");
    json_.u64(non_negative(trace_ts));
  }
  void track(uint32_t trace_pid) {
    json_.name("pid");
    json_.u32(trace_pid);
    json_.name("tid");
    json_.u32(trace_pid);
  }

 private:
  TraceWriter& writer_;
  StageSink sink_;
  JsonWriter json_;
};

TraceWriter::TraceWriter(OutputSink& output, TraceRun run)
    : output_(output),
      origin_us_(run.origin_us),
      memory_key_(run.memory_name + " bytes"),
      next_spare_pid_(FIRST_SPARE_PID) {
  tree_trace_pid_ = take_trace_pid(0);
  write_opening(run);
}

void TraceWriter::write_opening(const TraceRun& run) {
  StageSink sink(stage_);
  JsonWriter json(sink);
  json.begin_object();
  json.name("displayTimeUnit");
  json.string("ms");
  json.name("otherData");
  json.begin_object();
  for (const auto& [name, value] : run.description) {
    json.name(name);
    json.string(value);
  }
  json.name("memory");
  json.string(run.memory_name);
  json.end_object();
  json.name("traceEvents");
  json.begin_array();
  (void)json.finish();

  write_metadata(tree_trace_pid_, "process_name", "name", "process tree");
}

uint32_t TraceWriter::take_trace_pid(uint32_t pid) {
  if (pid != 0 && trace_pids_.insert(pid).second) return pid;
  while (!trace_pids_.insert(next_spare_pid_).second) ++next_spare_pid_;
  return next_spare_pid_++;
}

TraceWriter::Track* TraceWriter::live_track(uint64_t identity) {
  const auto found = track_of_.find(identity);
  if (found == track_of_.end() || tracks_[found->second].ended) return nullptr;
  return &tracks_[found->second];
}

void TraceWriter::process_started(const TracedProcess& process) {
  if (closed_ || track_of_.contains(process.identity)) return;
  Track track;
  track.identity = process.identity;
  track.trace_pid = take_trace_pid(process.pid);
  track.parent_identity = process.parent_identity;
  track.start_ts = trace_time(process.start_us);
  track_of_.emplace(process.identity, tracks_.size());
  tracks_.push_back(track);
  live_.emplace(process.identity,
                LiveProcess{process.pid, process.parent_pid, process.start_us < origin_us_,
                            process.name, process.command_line});
  write_names(track, process);
}

void TraceWriter::write_names(const Track& track, const TracedProcess& process) {
  std::string name = process.name;
  if (track.trace_pid != process.pid) name += " (pid " + std::to_string(process.pid) + ")";
  write_metadata(track.trace_pid, "process_name", "name", name);
  write_metadata(track.trace_pid, "process_labels", "labels", process.command_line);
  write_metadata(track.trace_pid, "thread_name", "name", "lifetime");
}

// A metadata event of one track: its one argument `key` is `value`.
void TraceWriter::write_metadata(uint32_t trace_pid, std::string_view event_name,
                                 std::string_view key, std::string_view value) {
  Event event(*this, event_name, "M");
  event.track(trace_pid);
  event.json().name("args");
  event.json().begin_object();
  event.json().name(key);
  event.json().string(value);
  event.json().end_object();
}

void TraceWriter::process_rates(uint64_t identity, int64_t interval_start_us,
                                const TraceRates& rates) {
  if (const Track* track = live_track(identity)) {
    write_rates(track->trace_pid, trace_time(interval_start_us), rates);
  }
}

void TraceWriter::process_memory(uint64_t identity, int64_t at_us, uint64_t bytes) {
  if (const Track* track = live_track(identity)) {
    write_memory(track->trace_pid, trace_time(at_us), bytes);
  }
}

void TraceWriter::process_ended(uint64_t identity, int64_t at_us, ProcessEnd how) {
  Track* track = live_track(identity);
  if (track == nullptr) return;
  track->ended = true;
  const auto live = live_.find(identity);
  const int64_t end_ts = trace_time(at_us);
  write_lifetime(*track, live->second, end_ts,
                 how == ProcessEnd::Reaped ? END_REAPED : END_FOUND_GONE);
  live_.erase(live);
  write_rates(track->trace_pid, end_ts, TraceRates{});
  write_memory(track->trace_pid, end_ts, 0);
}

void TraceWriter::write_lifetime(const Track& track, const LiveProcess& live, int64_t end_ts,
                                 std::string_view end) {
  Event event(*this, live.name, "X");
  event.ts(track.start_ts);
  event.json().name("dur");
  event.json().u64(non_negative(end_ts - track.start_ts));
  event.json().name("cat");
  event.json().string("process");
  event.track(track.trace_pid);
  JsonWriter& json = event.json();
  json.name("args");
  json.begin_object();
  json.name("pid");
  json.u32(live.pid);
  json.name("ppid");
  json.u32(live.parent_pid);
  json.name("command");
  json.string(live.command_line);
  if (live.started_before_trace) {
    json.name("start");
    json.string("before the trace");
  }
  json.name("end");
  json.string(end);
  json.end_object();
}

void TraceWriter::write_rates(uint32_t trace_pid, int64_t ts, const TraceRates& rates) {
  {
    Event event(*this, "CPU", "C");
    event.ts(ts);
    event.track(trace_pid);
    event.json().name("args");
    event.json().begin_object();
    event.json().name("%");
    event.json().float32(rates.cpu_percent);
    event.json().end_object();
  }
  Event event(*this, "I/O", "C");
  event.ts(ts);
  event.track(trace_pid);
  event.json().name("args");
  event.json().begin_object();
  event.json().name("read B/s");
  event.json().float32(rates.read_bytes_per_second);
  event.json().name("write B/s");
  event.json().float32(rates.write_bytes_per_second);
  event.json().end_object();
}

void TraceWriter::write_memory(uint32_t trace_pid, int64_t ts, uint64_t bytes) {
  Event event(*this, "Memory", "C");
  event.ts(ts);
  event.track(trace_pid);
  event.json().name("args");
  event.json().begin_object();
  event.json().name(memory_key_);
  event.json().u64(bytes);
  event.json().end_object();
}

void TraceWriter::tree_rates(int64_t interval_start_us, const TraceRates& rates) {
  if (!closed_) write_rates(tree_trace_pid_, trace_time(interval_start_us), rates);
}

void TraceWriter::tree_memory(int64_t at_us, uint64_t bytes, uint32_t process_count) {
  if (closed_) return;
  const int64_t ts = trace_time(at_us);
  write_memory(tree_trace_pid_, ts, bytes);
  Event event(*this, "Processes", "C");
  event.ts(ts);
  event.track(tree_trace_pid_);
  event.json().name("args");
  event.json().begin_object();
  event.json().name("count");
  event.json().u32(process_count);
  event.json().end_object();
}

void TraceWriter::command_started(int64_t at_us, std::string_view command_line) {
  if (closed_) return;
  Event event(*this, "command started", "i");
  event.ts(trace_time(at_us));
  event.track(tree_trace_pid_);
  event.json().name("s");
  event.json().string("g");
  event.json().name("args");
  event.json().begin_object();
  event.json().name("command");
  event.json().string(command_line);
  event.json().end_object();
}

void TraceWriter::command_ended(int64_t at_us, uint32_t exit_status, std::string_view how) {
  if (closed_) return;
  Event event(*this, "command ended", "i");
  event.ts(trace_time(at_us));
  event.track(tree_trace_pid_);
  event.json().name("s");
  event.json().string("g");
  event.json().name("args");
  event.json().begin_object();
  event.json().name("exit status");
  event.json().u32(exit_status);
  event.json().name("how");
  event.json().string(how);
  event.json().end_object();
}

void TraceWriter::write_sort_indices() {
  std::vector<uint32_t> parents(tracks_.size(), NO_PARENT);
  for (size_t i = 0; i < tracks_.size(); ++i) {
    if (!tracks_[i].parent_identity) continue;
    const auto parent = track_of_.find(*tracks_[i].parent_identity);
    if (parent != track_of_.end()) parents[i] = static_cast<uint32_t>(parent->second);
  }
  const std::vector<uint32_t> positions = tree_walk_positions(parents);
  const auto write_index = [this](uint32_t trace_pid, uint32_t index) {
    Event event(*this, "process_sort_index", "M");
    event.track(trace_pid);
    event.json().name("args");
    event.json().begin_object();
    event.json().name("sort_index");
    event.json().u32(index);
    event.json().end_object();
  };
  write_index(tree_trace_pid_, TREE_SORT_INDEX);
  for (size_t i = 0; i < tracks_.size(); ++i) {
    write_index(tracks_[i].trace_pid, TREE_SORT_INDEX + 1 + positions[i]);
  }
}

const Status& TraceWriter::close(int64_t end_us) {
  if (closed_) return status_;
  const int64_t end_ts = trace_time(end_us);
  for (Track& track : tracks_) {
    if (track.ended) continue;
    track.ended = true;
    write_lifetime(track, live_.at(track.identity), end_ts, END_STILL_RUNNING);
  }
  live_.clear();
  write_rates(tree_trace_pid_, end_ts, TraceRates{});
  write_sort_indices();
  closed_ = true;
  stage_.append("\n]}\n");
  return flush();
}

void TraceWriter::end_line() {
  if (stage_.size() >= STAGE_FLUSH_BYTES) (void)flush();
}

const Status& TraceWriter::flush() {
  if (status_.ok() && !stage_.empty()) status_ = output_.append(stage_);
  stage_.clear();
  return status_;
}

}  // namespace treemon::recorder
