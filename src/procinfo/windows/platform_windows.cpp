// The Win32 process services behind ProcessPlatform.
//
// Every query is one Win32 or native call on a handle that the table keeps for the entry's
// lifetime; a failed call is an empty result. The command line is read by
// command_line_windows.cpp; this file decides once which way, by the Windows version.
// windows.h comes first, through win32_windows.h; the headers below need it.
#include "base/win32_windows.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/utf16.h"
#include "procinfo/platform.h"
#include "procinfo/windows/command_line_windows.h"
#include "procinfo/windows/processor_groups_windows.h"

namespace treemon {
namespace {

static_assert(sizeof(PROCESSENTRY32W) == 568, "the process list entry has the documented size");
static_assert(sizeof(PROCESS_MEMORY_COUNTERS_EX) == 80, "the extended counters are 80 bytes");

constexpr DWORD QUERY_AND_READ_ACCESS = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x410
constexpr DWORD LIMITED_QUERY_ACCESS = PROCESS_QUERY_LIMITED_INFORMATION;             // 0x1000
static_assert(QUERY_AND_READ_ACCESS == 0x410 && LIMITED_QUERY_ACCESS == 0x1000);

// FILETIME seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t FILETIME_UNIX_EPOCH_S = 11644473600;
constexpr uint64_t FILETIME_UNITS_PER_SECOND = 10000000;

class WindowsProcess final : public ProcessHandle {
 public:
  explicit WindowsProcess(UniqueHandle handle) : handle_(std::move(handle)) {}
  HANDLE get() const { return handle_.get(); }

 private:
  UniqueHandle handle_;
};

HANDLE native(ProcessHandle& process) { return static_cast<WindowsProcess&>(process).get(); }

uint64_t to_u64(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Creation FILETIME to Unix seconds; none for a zero (unread) time or one before 1970.
std::optional<uint64_t> unix_seconds_from_creation(uint64_t creation) {
  const uint64_t seconds = creation / FILETIME_UNITS_PER_SECOND;
  if (creation == 0 || seconds < FILETIME_UNIX_EPOCH_S) return std::nullopt;
  return seconds - FILETIME_UNIX_EPOCH_S;
}

ListedProcess listed_from(const PROCESSENTRY32W& entry) {
  ListedProcess listed;
  listed.pid = entry.th32ProcessID;
  listed.parent_pid = entry.th32ParentProcessID;
  listed.name = utf8_from_utf16_field(std::u16string_view(
      reinterpret_cast<const char16_t*>(entry.szExeFile), std::size(entry.szExeFile)));
  listed.state = ProcessState{ProcessStateKind::Run, 0};
  return listed;
}

// A cleared entry, so that the name field holds only what the list wrote for this process and
// nothing left over from a longer name before it.
PROCESSENTRY32W fresh_list_entry() {
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  return entry;
}

using VersionQuery = NTSTATUS(NTAPI*)(PRTL_OSVERSIONINFOW);

// Windows 8.1 (6.3) and later answer the native command-line query. A version that cannot be
// read counts as new enough.
bool has_command_line_query() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const FARPROC found = ntdll ? ::GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
  if (found == nullptr) return true;
  const auto get_version = reinterpret_cast<VersionQuery>(reinterpret_cast<void (*)()>(found));
  RTL_OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!NT_SUCCESS(get_version(&version))) return true;
  return version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 3);
}

class WindowsPlatform final : public ProcessPlatform {
 public:
  MonoTime monotonic_now() override { return clock_.monotonic_now(); }
  int64_t wall_now_unix_ns() override { return clock_.wall_now_unix_ns(); }
  void sleep_for(std::chrono::nanoseconds duration) override { clock_.sleep_for(duration); }

  uint32_t processor_count() override { return processors_of_all_groups(processor_groups_); }

  bool list_processes(std::vector<ListedProcess>& out, const OpenedProcesses& /*opened*/) override {
    out.clear();
    const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry = fresh_list_entry();
    if (!::Process32FirstW(snapshot.get(), &entry)) return false;
    do {
      out.push_back(listed_from(entry));
      entry = fresh_list_entry();
    } while (::Process32NextW(snapshot.get(), &entry));
    return true;
  }

  std::unique_ptr<ProcessHandle> open_process(const ListedProcess& listed) override {
    last_open_refused_ = false;
    if (listed.pid == 0) return nullptr;
    UniqueHandle handle(::OpenProcess(QUERY_AND_READ_ACCESS, FALSE, listed.pid));
    if (!handle) handle = UniqueHandle(::OpenProcess(LIMITED_QUERY_ACCESS, FALSE, listed.pid));
    if (!handle) {
      // Denied even the limited rights: the process will refuse for its life. Any other
      // failure may pass.
      last_open_refused_ = ::GetLastError() == ERROR_ACCESS_DENIED;
      return nullptr;
    }
    return std::make_unique<WindowsProcess>(std::move(handle));
  }

  bool last_open_refused() const override { return last_open_refused_; }

  std::optional<ProcessTimes> process_times(ProcessHandle& process) override {
    FILETIME creation{}, exit_time{}, kernel{}, user{};
    if (!::GetProcessTimes(native(process), &creation, &exit_time, &kernel, &user)) {
      return std::nullopt;
    }
    return ProcessTimes{unix_seconds_from_creation(to_u64(creation)), to_u64(kernel), to_u64(user)};
  }

  std::optional<MachineTimes> machine_times() override {
    return times_of_all_groups(processor_groups_);
  }

  std::optional<IoTotals> io_totals(ProcessHandle& process) override {
    IO_COUNTERS counters{};
    if (!::GetProcessIoCounters(native(process), &counters)) return std::nullopt;
    return IoTotals{counters.ReadTransferCount, counters.WriteTransferCount};
  }

  std::optional<MemoryFigures> memory(ProcessHandle& process) override {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (!::GetProcessMemoryInfo(native(process),
                                reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof(counters))) {
      return std::nullopt;
    }
    return MemoryFigures{counters.WorkingSetSize, counters.PrivateUsage};
  }

  CommandLineRead command_line(ProcessHandle& process) override {
    return read_command_line(services_, native(process), use_command_line_query_);
  }

 private:
  SystemClock clock_;
  SystemProcessorGroups processor_groups_;
  SystemProcessServices services_;
  const bool use_command_line_query_ = has_command_line_query();
  bool last_open_refused_ = false;
};

}  // namespace

std::unique_ptr<ProcessPlatform> make_system_platform() {
  return std::make_unique<WindowsPlatform>();
}

}  // namespace treemon
