// The process table over the scripted platform, under arbitrary sequences of processes appearing,
// ending and reusing pids, queries failing, counters near 2^64 and clocks jumping both ways.
//
// A reference model written here follows the table's rules entry by entry (creation, reuse by a
// changed listed start time, the 200 ms interval reading, the four CPU baselines taken from the
// first reading of both the process's and the machine's times, saturation and flooring, figures
// kept on a failed query) and after every refresh the table must agree with it field by field. On
// top of the model, invariants that hold whatever the rules say:
//  1. with remove_ended, the entries are exactly the listed processes (none when the list failed);
//  2. one open handle per entry that holds one, one open per entry created and one per refresh of
//     an entry without a handle: no leaks, no reopen of an opened process;
//  3. cpu_percent is finite and not negative, and within 100 x processors while the scripted
//     counters are sane (no process gains more CPU time than the machine divided by processors);
//  4. cpu_time_ms never decreases for an entry while its process's counters do not.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "procinfo/process_table.h"
#include "support/scripted_platform.h"

namespace treemon {
namespace {

constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();
constexpr uint32_t PID_RANGE = 12;  // few pids, so that they are reused often

void check(bool condition, const char* what) {
  fuzzing::check_invariant(condition, "process table", what);
}

using fuzzing::Input;

uint64_t add_sat(uint64_t a, uint64_t b) { return a > U64_MAX - b ? U64_MAX : a + b; }
uint64_t delta_or_new(uint64_t now, uint64_t baseline) {
  return now < baseline ? now : now - baseline;
}

// A counter value: small, large, or within reach of 2^64 so that sums saturate.
uint64_t counter(Input& in) {
  switch (in.u8() % 4) {
    case 0:
      return in.u16();
    case 1:
      return in.u32();
    case 2:
      return U64_MAX - in.u16();
    default:
      return in.u64();
  }
}

struct ModelEntry {
  std::string name;
  std::optional<uint64_t> listed_start;
  bool has_handle = false;
  uint64_t start_time_s = 0;
  std::optional<uint32_t> parent;
  ProcessState state;
  std::vector<std::string> arguments;
  float cpu_percent = 0.0f;
  uint64_t cpu_time_ms = 0;
  uint64_t resident = 0, virtual_bytes = 0, read = 0, written = 0;
  uint64_t run_time_s = 0;
  uint64_t base_pk = 0, base_pu = 0, base_mk = 0, base_mu = 0;
  bool baselined = false;
  MonoTime cpu_read_at{};
};

// The table's rules, written from their description rather than from its code.
class Model {
 public:
  explicit Model(ScriptedPlatform& platform) : platform_(platform) {}

  void refresh(const RefreshOptions& options, bool remove_ended) {
    const uint64_t wall = unix_seconds_from_ns(platform_.wall_unix_ns);
    const MonoTime now = platform_.monotonic;
    if (options.cpu && processors_ == 0) processors_ = platform_.processors;
    const MachineTimes machine = platform_.machine.value_or(MachineTimes{});
    std::set<uint32_t> seen;
    if (!platform_.list_fails) {
      for (const ScriptedProcess& p : platform_.processes) {
        refresh_one(p, options, wall, now, machine);
        seen.insert(p.pid);
      }
    }
    if (remove_ended) std::erase_if(entries_, [&](const auto& e) { return !seen.count(e.first); });
  }

  const std::map<uint32_t, ModelEntry>& entries() const { return entries_; }
  const std::map<uint32_t, int>& opens() const { return opens_; }
  uint32_t processors() const { return processors_; }

 private:
  static std::optional<uint64_t> listed_start(const ScriptedProcess& p) {
    if (p.list_start_time && p.times) return p.times->start_time_s;
    return std::nullopt;
  }

