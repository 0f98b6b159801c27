// ScriptedPlatform: a ProcessPlatform whose processes, figures and clocks a test sets by hand and
// changes between refreshes, and whose queries it can make fail one by one. With it every rule of
// the process table, the sampler and the history is tested with exact numbers and no sleeping.
//
// sleep_for() advances the monotonic clock instead of blocking. Not thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "procinfo/platform.h"

namespace treemon {

struct ScriptedProcess {
  uint32_t pid = 0;
  uint32_t parent_pid = 0;
  std::string name;
  ProcessState state;
  bool list_start_time = false;  // report start_time_s in the list too, as Linux does
  bool replaces_opened = false;  // list it as a new process on a pid whose opened one ended
  bool can_open = true;
  bool refuses_open = false;  // with can_open false: refused (access denied), for good
  // List it with its state and name deferred to process_status(), as Linux lists a steady
  // process: the listed state and name are then left blank. A replacing process is read instead.
  bool defer_status = false;
  // Figures the queries return; an empty optional makes that query fail.
  std::optional<ProcessTimes> times = ProcessTimes{};
  std::optional<uint32_t> threads;  // none: the platform bounds no reading by its threads
  std::optional<IoTotals> io = IoTotals{};
  std::optional<MemoryFigures> memory = MemoryFigures{};
  CommandLineRead command_line{true, {}};
};

class ScriptedPlatform final : public ProcessPlatform {
 public:
  // The scripted world. Tests change these freely between refreshes.
  std::vector<ScriptedProcess> processes;  // in list order
  bool list_fails = false;
  uint32_t processors = 1;
  std::optional<MachineTimes> machine = MachineTimes{};
  MonoTime monotonic{};
  int64_t wall_unix_ns = 0;

  ScriptedProcess& add(ScriptedProcess process);
  ScriptedProcess* process(uint32_t pid);
  void remove(uint32_t pid);
  void advance(std::chrono::nanoseconds duration) { monotonic += duration; }

  // What the table did: opens by pid, and how many handles are open now.
  std::map<uint32_t, int> open_count;
  int open_handles = 0;
  // Queries of I/O, memory, command line and deferred status, by pid.
  std::map<uint32_t, int> figure_queries;
  std::vector<std::chrono::nanoseconds> sleeps;

  MonoTime monotonic_now() override { return monotonic; }
  int64_t wall_now_unix_ns() override { return wall_unix_ns; }
  void sleep_for(std::chrono::nanoseconds duration) override;

  uint32_t processor_count() override { return processors; }
  bool list_processes(std::vector<ListedProcess>& out, const OpenedProcesses& opened) override;
  std::unique_ptr<ProcessHandle> open_process(const ListedProcess& listed) override;
  bool last_open_refused() const override { return last_open_refused_; }
  std::optional<ProcessTimes> process_times(ProcessHandle& process) override;
  std::optional<MachineTimes> machine_times() override { return machine; }
  std::optional<uint32_t> thread_count(ProcessHandle& process) override;
  std::optional<IoTotals> io_totals(ProcessHandle& process) override;
  std::optional<MemoryFigures> memory(ProcessHandle& process) override;
  CommandLineRead command_line(ProcessHandle& process) override;
  std::optional<ProcessStatus> process_status(ProcessHandle& process) override;

 private:
  bool last_open_refused_ = false;
};

}  // namespace treemon
