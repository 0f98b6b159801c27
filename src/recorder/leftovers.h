// The processes a command leaves behind, and ending them.
//
// After the command's end its descendants have left its tree (the sampler follows the
// descendants of a live root only), so every process seen during the run is looked for again by
// pid and start time (a reused pid does not match), with what it started since.
//
// Contract:
//  1. still_running() lists no process of `root_pid` and no zombie: a zombie has ended, only its
//     parent's wait is missing.
//  2. end_processes() signals only processes the table shows under the identity seen, TERM first,
//     KILL in the last rounds or once `grace` has passed; never a process group.
// Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "recorder/recording.h"
#include "recorder/session.h"
#include "sampling/sampler.h"

namespace treemon::recorder {

inline constexpr int END_ROUNDS = 10;

// The processes still running of those seen, and of the tree of `tree_root` if it still runs
// (a pid no process has stands for none), besides `root_pid`; the snapshot taken. The platform
// lists those trees alone.
Snapshot still_running(ProcessPlatform& platform, SamplerState& state,
                       const std::vector<ProcessKey>& seen, uint32_t tree_root, uint32_t root_pid);

// Ends `processes` and whatever they start meanwhile, looking again after each round: TERM, then
// KILL for those still there after `grace` or in the last two of END_ROUNDS rounds. Returns every
// process it signalled.
std::vector<ProcessSample> end_processes(ProcessPlatform& platform, SamplerState& state,
                                         Session& session, std::vector<ProcessSample> processes,
                                         uint32_t root_pid, std::chrono::milliseconds grace);

// A pid no process has: a tree rooted there is empty.
inline constexpr uint32_t NO_PROCESS = 0xffffffffu;

}  // namespace treemon::recorder