  void refresh_one(const ScriptedProcess& p, const RefreshOptions& options, uint64_t wall,
                   MonoTime now, const MachineTimes& machine) {
    auto found = entries_.find(p.pid);
    const std::optional<uint64_t> listed = listed_start(p);
    const bool reused =
        p.replaces_opened || (listed && found != entries_.end() && found->second.listed_start &&
                              *listed != *found->second.listed_start);
    if (found != entries_.end() && reused) {
      entries_.erase(found);
      found = entries_.end();
    }
    // An entry without a handle is tried again; a process that opens now is a new one.
    if (found != entries_.end() && !found->second.has_handle && p.pid != 0) {
      if (p.can_open) {
        entries_.erase(found);
        found = entries_.end();
      } else {
        ++opens_[p.pid];
      }
    }
    if (found == entries_.end()) found = entries_.emplace(p.pid, create(p, listed, now)).first;
    ModelEntry& e = found->second;
    e.name = p.name;
    e.parent = p.parent_pid == 0 ? std::nullopt : std::optional<uint32_t>(p.parent_pid);
    e.state = p.state;
    if (options.cpu) read_cpu(e, p, now, machine);
    if (e.has_handle) {
      if (options.io && p.io) e.read = p.io->read_bytes, e.written = p.io->written_bytes;
      if (options.memory && p.memory) {
        e.resident = p.memory->resident_bytes;
        e.virtual_bytes = p.memory->private_bytes;
      }
      if (options.command_line && p.command_line.replace) e.arguments = p.command_line.arguments;
    }
    e.run_time_s = wall >= e.start_time_s ? wall - e.start_time_s : 0;
  }

  ModelEntry create(const ScriptedProcess& p, std::optional<uint64_t> listed, MonoTime now) {
    ModelEntry e;
    e.name = p.name;
    e.listed_start = listed;
    if (p.pid != 0) {
      ++opens_[p.pid];
      e.has_handle = p.can_open;
    }
    if (e.has_handle && p.times && p.times->start_time_s) e.start_time_s = *p.times->start_time_s;
    e.cpu_read_at = now;
    return e;
  }

  void read_cpu(ModelEntry& e, const ScriptedProcess& p, MonoTime now, const MachineTimes& m) {
    const bool interval =
        now >= e.cpu_read_at && now - e.cpu_read_at >= std::chrono::milliseconds(200);
    const ProcessTimes times = e.has_handle && p.times ? *p.times : ProcessTimes{};
    e.cpu_read_at = now;
    e.cpu_time_ms = add_sat(times.kernel_100ns, times.user_100ns) / 10000;
    if (!e.baselined) {
      if (e.has_handle && p.times && platform_.machine) {
        e.base_mu = m.user_100ns, e.base_mk = m.kernel_100ns;
        e.base_pk = times.kernel_100ns, e.base_pu = times.user_100ns;
        e.baselined = true;
      }
      return;
    }
    if (!interval) return;
    const uint64_t mu = delta_or_new(m.user_100ns, e.base_mu);
    const uint64_t mk = delta_or_new(m.kernel_100ns, e.base_mk);
    const uint64_t pk = delta_or_new(times.kernel_100ns, e.base_pk);
    const uint64_t pu = delta_or_new(times.user_100ns, e.base_pu);
    if (e.has_handle && p.times && platform_.machine) {
      e.base_mu = m.user_100ns, e.base_mk = m.kernel_100ns;
      e.base_pk = times.kernel_100ns, e.base_pu = times.user_100ns;
    }
    const uint64_t denominator = add_sat(mu, mk);
    if (denominator == 0) {
      e.cpu_percent = 0.0f;
      return;
    }
    const float ratio = static_cast<float>(add_sat(pk, pu)) / static_cast<float>(denominator);
    e.cpu_percent = static_cast<float>(processors_) * (ratio * 100.0f);
  }

