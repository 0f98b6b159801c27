#include "procinfo/process_state.h"

#include <array>
#include <string_view>

namespace treemon {

std::string ProcessState::text() const {
  static constexpr std::array<std::string_view, 13> NAMES = {
      "Idle",     "Run",      "Sleep",  "Stop",   "Zombie",      "Tracing",
      "Dead",     "Wakekill", "Waking", "Parked", "LockBlocked", "UninterruptibleDiskSleep",
      "Suspended"};
  if (kind == ProcessStateKind::Unknown) return "Unknown(" + std::to_string(unknown_code) + ")";
  return std::string(NAMES[static_cast<size_t>(kind)]);
}

}  // namespace treemon
