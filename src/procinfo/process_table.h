// Module procinfo: the ProcessTable and its platform layer (one file per OS and a scripted one
// for tests). It uses base only and knows no JSON, trees or snapshots.
//
// ProcessTable: every process on the machine, one entry per pid, brought up to date only by
// explicit refreshes. It owns the per-process handles and the CPU baselines.
//
// Contract:
//  1. A refresh never fails: a process that cannot be read gives fewer figures, a vanished one
//     loses its entry (with remove_ended), a list that cannot be taken empties the table.
//  2. start_time_s never changes for an entry (the name follows the list, or the second phase
//     where the list deferred it, and changes only when a process replaces its program); a
//     listed pid whose start time differs from its entry's, or that the platform marks as
//     replacing the process it opened, is a new process and gets a new entry (cpu_percent 0.0,
//     baselines from its first reading). So does a pid whose entry has no handle and whose
//     process can now be opened: it is tried again at every refresh, except after a refusal
//     (access denied), which the same process repeats for its life: then only when the list
//     gives the pid another name or parent.
//  3. Counters saturate at 2^64-1 and differences are floored at 0.
//  4. cpu_percent changes only at an interval reading: at least CPU_INTERVAL_MIN after the
//     entry's previous CPU reading. An entry's first reading of both the process's and the
//     machine's times sets the baselines and is never an interval reading, so the first interval
//     reading measures a real interval (the arithmetic and its rules: cpu_meter.h).
//  5. A refresh has two phases. refresh() lists every process and takes its CPU reading, parent
//     and run time, and its state and name where the list gives them; read_figures() then reads
//     the state and name a list deferred, and the I/O, memory and command-line groups that
//     refresh asked for, for the processes a caller will report, each at most once per refresh.
//     What a caller sees is what reading every group during the refresh would have given.
//  6. The const methods do no I/O: they show the entries as the two phases left them.
//  7. An entry's identity is kept for as long as the table can tell it is the same process. A
//     list that cannot be taken says nothing about what ended, so an entry it removed gives its
//     identity back to a process that the next list shows under its pid with its start time.
//
// It knows nothing of trees, snapshots or JSON. Main thread only; no locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "procinfo/list_order.h"
#include "procinfo/platform.h"
#include "procinfo/process_state.h"

namespace treemon {

// The figures every refresh writes come first, so that they share as few cache lines as they can.
struct ProcessInfo {
  uint32_t pid = 0;
  std::optional<uint32_t> parent_pid;  // absent when the list gives 0
  ProcessState state;
  float cpu_percent = 0.0f;   // percent of one logical processor
  uint64_t cpu_time_ms = 0;   // kernel + user
  uint64_t start_time_s = 0;  // 0 when unknown
  uint64_t run_time_s = 0;
  std::string name;
  std::vector<std::string> arguments;
  uint64_t resident_bytes = 0;  // working set
  uint64_t virtual_bytes = 0;   // private committed memory
  uint64_t read_bytes = 0;      // every kind of I/O since start
  uint64_t written_bytes = 0;
  // This entry's process among all the table has held: a process that replaces another under
  // the same pid gets a new identity, even within the same second, and none is ever used twice.
  uint64_t identity = 0;
};

struct RefreshOptions {
  bool cpu = true;
  bool io = true;
  bool memory = true;
  bool command_line = true;

  static RefreshOptions everything() { return {}; }
};

struct CpuStep;

class ProcessTable {
 public:
  // The table does not own the platform; it must outlive the table.
  explicit ProcessTable(ProcessPlatform& platform);
  ~ProcessTable();
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  // Phase one, for every process.
  void refresh(const RefreshOptions& options, bool remove_ended);

  // Phase two, for the named processes (pids the table does not hold are passed over): the
  // figure groups the last refresh asked for and that are not read yet. An entry not named keeps
  // the figures of its last read.
  void read_figures(std::span<const uint32_t> pids);
  void read_all_figures();

  // The process's memory as the platform's memory_share_kind() counts it, read now; nothing for
  // a pid the table does not hold or whose process cannot be read. It costs far more than the
  // figures of a refresh, so the caller chooses the processes it is read for.
  std::optional<uint64_t> read_memory_share(uint32_t pid);
  MemoryShareKind memory_share_kind() const { return platform_.memory_share_kind(); }

  // Every entry, in unspecified order.
  std::vector<const ProcessInfo*> entries() const;
  const ProcessInfo* find(uint32_t pid) const;

  // The links of the process tree (pid, parent, start time) of every entry, in unspecified
  // order.
  struct Link {
    uint32_t pid = 0;
    std::optional<uint32_t> parent_pid;
    uint64_t start_time_s = 0;
  };
  void for_each_link(const std::function<void(const Link&)>& visit) const;
  size_t size() const { return entries_.size(); }

  uint32_t processor_count() const { return processor_count_; }

 private:
  struct Entry;
  struct RefreshContext;

  Entry* find_in_list_order(uint32_t pid, size_t& cursor) const;

  void refresh_listed(const ListedProcess& listed, RefreshContext& context);
  static bool is_reused_pid(const Entry& entry, const ListedProcess& listed);
  static bool may_open_again(const Entry& entry, const ListedProcess& listed);
  // Null for pid 0, which is never opened, and for a process that cannot be opened; `refused`
  // tells whether the process refused.
  std::unique_ptr<ProcessHandle> open(const ListedProcess& listed, bool& refused);
  void start_entry(Entry& entry, const ListedProcess& listed, std::unique_ptr<ProcessHandle> handle,
                   const RefreshContext& context);
  void remove_unlisted();
  void remember_lost_sight();
  uint64_t identity_for(uint32_t pid, uint64_t start_time_s);
  void update_entry(Entry& entry, const ListedProcess& listed, RefreshContext& context);
  void read_cpu(Entry& entry, RefreshContext& context);
  float bounded_percent(Entry& entry, const CpuStep& step);
  // Reads the figure groups the last refresh left to phase two for this entry.
  void read_pending_figures(Entry& entry);
  std::optional<MachineSpan> machine_span(Entry& entry, RefreshContext& context);

  // The entries' handles, for the platform's list.
  class Handles final : public OpenedProcesses {
   public:
    explicit Handles(const ProcessTable& table) : table_(table) {}
    ProcessHandle* find_opened(uint32_t pid) const override;

   private:
    const ProcessTable& table_;
    mutable size_t cursor_ = 0;
  };

  ProcessPlatform& platform_;
  std::unordered_map<uint32_t, std::unique_ptr<Entry>> entries_;
  // Reused between refreshes to spare allocations.
  std::vector<ListedProcess> listed_;
  ListOrder<Entry> list_order_;
  uint64_t refresh_count_ = 0;
  uint32_t processor_count_ = 0;
  uint64_t last_identity_ = 0;
  // The entries a failed list removed, by pid: their identities and start times, until the next
  // list that is taken.
  struct LostSight {
    uint64_t identity = 0;
    uint64_t start_time_s = 0;
  };
  std::unordered_map<uint32_t, LostSight> lost_sight_;
};

}  // namespace treemon