  ScriptedPlatform& platform_;
  std::map<uint32_t, ModelEntry> entries_;
  std::map<uint32_t, int> opens_;
  uint32_t processors_ = 0;
};

bool same_float(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

void compare(const ProcessTable& table, const Model& model, const ScriptedPlatform& platform,
             bool sane, bool remove_ended, const std::map<uint32_t, uint64_t>& previous_cpu_ms) {
  check(table.size() == model.entries().size(), "entry count differs from the model");
  int handles = 0;
  for (const auto& [pid, e] : model.entries()) {
    const ProcessInfo* info = table.find(pid);
    check(info != nullptr, "an entry the model has is missing");
    check(info->pid == pid, "pid");
    check(info->name == e.name, "name (a stale entry survived a reused pid?)");
    check(info->start_time_s == e.start_time_s, "start_time_s");
    check(info->parent_pid == e.parent, "parent_pid");
    check(info->state == e.state, "state");
    check(info->arguments == e.arguments, "arguments");
    check(info->cpu_time_ms == e.cpu_time_ms, "cpu_time_ms");
    check(info->resident_bytes == e.resident && info->virtual_bytes == e.virtual_bytes, "memory");
    check(info->read_bytes == e.read && info->written_bytes == e.written, "io");
    check(info->run_time_s == e.run_time_s, "run_time_s");
    check(same_float(info->cpu_percent, e.cpu_percent), "cpu_percent differs from the model");
    check(std::isfinite(info->cpu_percent) && info->cpu_percent >= 0.0f, "cpu_percent not finite");
    if (sane) {
      const float limit = 100.0f * static_cast<float>(model.processors());
      check(info->cpu_percent <= limit * 1.0001f, "cpu_percent above 100 x processors");
    }
    if (auto before = previous_cpu_ms.find(pid); before != previous_cpu_ms.end()) {
      check(info->cpu_time_ms >= before->second, "cpu_time_ms went down");
    }
    handles += e.has_handle ? 1 : 0;
  }
  check(platform.open_handles == handles, "open handles differ from the entries holding one");
  check(platform.open_count == model.opens(), "a process was opened twice");
  if (remove_ended) {
    std::set<uint32_t> listed;
    if (!platform.list_fails) {
      for (const ScriptedProcess& p : platform.processes) listed.insert(p.pid);
    }
    check(listed.size() == table.size(), "entries differ from the listed processes");
    for (uint32_t pid : listed) check(table.find(pid) != nullptr, "a listed process is missing");
  }
}

// The fuzzer's world: the scripted platform plus what it needs to keep the counters sane.
struct World {
  ScriptedPlatform platform;
  bool sane = true;
  uint64_t next_start = 1000;
  // Pids whose CPU counters went down (or whose process changed) since the last refresh that
  // read CPU figures: their cpu_time_ms may go down too.
  std::set<uint32_t> unsteady;
};

void add_process(World& world, Input& in) {
  ScriptedProcess p;
  p.pid = in.u8() % PID_RANGE;
  p.parent_pid = in.u8() % PID_RANGE;
  p.name = "p" + std::to_string(in.u16());
  p.state = ProcessState{static_cast<ProcessStateKind>(in.u8() % 14), in.u8()};
  const uint8_t flags = in.u8();
  p.list_start_time = flags & 1;
  p.can_open = !(flags & 2);
  // The platform knows that the process it opened under this pid has ended (Linux: a kept /proc
  // file of it fails); it says so until the next refresh, whose new entry opens the new one.
  p.replaces_opened = flags & 16;
  // Start times: new processes start later, unless the input asks for the same second (a pid
  // reused within one second) or an unknown time.
  if (flags & 4) {
    p.times->start_time_s = world.next_start;
  } else if (flags & 8) {
    p.times->start_time_s = std::nullopt;
  } else {
    p.times->start_time_s = ++world.next_start;
  }
  if (!world.sane) {
    p.times->kernel_100ns = counter(in);
    p.times->user_100ns = counter(in);
  }
  p.command_line = {true, {p.name, std::to_string(in.u8())}};
  world.platform.remove(p.pid);
  world.unsteady.insert(p.pid);
  world.platform.add(std::move(p));
}

// Machine time moves by d; every process with readable times by at most d / processors, so that
// no percentage can exceed 100 per processor.
void tick(World& world, Input& in) {
  ScriptedPlatform& platform = world.platform;
  const uint64_t d = in.u32();
  if (platform.machine) {
    const uint64_t user = d / 2;
    platform.machine->user_100ns = add_sat(platform.machine->user_100ns, user);
    platform.machine->kernel_100ns = add_sat(platform.machine->kernel_100ns, d - user);
  }
  const uint64_t share = d / std::max<uint32_t>(platform.processors, 1);
  for (ScriptedProcess& p : platform.processes) {
    if (!p.times) continue;
    const uint64_t used = share == 0 ? 0 : in.u32() % (share + 1);
    p.times->kernel_100ns = add_sat(p.times->kernel_100ns, used / 3);
    p.times->user_100ns = add_sat(p.times->user_100ns, used - used / 3);
  }
}

void fail_or_restore_query(World& world, Input& in) {
  ScriptedProcess* p = world.platform.process(in.u8() % PID_RANGE);
  if (p == nullptr) return;
  const uint8_t what = in.u8();
  const bool fail = what & 8;
  switch (what % 4) {
    case 0:
      if (fail) {
        p->times.reset();
      } else if (!p->times) {
        p->times = ProcessTimes{};
      }
      world.unsteady.insert(p->pid);
      break;
    case 1:
      p->io = fail ? std::nullopt : std::optional<IoTotals>(IoTotals{counter(in), counter(in)});
      break;
    case 2:
      p->memory = fail ? std::nullopt
                       : std::optional<MemoryFigures>(MemoryFigures{counter(in), counter(in)});
      break;
    case 3:
      p->command_line = fail ? CommandLineRead{} : CommandLineRead{true, {}};
      break;
  }
}

// Counters that go backwards or jump to 2^64: the inputs stop being sane for good.
void insane_counters(World& world, Input& in) {
  world.sane = false;
  if (in.u8() & 1) {
    world.platform.machine =
        (in.u8() & 1) ? std::nullopt
                      : std::optional<MachineTimes>(MachineTimes{counter(in), counter(in)});
  }
  if (ScriptedProcess* p = world.platform.process(in.u8() % PID_RANGE); p && p->times) {
    p->times->kernel_100ns = counter(in);
    p->times->user_100ns = counter(in);
    world.unsteady.insert(p->pid);
  }
}

void move_clocks(World& world, Input& in) {
  ScriptedPlatform& platform = world.platform;
  const uint8_t how = in.u8();
  const auto ms = std::chrono::milliseconds(how & 0x40 ? 200 : in.u16() % 1200);
  if (how & 0x80) {
    platform.monotonic -= ms;
  } else {
    platform.monotonic += ms;
  }
  if (how & 0x20) platform.wall_unix_ns = static_cast<int64_t>(in.u64());  // any wall clock
}

}  // namespace
}  // namespace treemon

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace treemon;
  Input in(data, size);
  World world;
  world.platform.processors = 1 + in.u8() % 64;
  world.platform.wall_unix_ns = 1700000000LL * 1000000000LL;
  world.platform.monotonic = MonoTime(std::chrono::hours(1));
  {
    ProcessTable table(world.platform);
    Model model(world.platform);
    size_t operations = 0;
    while (!in.empty() && operations++ < 256) {
      switch (in.u8() % 8) {
        case 0:
        case 1:
          add_process(world, in);
          break;
        case 2: {
          const uint32_t pid = in.u8() % PID_RANGE;
          world.platform.remove(pid);
          world.unsteady.insert(pid);
          break;
        }
        case 3:
          tick(world, in);
          break;
        case 4:
          fail_or_restore_query(world, in);
          break;
        case 5:
          move_clocks(world, in);
          break;
        case 6:
          if (in.u8() % 16 == 0) insane_counters(world, in);
          world.platform.list_fails = in.u8() % 8 == 0;
          break;
        case 7: {
          const uint8_t flags = in.u8();
          const RefreshOptions options{(flags & 1) == 0, (flags & 2) == 0, (flags & 4) == 0,
                                       (flags & 8) == 0};
          const bool remove_ended = (flags & 16) == 0;
          std::map<uint32_t, uint64_t> previous_cpu_ms;
          for (const ProcessInfo* info : table.entries()) {
            if (!world.unsteady.count(info->pid)) previous_cpu_ms[info->pid] = info->cpu_time_ms;
          }
          table.refresh(options, remove_ended);
          table.read_all_figures();
          model.refresh(options, remove_ended);
          if (!world.platform.list_fails) {
            for (ScriptedProcess& p : world.platform.processes) p.replaces_opened = false;
          }
          compare(table, model, world.platform, world.sane, remove_ended, previous_cpu_ms);
          // Only a CPU reading of a listed process takes in the change.
          if (options.cpu && !world.platform.list_fails) world.unsteady.clear();
          break;
        }
      }
    }
  }
  check(world.platform.open_handles == 0, "the table leaked handles at destruction");
  return 0;
}
