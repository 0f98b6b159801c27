// A sampling pass for tests and benchmarks that follows no process from earlier passes: the root
// and every external process are matched afresh, as a new configuration would match them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "sampling/sampler.h"

namespace treemon {

inline Snapshot sample(SamplerState& state, uint32_t root_pid, const ExternalProcessMap& externals,
                       std::optional<std::string> request_id) {
  WatchedProcesses watched{root_pid, std::nullopt, externals, {}};
  return sample(state, watched, std::move(request_id));
}

}  // namespace treemon
