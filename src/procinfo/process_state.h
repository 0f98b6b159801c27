// ProcessState: the scheduling state of a process and the text the sampler writes for it.
#pragma once

#include <cstdint>
#include <string>

namespace treemon {

// In code order; Unknown carries the platform's own code.
enum class ProcessStateKind : uint8_t {
  Idle,
  Run,
  Sleep,
  Stop,
  Zombie,
  Tracing,
  Dead,
  Wakekill,
  Waking,
  Parked,
  LockBlocked,
  UninterruptibleDiskSleep,
  Suspended,
  Unknown,
};

struct ProcessState {
  ProcessStateKind kind = ProcessStateKind::Run;
  uint32_t unknown_code = 0;  // meaningful only for Unknown

  static ProcessState unknown(uint32_t code) { return {ProcessStateKind::Unknown, code}; }

  // "Run", "Sleep", ..., or "Unknown(7)" for Unknown with code 7.
  std::string text() const;

  friend bool operator==(const ProcessState&, const ProcessState&) = default;
};

}  // namespace treemon
