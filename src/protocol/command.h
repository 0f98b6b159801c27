// The Command record: one parsed command line, a tagged union of seven variants.
//
// A Command owns its strings and lists; nothing in it refers back to the line it was read from.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "sampling/snapshot.h"

namespace treemon {

struct Configure {
  uint32_t version = 0;
  uint32_t rootPid = 0;
  uint64_t sampleIntervalMs = 0;
  std::vector<ExternalProcess> externalProcesses;
  friend bool operator==(const Configure&, const Configure&) = default;
};

struct SetExternalProcesses {
  uint32_t version = 0;
  std::vector<ExternalProcess> processes;
  friend bool operator==(const SetExternalProcesses&, const SetExternalProcesses&) = default;
};

struct SetSampleInterval {
  uint32_t version = 0;
  uint64_t sampleIntervalMs = 0;
  friend bool operator==(const SetSampleInterval&, const SetSampleInterval&) = default;
};

struct SetStreaming {
  uint32_t version = 0;
  bool enabled = false;
  friend bool operator==(const SetStreaming&, const SetStreaming&) = default;
};

struct SampleNow {
  uint32_t version = 0;
  std::string requestId;
  friend bool operator==(const SampleNow&, const SampleNow&) = default;
};

struct ReadHistory {
  uint32_t version = 0;
  std::string requestId;
  uint64_t windowMs = 0;
  friend bool operator==(const ReadHistory&, const ReadHistory&) = default;
};

struct Shutdown {
  uint32_t version = 0;
  friend bool operator==(const Shutdown&, const Shutdown&) = default;
};

using Command = std::variant<Configure, SetExternalProcesses, SetSampleInterval, SetStreaming,
                             SampleNow, ReadHistory, Shutdown>;

inline uint32_t command_version(const Command& command) {
  return std::visit([](const auto& c) { return c.version; }, command);
}

}  // namespace treemon
