#include "protocol/events.h"

#include <cstdio>
#include <cstdlib>

#include "protocol/json_writer.h"

namespace treemon {
namespace {

std::string_view io_semantics_text(IoSemantics semantics) {
  return semantics == IoSemantics::Storage ? "storage" : "all-io";
}

void write_header(JsonWriter& w, uint32_t version, std::string_view type) {
  w.begin_object();
  w.name("version");
  w.u32(version);
  w.name("type");
  w.string(type);
}

void write_external_process(JsonWriter& w, const ExternalProcess& process) {
  w.begin_object();
  w.name("pid");
  w.u32(process.pid);
  w.name("startTimeMs");
  if (process.startTimeMs) {
    w.u64(*process.startTimeMs);
  } else {
    w.null();
  }
  w.end_object();
}

void write_process_sample(JsonWriter& w, const ProcessSample& p) {
  w.begin_object();
  w.name("pid");
  w.u32(p.pid);
  w.name("ppid");
  w.u32(p.ppid);
  w.name("startTimeMs");
  w.u64(p.startTimeMs);
  w.name("runTimeMs");
  w.u64(p.runTimeMs);
  w.name("name");
  w.string(p.name.view());
  w.name("command");
  w.string(p.command.view());
  w.name("status");
  w.string(p.status.view());
  w.name("cpuPercent");
  w.float32(p.cpuPercent);
  w.name("cpuTimeMs");
  w.u64(p.cpuTimeMs);
  w.name("residentBytes");
  w.u64(p.residentBytes);
  w.name("virtualBytes");
  w.u64(p.virtualBytes);
  w.name("ioReadBytes");
  w.u64(p.ioReadBytes);
  w.name("ioWriteBytes");
  w.u64(p.ioWriteBytes);
  w.name("ioSemantics");
  w.string(io_semantics_text(p.ioSemantics));
  w.end_object();
}

// Snapshots inside a history chunk are written without their request id: the id belonged to the
// sampleNow that was answered at the time, not to this read of the history.
void write_snapshot(JsonWriter& w, const Snapshot& s, bool with_request_id) {
  write_header(w, s.version, "snapshot");
  w.name("sequence");
  w.u64(s.sequence);
  w.name("sampledAtUnixMs");
  w.u64(s.sampledAtUnixMs);
  w.name("collectionDurationMicros");
  w.u64(s.collectionDurationMicros);
  w.name("scannedProcessCount");
  w.u64(s.scannedProcessCount);
  w.name("retainedProcessCount");
  w.u64(s.retainedProcessCount);
  w.name("inaccessibleProcessCount");
  w.u64(s.inaccessibleProcessCount);
  if (with_request_id && s.requestId) {
    w.name("requestId");
    w.string(*s.requestId);
  }
  w.name("externalProcesses");
  w.begin_array();
  for (const ExternalProcess& process : s.externalProcesses) write_external_process(w, process);
  w.end_array();
  w.name("processes");
  w.begin_array();
  for (const ProcessSample& sample : s.processes) {
    if (w.failed()) return;
    write_process_sample(w, sample);
  }
  w.end_array();
  w.end_object();
}

void write_hello(JsonWriter& w, const HelloEvent& hello) {
  write_header(w, PROTOCOL_VERSION, "hello");
  w.name("sidecarVersion");
  w.string(SIDECAR_VERSION);
  w.name("sidecarPid");
  w.u32(hello.sidecarPid);
  w.name("platform");
  w.string(hello.platform);
  w.name("arch");
  w.string(hello.arch);
  w.name("capabilities");
  w.begin_object();
  for (std::string_view capability :
       {"cumulativeCpuTime", "currentCpuPercent", "residentMemory", "virtualMemory", "ioBytes",
        "processStartTime", "processTree"}) {
    w.name(capability);
    w.boolean(true);
  }
  w.end_object();
  w.end_object();
}

void write_history_chunk(JsonWriter& w, const HistoryChunkEvent& chunk) {
  write_header(w, PROTOCOL_VERSION, "historyChunk");
  w.name("requestId");
  w.string(chunk.requestId);
  w.name("done");
  w.boolean(chunk.done);
  w.name("snapshots");
  w.begin_array();
  for (const Snapshot& snapshot : chunk.snapshots) {
    if (w.failed()) return;
    write_snapshot(w, snapshot, /*with_request_id=*/false);
  }
  w.end_array();
  w.end_object();
}

void write_error(JsonWriter& w, const ErrorEvent& error) {
  write_header(w, PROTOCOL_VERSION, "error");
  w.name("code");
  w.string(error.code);
  w.name("message");
  w.string(error.message);
  w.name("recoverable");
  w.boolean(error.recoverable);
  w.end_object();
}

void write_snapshot_event(JsonWriter& w, const SnapshotEvent& event) {
  if (event.snapshot == nullptr) {
    // A programming error of the caller, not a condition of the output.
    std::fputs("Error: snapshot event without a snapshot\n", stderr);
    std::abort();
  }
  write_snapshot(w, *event.snapshot, /*with_request_id=*/true);
}

struct EventWriting {
  JsonWriter& w;
  void operator()(const HelloEvent& event) const { write_hello(w, event); }
  void operator()(const SnapshotEvent& event) const { write_snapshot_event(w, event); }
  void operator()(const HistoryChunkEvent& event) const { write_history_chunk(w, event); }
  void operator()(const ErrorEvent& event) const { write_error(w, event); }
};

}  // namespace

Status write_event(const Event& event, OutputSink& output) {
  JsonWriter writer(output);
  std::visit(EventWriting{writer}, event);
  return writer.finish();
}

}  // namespace treemon
