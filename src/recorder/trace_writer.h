// TraceWriter: a run's process tree as a timeline in the Trace Event Format, written as the run
// goes, for Perfetto's UI and chrome://tracing, which open it as it is.
//
// What the trace holds:
//  - one trace process per process the tool saw, keyed by the table's entry identity, so that a
//    pid the OS reused during the run is a new track. Its trace pid is the OS pid while no other
//    track holds that number, and a number above every OS pid otherwise; its name, pid and
//    command line are in metadata events;
//  - one complete event per process for its lifetime, written when it ends (or at close, for
//    the processes still running then);
//  - per-process counters (CPU %, memory, I/O rates), the tree's counters on a track of their
//    own, and instant events for the command's start and end;
//  - at close, each track's sort index from a walk of the tree (trace_order.h), so that children
//    sit under their parent.
//
// The form: the JSON object, {"displayTimeUnit":"ms","otherData":{...},"traceEvents":[...]}.
// The array form's one advantage is that a file whose closing bracket is missing still opens in
// chrome://tracing; it cannot carry the run's description, and no JSON parser reads it either.
// Every way a run ends that the tool sees (the command's end or crash, Ctrl-C, SIGTERM, a time
// limit) closes the object. For the tool itself being killed, the object form is made to
// degrade the same way: the events are written one per line and handed to the output only
// whole, so such a file lacks only its last line, "]}", which Perfetto's streaming reader does
// without, and which appending makes it whole for any other reader. The keys are in the order
// Perfetto's reader needs: displayTimeUnit and otherData first (it reads the unit only near the
// start, and stops at a key it does not know), and "ts" before any value that is an array.
//
// Rules a change must keep:
//  1. Memory is bounded by the processes seen, never by the samples: per track, its number, its
//     parent and its start; for a live process also its name and command line, until it ends.
//     Events are staged and handed to the output in whole lines once STAGE_FLUSH_BYTES are
//     staged, at flush(), and at close().
//  2. Times are microseconds on the caller's clock; a trace time is the time less the origin,
//     never below 0 (a process started before the trace starts with it, and says so).
//  3. A rate is stamped at the start of the interval it covers: viewers hold a counter's value
//     until its next event, so the value then covers exactly its interval. A process's rates and
//     memory drop to 0 at its end, and the tree's rates at close, so that no value outlasts what
//     it measured.
//  4. Records about an identity the writer does not know, or whose process has ended, are
//     ignored, and so is a second start of one identity.
//  5. The output's first failure is kept; after it nothing more is handed over.
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/status.h"
#include "protocol/output_sink.h"

namespace treemon::recorder {

// What the trace's reader is told of the run: pairs shown as the trace's metadata (the tool, the
// command, what the memory counters measure), and the instant that is time 0.
struct TraceRun {
  int64_t origin_us = 0;
  std::vector<std::pair<std::string, std::string>> description;
  // The name of the memory figure, in counter names and the tree's metadata ("resident", "PSS",
  // "private working set").
  std::string memory_name = "resident";
};

// A process as the tool first saw it.
struct TracedProcess {
  uint64_t identity = 0;  // the table's entry identity, never reused within a run
  std::optional<uint64_t> parent_identity;
  uint32_t pid = 0;
  uint32_t parent_pid = 0;  // 0 when none is known
  std::string name;
  std::string command_line;
  int64_t start_us = 0;
};

// How the tool learned that a process ended.
enum class ProcessEnd {
  Reaped,     // the tool collected its exit: the time is exact
  FoundGone,  // the first sample that did not find it
};

struct TraceRates {
  float cpu_percent = 0;  // of one logical processor
  float read_bytes_per_second = 0;
  float write_bytes_per_second = 0;
};

class TraceWriter {
 public:
  static constexpr size_t STAGE_FLUSH_BYTES = 64 * 1024;

  // Stages the trace's opening; nothing reaches `output` before the first hand-over. `output`
  // must outlive the writer.
  TraceWriter(OutputSink& output, TraceRun run);
  TraceWriter(const TraceWriter&) = delete;
  TraceWriter& operator=(const TraceWriter&) = delete;

  void process_started(const TracedProcess& process);
  // Rates over the interval that starts at `interval_start_us`.
  void process_rates(uint64_t identity, int64_t interval_start_us, const TraceRates& rates);
  void process_memory(uint64_t identity, int64_t at_us, uint64_t bytes);
  void process_ended(uint64_t identity, int64_t at_us, ProcessEnd how);

  void tree_rates(int64_t interval_start_us, const TraceRates& rates);
  void tree_memory(int64_t at_us, uint64_t bytes, uint32_t process_count);

  void command_started(int64_t at_us, std::string_view command_line);
  // `exit_status` as the tool reports it (128+N for signal N); `how` says it in words.
  void command_ended(int64_t at_us, uint32_t exit_status, std::string_view how);

  // Hands every staged event to the output.
  const Status& flush();
  // Ends the lifetime of every process still running at `end_us`, writes the sort indices and
  // closes the JSON. Later calls do nothing.
  const Status& close(int64_t end_us);

  const Status& status() const { return status_; }
  size_t tracks() const { return tracks_.size(); }

 private:
  struct Track {
    uint64_t identity = 0;
    uint32_t trace_pid = 0;
    std::optional<uint64_t> parent_identity;
    int64_t start_ts = 0;  // trace time
    bool ended = false;
  };
  // What only the lifetime event needs, kept while the process runs.
  struct LiveProcess {
    uint32_t pid = 0;
    uint32_t parent_pid = 0;
    bool started_before_trace = false;
    std::string name;
    std::string command_line;
  };
  class Event;

  int64_t trace_time(int64_t us) const { return us > origin_us_ ? us - origin_us_ : 0; }
  Track* live_track(uint64_t identity);
  uint32_t take_trace_pid(uint32_t pid);
  void write_opening(const TraceRun& run);
  void write_names(const Track& track, const TracedProcess& process);
  void write_metadata(uint32_t trace_pid, std::string_view event_name, std::string_view key,
                      std::string_view value);
  void write_lifetime(const Track& track, const LiveProcess& live, int64_t end_ts,
                      std::string_view end);
  void write_rates(uint32_t trace_pid, int64_t ts, const TraceRates& rates);
  void write_memory(uint32_t trace_pid, int64_t ts, uint64_t bytes);
  void write_sort_indices();
  void end_line();

  OutputSink& output_;
  Status status_;
  const int64_t origin_us_;
  const std::string memory_key_;
  uint32_t tree_trace_pid_ = 0;
  uint32_t next_spare_pid_;
  bool first_event_ = true;
  bool closed_ = false;
  std::string stage_;
  std::vector<Track> tracks_;
  std::unordered_map<uint64_t, size_t> track_of_;
  std::unordered_map<uint64_t, LiveProcess> live_;
  std::unordered_set<uint32_t> trace_pids_;
};

}  // namespace treemon::recorder
