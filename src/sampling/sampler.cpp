#include "sampling/sampler.h"

#include <algorithm>
#include <limits>
#include <unordered_set>
#include <utility>

#include "base/saturating.h"
#include "base/utf8.h"

namespace treemon {
namespace {

// What the platform reads of a process's texts leaves every character of a row's name and
// command whole (a UTF-8 character has at most 4 bytes), so the rows are those of whole texts.
static_assert(NAME_KEPT_BYTES >= NAME_MAX_BYTES + 3);
static_assert(COMMAND_LINE_READ_BYTES >= COMMAND_MAX_BYTES + 3);

uint64_t saturating_ms_from_s(uint64_t seconds) { return saturating_multiply(seconds, 1000); }

// The children of every parent, from the table's links.
const ChildLists& collect_children(SamplerState& state) {
  ChildLists& children = state.child_lists();
  children.reset(state.table().size());
  state.table().for_each_link([&children](const ProcessTable::Link& link) {
    children.add(link.parent_pid.value_or(0), link.pid, saturating_ms_from_s(link.start_time_s));
  });
  return children;
}

// The start time of a listed process in ms, or nothing when the table does not hold it.
std::optional<uint64_t> listed_start_ms(const ProcessTable& table, uint32_t pid) {
  const ProcessInfo* info = table.find(pid);
  if (info == nullptr) return std::nullopt;
  return saturating_ms_from_s(info->start_time_s);
}

void wait_for_refresh_interval(SamplerState& state) {
  const std::optional<MonoTime> previous = std::exchange(state.last_refresh, std::nullopt);
  if (!previous) return;
  const MonoTime now = state.clock().monotonic_now();
  const auto elapsed = now > *previous ? now - *previous : MonoTime::duration::zero();
  if (elapsed < MIN_REFRESH_INTERVAL) {
    state.clock().sleep_for(
        std::chrono::duration_cast<std::chrono::nanoseconds>(MIN_REFRESH_INTERVAL - elapsed));
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

// Whether `info` is the process `identity` names; the first process found names it from then on.
bool is_followed_process(const ProcessInfo* info, std::optional<uint64_t>& identity) {
  if (info == nullptr) return false;
  if (!identity) identity = info->identity;
  return *identity == info->identity;
}

std::vector<ExternalProcess> match_externals(WatchedProcesses& watched, const ProcessTable& table) {
  std::vector<ExternalProcess> matched;
  for (const auto& [pid, client_start_ms] : watched.externals) {
    const ProcessInfo* info = table.find(pid);
    if (info == nullptr) continue;
    const uint64_t start_ms = saturating_ms_from_s(info->start_time_s);
    auto known = watched.external_identities.find(pid);
    if (known == watched.external_identities.end()) {
      if (!start_time_matches(start_ms, client_start_ms)) continue;
      watched.external_identities.emplace(pid, info->identity);
    } else if (known->second != info->identity) {
      continue;
    }
    matched.push_back({pid, start_ms});
  }
  return matched;
}

// Breadth-first from the seeds, following a child only when it started no earlier than its
// parent. Within a pass a pid has exactly one entry and so one start time: "expanded" is kept
// per pid.
std::vector<uint32_t> walk_tree(const ProcessTable& table, const ChildLists& children,
                                const std::vector<uint32_t>& seeds) {
  struct Visit {
    uint32_t pid;
    uint64_t start_ms;
  };
  std::vector<Visit> queue;
  for (uint32_t seed : seeds) {
    if (const std::optional<uint64_t> start_ms = listed_start_ms(table, seed)) {
      queue.push_back({seed, *start_ms});
    }
  }
  std::unordered_set<uint32_t> expanded;
  std::vector<uint32_t> selected;
  for (size_t next = 0; next < queue.size(); ++next) {
    const Visit current = queue[next];
    if (!expanded.insert(current.pid).second) continue;
    selected.push_back(current.pid);
    for (uint32_t index = children.first_child(current.pid); index != ChildLists::NONE;
         index = children.child(index).next_sibling) {
      const ChildLists::Child& child = children.child(index);
      if (child.start_ms >= current.start_ms) queue.push_back({child.pid, child.start_ms});
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

// Keeps the previous buffer when the text is unchanged.
void reuse_or_replace(SharedText& kept, std::string_view text) {
  if (kept.view() != text) kept = SharedText(std::string(text));
}

}  // namespace

const RowTextCache::Texts& RowTextCache::texts_for(uint32_t pid, std::string_view name,
                                                   std::string_view command,
                                                   std::string_view status) {
  Entry& entry = entries_[pid];
  reuse_or_replace(entry.texts.name, name);
  reuse_or_replace(entry.texts.command, command);
  reuse_or_replace(entry.texts.status, status);
  entry.pass = pass_;
  return entry.texts;
}

void RowTextCache::end_pass() {
  std::erase_if(entries_, [this](const auto& pair) { return pair.second.pass != pass_; });
}

SamplerState::SamplerState(ProcessPlatform& platform) : platform_(platform), table_(platform) {}

void refresh_for_configure(SamplerState& state) { refresh_table(state); }

WatchedProcesses watch(const SamplerState& state, uint32_t root_pid, ExternalProcessMap externals) {
  WatchedProcesses watched{root_pid, std::nullopt, std::move(externals), {}};
  if (const ProcessInfo* root = state.table().find(root_pid)) {
    watched.root_identity = root->identity;
  }
  return watched;
}

void replace_externals(WatchedProcesses& watched, ExternalProcessMap externals) {
  std::erase_if(watched.external_identities, [&externals, &watched](const auto& known) {
    const auto named_now = externals.find(known.first);
    const auto named_before = watched.externals.find(known.first);
    return named_now == externals.end() || named_before == watched.externals.end() ||
           named_now->second != named_before->second;
  });
  watched.externals = std::move(externals);
}

Snapshot sample(SamplerState& state, WatchedProcesses& watched,
                std::optional<std::string> request_id) {
  wait_for_refresh_interval(state);
  Clock& clock = state.clock();
  const MonoTime start = clock.monotonic_now();
  refresh_table(state);

  const ChildLists& children = collect_children(state);
  Snapshot snapshot;
  snapshot.externalProcesses = match_externals(watched, state.table());
  std::vector<uint32_t> seeds;
  seeds.reserve(snapshot.externalProcesses.size() + 1);
  for (const ExternalProcess& external : snapshot.externalProcesses) seeds.push_back(external.pid);
  if (is_followed_process(state.table().find(watched.root_pid), watched.root_identity)) {
    seeds.push_back(watched.root_pid);
  }

  std::vector<uint32_t> selected = walk_tree(state.table(), children, seeds);
  std::sort(selected.begin(), selected.end());
  // Only the processes that get a row pay for their I/O, memory and command line.
  state.table().read_figures(selected);
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
