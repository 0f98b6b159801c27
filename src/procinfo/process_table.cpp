#include "procinfo/process_table.h"

#include <cstdint>
#include <utility>

#include "base/saturating.h"
#include "procinfo/cpu_meter.h"

namespace treemon {
namespace {

constexpr uint64_t HUNDRED_NS_PER_MS = 10000;
std::optional<uint32_t> parent_from_list(uint32_t listed_parent) {
  if (listed_parent == 0) return std::nullopt;
  return listed_parent;
}

}  // namespace

// What every refresh reads and writes comes first, then the info, whose own first fields are the
// figures a refresh writes: one refresh touches as few of an entry's cache lines as it can.
struct ProcessTable::Entry {
  std::unique_ptr<ProcessHandle> handle;  // null when the process could not be opened
  // The start time the list gave at creation; a different one later means the pid was reused.
  std::optional<uint64_t> listed_start_time_s;
  CpuMeter cpu;
  uint64_t listed_in = 0;         // the last refresh whose list held this entry's process
  size_t order_index = SIZE_MAX;  // its slot in the order of the last list that held it
  // Figure groups the last refresh asked for and that phase two has not read yet.
  bool io_pending = false;
  bool memory_pending = false;
  bool command_line_pending = false;
  bool status_pending = false;  // the list deferred the state and name
  bool open_refused = false;    // no handle, as the process refused to be opened
  ProcessInfo info;
};

// What one refresh reads once and every entry update shares.
struct ProcessTable::RefreshContext {
  const RefreshOptions& options;
  uint64_t wall_seconds = 0;
  MonoTime now{};
  // Read at most once, when the first CPU reading needs it; empty when the read failed.
  std::optional<MachineTimes> machine;
  bool machine_read = false;
  size_t list_cursor = 0;     // into list_order_
  size_t listed_entries = 0;  // entries listed by this refresh, each counted once
};

ProcessTable::ProcessTable(ProcessPlatform& platform) : platform_(platform) {}

ProcessTable::~ProcessTable() = default;

std::vector<const ProcessInfo*> ProcessTable::entries() const {
  std::vector<const ProcessInfo*> all;
  all.reserve(entries_.size());
  for (const auto& [pid, entry] : entries_) all.push_back(&entry->info);
  return all;
}

const ProcessInfo* ProcessTable::find(uint32_t pid) const {
  auto found = entries_.find(pid);
  return found == entries_.end() ? nullptr : &found->second->info;
}

ProcessTable::Entry* ProcessTable::find_in_list_order(uint32_t pid, size_t& cursor) const {
  if (Entry* entry = list_order_.take_at(cursor, pid)) return entry;
  auto found = entries_.find(pid);
  if (found == entries_.end()) return nullptr;
  Entry* entry = found->second.get();
  list_order_.move_past(cursor, entry, entry->order_index);
  return entry;
}

ProcessHandle* ProcessTable::Handles::find_opened(uint32_t pid) const {
  Entry* entry = table_.find_in_list_order(pid, cursor_);
  return entry == nullptr ? nullptr : entry->handle.get();
}

void ProcessTable::read_figures(std::span<const uint32_t> pids) {
  for (uint32_t pid : pids) {
    auto found = entries_.find(pid);
    if (found != entries_.end()) read_pending_figures(*found->second);
  }
}

std::optional<uint64_t> ProcessTable::read_memory_share(uint32_t pid) {
  const auto found = entries_.find(pid);
  if (found == entries_.end() || !found->second->handle) return std::nullopt;
  return platform_.memory_share(*found->second->handle);
}

void ProcessTable::read_all_figures() {
  for (auto& [pid, entry] : entries_) read_pending_figures(*entry);
}

void ProcessTable::for_each_link(const std::function<void(const Link&)>& visit) const {
  for (const auto& [pid, entry] : entries_) {
    visit(Link{pid, entry->info.parent_pid, entry->info.start_time_s});
  }
}

void ProcessTable::refresh(const RefreshOptions& options, bool remove_ended) {
  RefreshContext context{options,
                         unix_seconds_from_ns(platform_.wall_now_unix_ns()),
                         platform_.monotonic_now(),
                         std::nullopt,
                         false,
                         0,
                         0};
  if (options.cpu && processor_count_ == 0) processor_count_ = platform_.processor_count();

  ++refresh_count_;
  list_order_.begin();
  const bool listed = platform_.list_processes(listed_, Handles(*this));
  if (listed) {
    for (const ListedProcess& process : listed_) refresh_listed(process, context);
    lost_sight_.clear();
  }
  // From here on entries may be destroyed: the previous order is dropped first.
  list_order_.finish();
  if (remove_ended && context.listed_entries < entries_.size()) {
    if (!listed) remember_lost_sight();
    remove_unlisted();
  }
}

void ProcessTable::remember_lost_sight() {
  for (const auto& [pid, entry] : entries_) {
    lost_sight_[pid] = LostSight{entry->info.identity, entry->info.start_time_s};
  }
}

uint64_t ProcessTable::identity_for(uint32_t pid, uint64_t start_time_s) {
  auto lost = lost_sight_.find(pid);
  if (lost != lost_sight_.end() && start_time_s != 0 && lost->second.start_time_s == start_time_s) {
    return lost->second.identity;
  }
  return ++last_identity_;
}

void ProcessTable::remove_unlisted() {
  const uint64_t current = refresh_count_;
  std::erase_if(entries_,
                [current](const auto& pair) { return pair.second->listed_in != current; });
}

void ProcessTable::refresh_listed(const ListedProcess& listed, RefreshContext& context) {
  Entry* entry = find_in_list_order(listed.pid, context.list_cursor);
  std::unique_ptr<ProcessHandle> handle;
  bool refused = false;
  bool new_process = entry == nullptr;
  if (entry != nullptr) {
    if (is_reused_pid(*entry, listed)) {
      entry->handle.reset();  // the old process's handle is closed before the new one is opened
      new_process = true;
    } else if (!entry->handle && may_open_again(*entry, listed)) {
      // Without a handle, and where the list gives no start time, nothing tells whether the pid
      // was reused; a pid that could not be opened and now can is taken for a new process.
      handle = open(listed, refused);
      new_process = handle != nullptr;
      entry->open_refused = refused;
    }
  }
  if (new_process) {
    if (!handle) handle = open(listed, refused);
    if (entry == nullptr) {
      entry = entries_.emplace(listed.pid, std::make_unique<Entry>()).first->second.get();
    }
    start_entry(*entry, listed, std::move(handle), context);
    entry->open_refused = refused;
  } else {
    ProcessInfo& info = entry->info;
    info.parent_pid = parent_from_list(listed.parent_pid);
    // A process that replaced its program (exec on Linux) is listed under its new name; where a
    // process cannot change its image, the list gives the same name every time.
    if (gives_name(listed) && info.name != listed.name) {
      info.name = listed.name;
    }
  }
  update_entry(*entry, listed, context);
  if (entry->listed_in != refresh_count_) {
    entry->listed_in = refresh_count_;
    ++context.listed_entries;
  }
  // Every lookup of this pid in this refresh has been made by now (the platform's while it
  // listed, this one), so the index may already name the slot of the next refresh.
  entry->order_index = list_order_.append(listed.pid, entry);
}

bool ProcessTable::is_reused_pid(const Entry& entry, const ListedProcess& listed) {
  if (listed.listing == Listing::ReplacesOpened) return true;
  return listed.start_time_s && entry.listed_start_time_s &&
         *listed.start_time_s != *entry.listed_start_time_s;
}

// A refusal is the process's answer for its whole life, so only a pid the list now shows under
// another name or parent may be a process that could be opened. (A reused pid almost always
// differs in one of them.)
bool ProcessTable::may_open_again(const Entry& entry, const ListedProcess& listed) {
  if (!entry.open_refused) return true;
  if (parent_from_list(listed.parent_pid) != entry.info.parent_pid) return true;
  return gives_name(listed) && listed.name != entry.info.name;
}

std::unique_ptr<ProcessHandle> ProcessTable::open(const ListedProcess& listed, bool& refused) {
  refused = false;
  if (listed.pid == 0) return nullptr;
  std::unique_ptr<ProcessHandle> handle = platform_.open_process(listed);
  refused = !handle && platform_.last_open_refused();
  return handle;
}

// Makes `entry` a new process's: whatever it held of a process that reused the pid is dropped.
void ProcessTable::start_entry(Entry& entry, const ListedProcess& listed,
                               std::unique_ptr<ProcessHandle> handle,
                               const RefreshContext& context) {
  const uint64_t listed_in = entry.listed_in;
  entry = Entry{};
  entry.listed_in = listed_in;
  entry.info.pid = listed.pid;
  entry.info.name = listed.name;
  entry.info.parent_pid = parent_from_list(listed.parent_pid);
  entry.listed_start_time_s = listed.start_time_s;
  entry.handle = std::move(handle);
  if (entry.handle) {
    // An unreadable creation time reports 0 ("unknown"), never a wrapped or guessed value.
    std::optional<ProcessTimes> times = platform_.process_times(*entry.handle);
    if (times && times->start_time_s) entry.info.start_time_s = *times->start_time_s;
  }
  entry.info.identity = identity_for(listed.pid, entry.info.start_time_s);
  entry.cpu.read_at = context.now;
}

void ProcessTable::update_entry(Entry& entry, const ListedProcess& listed,
                                RefreshContext& context) {
  // A deferred state is read in the second phase; a new entry's list always gives one.
  entry.status_pending = listed.listing == Listing::StatusDeferred && entry.handle;
  if (!entry.status_pending) entry.info.state = listed.state;
  if (context.options.cpu) read_cpu(entry, context);
  if (entry.handle) {
    entry.io_pending |= context.options.io;
    entry.memory_pending |= context.options.memory;
    entry.command_line_pending |= context.options.command_line;
  }
  const uint64_t start = entry.info.start_time_s;
  entry.info.run_time_s = context.wall_seconds >= start ? context.wall_seconds - start : 0;
}

void ProcessTable::read_pending_figures(Entry& entry) {
  ProcessInfo& info = entry.info;
  if (std::exchange(entry.status_pending, false)) {
    if (std::optional<ProcessStatus> status = platform_.process_status(*entry.handle)) {
      info.state = status->state;
      if (info.name != status->name) info.name = std::move(status->name);
    }
  }
  if (std::exchange(entry.io_pending, false)) {
    if (std::optional<IoTotals> io = platform_.io_totals(*entry.handle)) {
      info.read_bytes = io->read_bytes;
      info.written_bytes = io->written_bytes;
    }
  }
  if (std::exchange(entry.memory_pending, false)) {
    if (std::optional<MemoryFigures> memory = platform_.memory(*entry.handle)) {
      info.resident_bytes = memory->resident_bytes;
      info.virtual_bytes = memory->private_bytes;
    }
  }
  if (std::exchange(entry.command_line_pending, false)) {
    CommandLineRead read = platform_.command_line(*entry.handle);
    if (read.replace) info.arguments = std::move(read.arguments);
  }
}

// Where the platform times each reading of a process, the machine's times around it; else the
// machine's times are read once per refresh: every entry of one refresh measures against the
// same machine reading, so one refresh's percentages are comparable with each other.
std::optional<MachineSpan> ProcessTable::machine_span(Entry& entry, RefreshContext& context) {
  if (entry.handle) {
    if (std::optional<MachineSpan> around = platform_.machine_span_around(*entry.handle)) {
      return around;
    }
  }
  if (!context.machine_read) {
    context.machine = platform_.machine_times();
    context.machine_read = true;
  }
  if (!context.machine) return std::nullopt;
  return MachineSpan(*context.machine);
}

void ProcessTable::read_cpu(Entry& entry, RefreshContext& context) {
  std::optional<ProcessTimes> times;
  if (entry.handle) times = platform_.process_times(*entry.handle);
  const ProcessTimes counted = times.value_or(ProcessTimes{});  // a failed read counts as zero
  entry.info.cpu_time_ms =
      saturating_add(counted.kernel_100ns, counted.user_100ns) / HUNDRED_NS_PER_MS;
  const CpuStep step = step_cpu_meter(
      entry.cpu, CpuReading{context.now, times, machine_span(entry, context), processor_count_});
  entry.cpu = step.meter;
  if (step.percent) entry.info.cpu_percent = bounded_percent(entry, step);
}

// The threads are read only for a reading above one processor, the least any bound can be.
float ProcessTable::bounded_percent(Entry& entry, const CpuStep& step) {
  if (!entry.handle || *step.percent <= 100.0f) return *step.percent;
  const std::optional<uint32_t> threads = platform_.thread_count(*entry.handle);
  return threads ? bounded_by_threads(step, *threads, processor_count_) : *step.percent;
}

}  // namespace treemon
