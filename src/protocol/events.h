// Module protocol: the Command records and parse_command, the events and the byte-exact JSON
// writer. It writes sampling's plain records and uses base; it knows no process table.
//
// The four events the monitor writes, and write_event, which writes one as compact JSON text.
//
// write_event writes no line ending; the caller (the EventWriter) ends the line and flushes.
// Writing has no failure of its own: the only failure is the output's, returned at once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "base/status.h"
#include "protocol/output_sink.h"
#include "sampling/snapshot.h"

namespace treemon {

// The project version, set once in CMakeLists.txt; --version prints it too.
inline constexpr std::string_view SIDECAR_VERSION = TREEMON_VERSION;

struct HelloEvent {
  uint32_t sidecarPid = 0;
  std::string_view platform;  // "linux", "windows"
  std::string_view arch;      // "x86_64", "aarch64"
};

struct SnapshotEvent {
  const Snapshot* snapshot = nullptr;
};

struct HistoryChunkEvent {
  std::string_view requestId;
  bool done = false;
  std::span<const Snapshot> snapshots;
};

struct ErrorEvent {
  std::string_view code;  // "not-configured", "protocol-mismatch", "invalid-command"
  std::string_view message;
  bool recoverable = true;
};

using Event = std::variant<HelloEvent, SnapshotEvent, HistoryChunkEvent, ErrorEvent>;

Status write_event(const Event& event, OutputSink& output);

}  // namespace treemon
