// Module control (this header is its entry point): start-up, the main loop and its schedule, the
// CommandReader thread and the CommandQueue, the EventWriter and the process's standard streams.
// It uses protocol, sampling and base, and procinfo only to create the platform at start-up.
//
// The monitor: start-up, the main loop with its sampling schedule, command dispatch and the exit
// status. The main thread owns every piece of monitor state; the only thing it shares with the
// CommandReader thread is the CommandQueue.
//
// Loop invariants:
//  1. A due periodic sample runs before any waiting command.
//  2. The loop wakes only for a command, a due sample or the idle wait; it never polls.
//  3. The schedule does not catch up: the next periodic sample is due one interval after the
//     previous one was written.
//  4. The first output failure ends the loop; nothing more is written to standard output.
//  5. Once the intake reports a stop request, no further event is written: the event being
//     written is finished, the loop ends at the next pass, as after shutdown.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "control/command_queue.h"
#include "control/event_writer.h"
#include "procinfo/platform.h"
#include "sampling/history.h"
#include "sampling/sampler.h"

namespace treemon {

inline constexpr uint64_t MIN_SAMPLE_INTERVAL_MS = 250;
inline constexpr uint64_t MAX_SAMPLE_INTERVAL_MS = 60000;
inline constexpr std::chrono::seconds IDLE_WAIT{60};

struct MonitorConfig {
  // The root as the configuration's refresh listed it, and the external processes.
  WatchedProcesses watched;
  std::optional<std::chrono::milliseconds> sample_interval;  // absent: no periodic sampling
};

// 0 gives no interval; anything else is clamped to 250..60000 ms.
std::optional<std::chrono::milliseconds> normalise_interval(uint64_t sample_interval_ms);

// A later entry with the same pid replaces the earlier one.
ExternalProcessMap external_process_map(const std::vector<ExternalProcess>& processes);

struct MonitorState {
  explicit MonitorState(ProcessPlatform& platform) : sampler(platform) {}

  std::optional<MonitorConfig> config;
  std::optional<MonoTime> next_sample_at;
  bool streaming = false;
  SnapshotHistory history;
  SamplerState sampler;
};

// The main loop over an intake source, writing through `writer`. The platform is also the clock
// of the schedule. Returns the output failure that ended it, or nothing for a clean end
// (shutdown, or the intake closed and drained).
class Monitor {
 public:
  Monitor(ProcessPlatform& platform, EventWriter& writer);

  Status run_loop(IntakeSource& intake);

  const MonitorState& state() const { return state_; }

 private:
  enum class Next { Continue, Stop };
  struct Step {
    Next next = Next::Continue;
    Status failure;
  };

  Step handle(IntakeMessage message);
  Step dispatch(Command command);
  Status sample_due();
  // Writes one event, or nothing once a stop has been requested.
  Status emit(const Event& event);
  Status write_error(std::string_view code, std::string_view message, bool recoverable);

  Status configure(const Configure& command);
  Status set_external_processes(const SetExternalProcesses& command);
  Status set_sample_interval(const SetSampleInterval& command);
  Status sample_now(const SampleNow& command);
  Status read_history(const ReadHistory& command);

  ProcessPlatform& platform_;
  EventWriter& writer_;
  IntakeSource* intake_ = nullptr;  // during run_loop
  bool stopping_ = false;
  MonitorState state_;
};

// Runs the monitor on the process's standard streams, on the platform `make_platform` makes
// (the system's; a test build may check it). Returns the exit status: 0 after shutdown, end of
// input or a termination signal, 1 after an output failure (with one "Error: " line on standard
// error).
using PlatformMaker = std::unique_ptr<ProcessPlatform> (*)();
int run(PlatformMaker make_platform = make_system_platform);

}  // namespace treemon
