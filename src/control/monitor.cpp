#include "control/monitor.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "control/command_reader.h"
#include "control/console.h"
#include "control/stop_signals.h"
#include "protocol/messages.h"

namespace treemon {

std::optional<std::chrono::milliseconds> normalise_interval(uint64_t sample_interval_ms) {
  if (sample_interval_ms == 0) return std::nullopt;
  const uint64_t clamped =
      std::min(std::max(sample_interval_ms, MIN_SAMPLE_INTERVAL_MS), MAX_SAMPLE_INTERVAL_MS);
  return std::chrono::milliseconds(clamped);
}

ExternalProcessMap external_process_map(const std::vector<ExternalProcess>& processes) {
  ExternalProcessMap map;
  for (const ExternalProcess& process : processes) map[process.pid] = process.startTimeMs;
  return map;
}

Monitor::Monitor(ProcessPlatform& platform, EventWriter& writer)
    : platform_(platform), writer_(writer), state_(platform) {}

Status Monitor::run_loop(IntakeSource& intake) {
  intake_ = &intake;
  for (;;) {
    if (stopping_ || intake.stop_requested()) return Status();
    const MonoTime now = platform_.monotonic_now();
    if (state_.next_sample_at && *state_.next_sample_at <= now) {
      if (Status failure = sample_due(); !failure.ok()) return failure;
      continue;
    }
    const MonoTime deadline = state_.next_sample_at ? *state_.next_sample_at : now + IDLE_WAIT;
    Received received = intake.receive_until(deadline);
    if (received.kind == Received::Kind::Closed || received.kind == Received::Kind::Stopped) {
      return Status();
    }
    if (received.kind == Received::Kind::TimedOut) continue;
    const Step step = handle(std::move(*received.message));
    if (!step.failure.ok()) return step.failure;
    if (step.next == Next::Stop) return Status();
  }
}

Monitor::Step Monitor::handle(IntakeMessage message) {
  if (auto* error = std::get_if<IntakeError>(&message)) {
    return {Next::Continue, write_error(CODE_INVALID_COMMAND, error->text, true)};
  }
  Command& command = std::get<Command>(message);
  const uint32_t version = command_version(command);
  if (version != PROTOCOL_VERSION) {
    return {Next::Continue,
            write_error(CODE_PROTOCOL_MISMATCH,
                        protocol_mismatch_message(version, PROTOCOL_VERSION), false)};
  }
  return dispatch(std::move(command));
}

Monitor::Step Monitor::dispatch(Command command) {
  struct Dispatcher {
    Monitor& monitor;
    Step operator()(const Configure& c) { return {Next::Continue, monitor.configure(c)}; }
    Step operator()(const SetExternalProcesses& c) {
      return {Next::Continue, monitor.set_external_processes(c)};
    }
    Step operator()(const SetSampleInterval& c) {
      return {Next::Continue, monitor.set_sample_interval(c)};
    }
    Step operator()(const SetStreaming& c) {
      monitor.state_.streaming = c.enabled;
      return {};
    }
    Step operator()(const SampleNow& c) { return {Next::Continue, monitor.sample_now(c)}; }
    Step operator()(const ReadHistory& c) { return {Next::Continue, monitor.read_history(c)}; }
    Step operator()(const Shutdown&) { return {Next::Stop, Status()}; }
  };
  return std::visit(Dispatcher{*this}, command);
}

Status Monitor::emit(const Event& event) {
  if (stopping_ || (intake_ != nullptr && intake_->stop_requested())) {
    stopping_ = true;
    return Status();
  }
  return writer_.write(event);
}

Status Monitor::write_error(std::string_view code, std::string_view message, bool recoverable) {
  return emit(ErrorEvent{code, message, recoverable});
}

Status Monitor::configure(const Configure& command) {
  const auto interval = normalise_interval(command.sampleIntervalMs);
  refresh_for_configure(state_.sampler);
  state_.config = MonitorConfig{
      watch(state_.sampler, command.rootPid, external_process_map(command.externalProcesses)),
      interval};
  state_.next_sample_at.reset();
  if (interval) state_.next_sample_at = platform_.monotonic_now();
  return Status();
}

Status Monitor::set_external_processes(const SetExternalProcesses& command) {
  if (!state_.config)
    return write_error(CODE_NOT_CONFIGURED, NOT_CONFIGURED_EXTERNAL_PROCESSES, true);
  replace_externals(state_.config->watched, external_process_map(command.processes));
  return Status();
}

Status Monitor::set_sample_interval(const SetSampleInterval& command) {
  if (!state_.config) return write_error(CODE_NOT_CONFIGURED, NOT_CONFIGURED_SAMPLE_INTERVAL, true);
  const auto interval = normalise_interval(command.sampleIntervalMs);
  state_.config->sample_interval = interval;
  state_.next_sample_at.reset();
  if (interval) state_.next_sample_at = platform_.monotonic_now() + *interval;
  return Status();
}

Status Monitor::sample_now(const SampleNow& command) {
  if (!state_.config) return write_error(CODE_NOT_CONFIGURED, NOT_CONFIGURED_SAMPLING, true);
  MonitorConfig& config = *state_.config;
  const Snapshot snapshot = sample(state_.sampler, config.watched, command.requestId);
  state_.history.append(snapshot);
  if (Status failure = emit(SnapshotEvent{&snapshot}); !failure.ok()) return failure;
  if (!state_.next_sample_at && config.sample_interval) {
    state_.next_sample_at = platform_.monotonic_now() + *config.sample_interval;
  }
  return Status();
}

Status Monitor::read_history(const ReadHistory& command) {
  if (!state_.config) return write_error(CODE_NOT_CONFIGURED, NOT_CONFIGURED_HISTORY, true);
  const uint64_t now_ms = unix_ms_from_ns(platform_.wall_now_unix_ns());
  const std::vector<Snapshot> selected = state_.history.read_window(command.windowMs, now_ms);
  const auto chunks = split_into_chunks(selected);
  for (size_t i = 0; i < chunks.size(); ++i) {
    const bool done = i + 1 == chunks.size();
    Status failure = emit(HistoryChunkEvent{command.requestId, done, chunks[i]});
    if (!failure.ok()) return failure;
  }
  return Status();
}

Status Monitor::sample_due() {
  if (!state_.config || !state_.config->sample_interval) {
    state_.next_sample_at.reset();
    return Status();
  }
  MonitorConfig& config = *state_.config;
  const Snapshot snapshot = sample(state_.sampler, config.watched, std::nullopt);
  state_.history.append(snapshot);
  if (state_.streaming) {
    if (Status failure = emit(SnapshotEvent{&snapshot}); !failure.ok()) return failure;
  }
  state_.next_sample_at = platform_.monotonic_now() + *config.sample_interval;
  return Status();
}

namespace {

// Memory that runs out anywhere, on either thread, ends the monitor as an output failure does:
// one line on standard error and status 1, never an abort.
[[noreturn]] void exit_out_of_memory() {
  write_standard_error_line(OUT_OF_MEMORY_LINE);
  std::_Exit(1);
}

}  // namespace

int run(PlatformMaker make_platform) {
  std::set_new_handler(exit_out_of_memory);
  hold_closed_standard_streams();
  CommandQueue queue = make_command_queue(QUEUE_CAPACITY);
  watch_stop_signals(queue.receiver.stop_requester());
  StandardOutput output;
  EventWriter writer(output);
  const auto fail = [](const Status& failure) {
    write_standard_error_line(std::string(OUTPUT_FAILURE_PREFIX).append(failure.message()));
    return 1;
  };
  const HelloEvent hello{current_process_id(), platform_name(), architecture_name()};
  if (Status failure = writer.write(hello); !failure.ok()) return fail(failure);

  start_command_reader(std::move(queue.sender));
  std::unique_ptr<ProcessPlatform> platform = make_platform();
  if (std::optional<std::string> warning = platform->start_up_warning()) {
    write_standard_error_line(std::string(WARNING_PREFIX) + *warning);
  }
  Status failure;
  {
    Monitor monitor(*platform, writer);
    failure = monitor.run_loop(queue.receiver);
  }
  if (!failure.ok()) return fail(failure);
  return 0;
}

}  // namespace treemon
