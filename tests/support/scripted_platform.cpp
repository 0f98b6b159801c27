#include "support/scripted_platform.h"

#include <algorithm>
#include <utility>

namespace treemon {
namespace {

// Names the scripted process it was opened for, and keeps the platform's count of open handles
// honest for as long as the table holds it.
class ScriptedHandle final : public ProcessHandle {
 public:
  ScriptedHandle(uint32_t pid, int& open_handles) : pid_(pid), open_handles_(open_handles) {
    ++open_handles_;
  }
  ~ScriptedHandle() override { --open_handles_; }
  ScriptedHandle(const ScriptedHandle&) = delete;
  ScriptedHandle& operator=(const ScriptedHandle&) = delete;

  uint32_t pid() const { return pid_; }

 private:
  uint32_t pid_;
  int& open_handles_;
};

uint32_t pid_of(ProcessHandle& handle) { return static_cast<ScriptedHandle&>(handle).pid(); }

}  // namespace

ScriptedProcess& ScriptedPlatform::add(ScriptedProcess process) {
  processes.push_back(std::move(process));
  return processes.back();
}

ScriptedProcess* ScriptedPlatform::process(uint32_t pid) {
  auto found = std::find_if(processes.begin(), processes.end(),
                            [pid](const ScriptedProcess& p) { return p.pid == pid; });
  return found == processes.end() ? nullptr : &*found;
}

void ScriptedPlatform::remove(uint32_t pid) {
  std::erase_if(processes, [pid](const ScriptedProcess& p) { return p.pid == pid; });
}

void ScriptedPlatform::sleep_for(std::chrono::nanoseconds duration) {
  sleeps.push_back(duration);
  if (duration.count() > 0) monotonic += duration;
}

bool ScriptedPlatform::list_processes(std::vector<ListedProcess>& out,
                                      const OpenedProcesses& /*opened*/) {
  out.clear();
  if (list_fails) return false;
  out.reserve(processes.size());
  for (const ScriptedProcess& p : processes) {
    ListedProcess listed{p.pid, p.parent_pid, p.name, p.state, std::nullopt};
    if (p.list_start_time && p.times) listed.start_time_s = p.times->start_time_s;
    if (p.replaces_opened) {
      listed.listing = Listing::ReplacesOpened;
    } else if (p.defer_status) {
      listed.listing = Listing::StatusDeferred;
      listed.name.clear();
      listed.state = ProcessState::unknown(0);
    }
    out.push_back(std::move(listed));
  }
  return true;
}

std::unique_ptr<ProcessHandle> ScriptedPlatform::open_process(const ListedProcess& listed) {
  ++open_count[listed.pid];
  const ScriptedProcess* p = process(listed.pid);
  last_open_refused_ = p != nullptr && !p->can_open && p->refuses_open;
  if (p == nullptr || !p->can_open) return nullptr;
  return std::make_unique<ScriptedHandle>(listed.pid, open_handles);
}

// A handle whose process has left the script answers nothing, like a handle to an ended process.
std::optional<ProcessTimes> ScriptedPlatform::process_times(ProcessHandle& handle) {
  const ScriptedProcess* p = process(pid_of(handle));
  return p ? p->times : std::nullopt;
}

std::optional<uint32_t> ScriptedPlatform::thread_count(ProcessHandle& handle) {
  const ScriptedProcess* p = process(pid_of(handle));
  return p ? p->threads : std::nullopt;
}

std::optional<IoTotals> ScriptedPlatform::io_totals(ProcessHandle& handle) {
  ++figure_queries[pid_of(handle)];
  const ScriptedProcess* p = process(pid_of(handle));
  return p ? p->io : std::nullopt;
}

std::optional<MemoryFigures> ScriptedPlatform::memory(ProcessHandle& handle) {
  ++figure_queries[pid_of(handle)];
  const ScriptedProcess* p = process(pid_of(handle));
  return p ? p->memory : std::nullopt;
}

CommandLineRead ScriptedPlatform::command_line(ProcessHandle& handle) {
  ++figure_queries[pid_of(handle)];
  const ScriptedProcess* p = process(pid_of(handle));
  return p ? p->command_line : CommandLineRead{};
}

std::optional<ProcessStatus> ScriptedPlatform::process_status(ProcessHandle& handle) {
  ++figure_queries[pid_of(handle)];
  const ScriptedProcess* p = process(pid_of(handle));
  if (p == nullptr) return std::nullopt;
  return ProcessStatus{p->state, p->name};
}

}  // namespace treemon
