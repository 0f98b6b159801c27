#include "sampling/sampler.h"

#include <algorithm>
#include <limits>
#include <unordered_set>
#include <utility>

#include "sampling/text_cut.h"

namespace treemon {
namespace {

constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();

uint64_t saturating_ms_from_s(uint64_t seconds) {
  return seconds > U64_MAX / 1000 ? U64_MAX : seconds * 1000;
}

struct Child {
  uint32_t pid;
  uint64_t start_ms;
};

// The parent links of one pass, built once from the table.
struct ProcessLinks {
  std::unordered_map<uint32_t, std::vector<Child>> children;  // parentless under 0
  std::unordered_map<uint32_t, uint64_t> start_ms;
};

ProcessLinks collect_links(const ProcessTable& table) {
  ProcessLinks links;
  links.start_ms.reserve(table.size());
  links.children.reserve(table.size());
  table.for_each_entry([&links](const ProcessInfo& info) {
    const uint64_t start = saturating_ms_from_s(info.start_time_s);
    links.start_ms.emplace(info.pid, start);
    links.children[info.parent_pid.value_or(0)].push_back({info.pid, start});
  });
  return links;
}

void wait_for_refresh_interval(SamplerState& state) {
  const std::optional<MonoTime> previous = std::exchange(state.last_refresh, std::nullopt);
  if (!previous) return;
  const MonoTime now = state.clock().monotonic_now();
  const auto elapsed = now > *previous ? now - *previous : MonoTime::duration::zero();
  if (elapsed < MIN_REFRESH_INTERVAL) {
    state.clock().sleep_for(std::chrono::duration_cast<std::chrono::nanoseconds>(
        MIN_REFRESH_INTERVAL - elapsed));
  }
}

void refresh_table(SamplerState& state) {
  state.table().refresh(RefreshOptions::everything(), /*remove_ended=*/true);
  state.last_refresh = state.clock().monotonic_now();
}

// A client's start time matches when it falls in the whole second at which the process started:
// the table knows start times only to the second.
bool start_time_matches(uint64_t table_start_ms, const std::optional<uint64_t>& client_start_ms) {
  return !client_start_ms || table_start_ms == *client_start_ms - *client_start_ms % 1000;
}

std::vector<ExternalProcess> match_externals(const ExternalProcessMap& externals,
                                             const ProcessLinks& links) {
  std::vector<ExternalProcess> matched;
  for (const auto& [pid, client_start_ms] : externals) {
    const auto found = links.start_ms.find(pid);
    if (found == links.start_ms.end() || !start_time_matches(found->second, client_start_ms)) {
      continue;
    }
    matched.push_back({pid, found->second});
  }
  return matched;
}

// Breadth-first from the seeds, following a child only when it started no earlier than its
// parent. Within a pass a pid has exactly one start time, so "expanded" is kept by pid alone.
std::vector<uint32_t> walk_tree(const ProcessLinks& links, const std::vector<uint32_t>& seeds) {
  std::vector<Child> queue;
  for (uint32_t seed : seeds) {
    const auto found = links.start_ms.find(seed);
    if (found != links.start_ms.end()) queue.push_back({seed, found->second});
  }
  std::unordered_set<uint32_t> expanded;
  std::vector<uint32_t> selected;
  for (size_t next = 0; next < queue.size(); ++next) {
    const Child current = queue[next];
    if (!expanded.insert(current.pid).second) continue;
    selected.push_back(current.pid);
    const auto children = links.children.find(current.pid);
    if (children == links.children.end()) continue;
    for (const Child& child : children->second) {
      if (child.start_ms >= current.start_ms) queue.push_back(child);
    }
  }
  return selected;
}

// Arguments joined by single spaces, unquoted; the name when there are none.
void build_command(const ProcessInfo& info, std::string& out) {
  out.clear();
  if (info.arguments.empty()) {
    out = info.name;
    return;
  }
  for (size_t i = 0; i < info.arguments.size(); ++i) {
    if (i > 0) out += ' ';
    out += info.arguments[i];
  }
}

ProcessSample make_row(const ProcessInfo& info, const RowTextCache::Texts& texts) {
  ProcessSample row;
  row.pid = info.pid;
  row.ppid = info.parent_pid.value_or(0);
  row.startTimeMs = saturating_ms_from_s(info.start_time_s);
  row.runTimeMs = saturating_ms_from_s(info.run_time_s);
  row.name = texts.name;
  row.command = texts.command;
  row.status = texts.status;
  row.cpuPercent = info.cpu_percent;
  row.cpuTimeMs = info.cpu_time_ms;
  row.residentBytes = info.resident_bytes;
  row.virtualBytes = info.virtual_bytes;
  row.ioReadBytes = info.read_bytes;
  row.ioWriteBytes = info.written_bytes;
  row.ioSemantics = IoSemantics::AllIo;
  return row;
}

std::vector<ProcessSample> build_rows(SamplerState& state, const std::vector<uint32_t>& pids) {
  std::vector<ProcessSample> rows;
  rows.reserve(pids.size());
  RowTextCache& cache = state.text_cache();
  cache.begin_pass();
  std::string command;
  for (uint32_t pid : pids) {
    const ProcessInfo* info = state.table().find(pid);
    if (info == nullptr) continue;
    build_command(*info, command);
    const std::string status = info->state.text();
    const auto& texts = cache.texts_for(pid, cut_to_bytes(info->name, NAME_MAX_BYTES),
                                        cut_to_bytes(command, COMMAND_MAX_BYTES),
                                        cut_to_bytes(status, STATUS_MAX_BYTES));
    rows.push_back(make_row(*info, texts));
  }
  cache.end_pass();
  return rows;
}

uint64_t elapsed_micros(MonoTime start, MonoTime end) {
  if (end <= start) return 0;
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(end - start).count();
  return static_cast<uint64_t>(micros);
}

// Reuses the previous buffer when the text is unchanged.
SharedText reuse_or_make(const SharedText* previous, std::string_view text) {
  if (previous != nullptr && previous->view() == text) return *previous;
  return SharedText(std::string(text));
}

}  // namespace

void RowTextCache::begin_pass() {
  previous_ = std::move(current_);
  current_.clear();
  current_.reserve(previous_.size());
}

const RowTextCache::Texts& RowTextCache::texts_for(uint32_t pid, std::string_view name,
                                                   std::string_view command,
                                                   std::string_view status) {
  const auto found = previous_.find(pid);
  const Texts* old = found == previous_.end() ? nullptr : &found->second;
  Texts texts{reuse_or_make(old ? &old->name : nullptr, name),
              reuse_or_make(old ? &old->command : nullptr, command),
              reuse_or_make(old ? &old->status : nullptr, status)};
  return current_.insert_or_assign(pid, std::move(texts)).first->second;
}

void RowTextCache::end_pass() { previous_.clear(); }

SamplerState::SamplerState(ProcessPlatform& platform) : platform_(platform), table_(platform) {}

void refresh_for_configure(SamplerState& state) { refresh_table(state); }

Snapshot sample(SamplerState& state, uint32_t root_pid, const ExternalProcessMap& externals,
                std::optional<std::string> request_id) {
  wait_for_refresh_interval(state);
  Clock& clock = state.clock();
  const MonoTime start = clock.monotonic_now();
  refresh_table(state);

  const ProcessLinks links = collect_links(state.table());
  Snapshot snapshot;
  snapshot.externalProcesses = match_externals(externals, links);
  std::vector<uint32_t> seeds;
  seeds.reserve(snapshot.externalProcesses.size() + 1);
  for (const ExternalProcess& external : snapshot.externalProcesses) seeds.push_back(external.pid);
  seeds.push_back(root_pid);

  std::vector<uint32_t> selected = walk_tree(links, seeds);
  std::sort(selected.begin(), selected.end());
  snapshot.processes = build_rows(state, selected);

  if (state.last_sequence < U64_MAX) ++state.last_sequence;
  snapshot.sequence = state.last_sequence;
  snapshot.sampledAtUnixMs = unix_ms_from_ns(clock.wall_now_unix_ns());
  snapshot.collectionDurationMicros = elapsed_micros(start, clock.monotonic_now());
  snapshot.scannedProcessCount = state.table().size();
  snapshot.retainedProcessCount = snapshot.processes.size();
  snapshot.inaccessibleProcessCount = selected.size() - snapshot.processes.size();
  snapshot.version = PROTOCOL_VERSION;
  snapshot.requestId = std::move(request_id);
  return snapshot;
}

}  // namespace treemon
