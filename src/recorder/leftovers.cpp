#include "recorder/leftovers.h"

#include <algorithm>
#include <unordered_map>

namespace treemon::recorder {
namespace {

bool is_zombie(const ProcessSample& p) {
  return p.status.view() == "Zombie" || p.status.view() == "Dead";
}

std::vector<ProcessKey> keys_of(const std::vector<ProcessSample>& processes) {
  std::vector<ProcessKey> keys;
  for (const ProcessSample& p : processes) keys.push_back(key_of(p));
  return keys;
}

}  // namespace

Snapshot still_running(ProcessPlatform& platform, SamplerState& state,
                       const std::vector<ProcessKey>& seen, uint32_t tree_root, uint32_t root_pid) {
  ExternalProcessMap externals;
  std::vector<uint32_t> roots;
  if (tree_root != NO_PROCESS) roots.push_back(tree_root);
  for (const ProcessKey& key : seen) {
    if (key.pid == root_pid) continue;
    externals[key.pid] = key.start_time_ms;
    roots.push_back(key.pid);
  }
  platform.list_only_trees(std::move(roots));
  WatchedProcesses watched = watch(state, tree_root, std::move(externals));
  Snapshot snapshot = sample(state, watched, std::nullopt);
  std::erase_if(snapshot.processes,
                [root_pid](const ProcessSample& p) { return p.pid == root_pid || is_zombie(p); });
  snapshot.retainedProcessCount = snapshot.processes.size();
  return snapshot;
}

std::vector<ProcessSample> end_processes(ProcessPlatform& platform, SamplerState& state,
                                         Session& session, std::vector<ProcessSample> processes,
                                         uint32_t root_pid, std::chrono::milliseconds grace) {
  std::vector<ProcessSample> signalled;
  const MonoTime force_from = state.clock().monotonic_now() + grace;
  for (int round = 0; !processes.empty() && round < END_ROUNDS; ++round) {
    const bool force = round >= END_ROUNDS - 2 || state.clock().monotonic_now() >= force_from;
    for (const ProcessSample& p : processes) {
      const bool known =
          std::any_of(signalled.begin(), signalled.end(),
                      [&p](const ProcessSample& s) { return key_of(s) == key_of(p); });
      if (!known) signalled.push_back(p);
      session.end_process(p.pid, force);
    }
    // A process given TERM gets time to end before the next look, up to the grace period.
    if (!force)
      session.wait(std::min(force_from, state.clock().monotonic_now() + grace / END_ROUNDS));
    processes = still_running(platform, state, keys_of(processes), NO_PROCESS, root_pid).processes;
  }
  return signalled;
}

}  // namespace treemon::recorder
