// The Win32 process services behind ProcessPlatform.
//
// Every query is one Win32 or native call on a handle that the table keeps for the entry's
// lifetime; a failed call is an empty result. The command line is read through the process's
// environment block (32- or 64-bit layout) and, from Windows 8.1 (6.3) on, the native command-line
// query; before that, from the string the process-parameters block records.
// windows.h comes first, through win32_windows.h; the headers below need it.
#include "base/win32_windows.h"

#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "procinfo/platform.h"
#include "base/utf16.h"

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

constexpr PROCESSINFOCLASS PROCESS_BASIC_INFORMATION_CLASS = ProcessBasicInformation;
constexpr auto PROCESS_WOW64_INFORMATION_CLASS = static_cast<PROCESSINFOCLASS>(26);
constexpr auto PROCESS_COMMAND_LINE_INFORMATION_CLASS = static_cast<PROCESSINFOCLASS>(60);

// The statuses with which a size query without a buffer reports the size it needs.
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH_VALUE = static_cast<NTSTATUS>(0xC0000004);
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW_VALUE = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL_VALUE = static_cast<NTSTATUS>(0xC0000023);

// A command line is a UNICODE_STRING of at most 65535 bytes; the query's answer is that string's
// header followed by its text, so anything far larger is not an answer to trust.
constexpr ULONG MAX_COMMAND_LINE_QUERY_BYTES = 1u << 20;

// Where the fields on the way to the command line lie in the other process's memory.
struct ProcessLayout {
  size_t parameters_pointer_offset;  // in the environment block
  size_t pointer_size;
  size_t command_line_offset;  // of the UNICODE_STRING in the process-parameters block
  size_t string_buffer_offset;  // of Buffer inside that UNICODE_STRING
};
constexpr ProcessLayout LAYOUT_64{0x20, 8, 0x70, 8};
constexpr ProcessLayout LAYOUT_32{0x10, 4, 0x40, 4};

// The recorded command-line string of a process: where its UTF-16 text lies and how many bytes.
struct RemoteString {
  uint64_t address = 0;
  uint16_t length_bytes = 0;
};

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

// Reads exactly `size` bytes; a failed or short read is a failure.
bool read_remote(HANDLE process, uint64_t address, void* out, size_t size) {
  SIZE_T read = 0;
  const auto* source = reinterpret_cast<const void*>(static_cast<uintptr_t>(address));
  return ::ReadProcessMemory(process, source, out, size, &read) && read == size;
}

uint64_t pointer_at(const std::byte* bytes, size_t offset, size_t pointer_size) {
  if (pointer_size == 4) {
    uint32_t value = 0;
    std::memcpy(&value, bytes + offset, sizeof(value));
    return value;
  }
  uint64_t value = 0;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

// The environment block's address and the layout to read it with; none when the queries fail.
std::optional<std::pair<uint64_t, ProcessLayout>> find_environment_block(HANDLE process) {
  ULONG_PTR wow64_block = 0;
  if (!NT_SUCCESS(::NtQueryInformationProcess(process, PROCESS_WOW64_INFORMATION_CLASS,
                                              &wow64_block, sizeof(wow64_block), nullptr))) {
    return std::nullopt;
  }
  if (wow64_block != 0) return std::pair{static_cast<uint64_t>(wow64_block), LAYOUT_32};
  PROCESS_BASIC_INFORMATION basic{};
  if (!NT_SUCCESS(::NtQueryInformationProcess(process, PROCESS_BASIC_INFORMATION_CLASS, &basic,
                                              sizeof(basic), nullptr))) {
    return std::nullopt;
  }
  return std::pair{static_cast<uint64_t>(reinterpret_cast<uintptr_t>(basic.PebBaseAddress)),
                   LAYOUT_64};
}

// Follows the environment block to the process parameters and the command-line string they
// record. None when a query or a read fails.
std::optional<RemoteString> find_recorded_command_line(HANDLE process) {
  const auto block = find_environment_block(process);
  if (!block) return std::nullopt;
  const auto& [block_address, layout] = *block;

  std::byte environment[0x28] = {};
  const size_t environment_size = layout.parameters_pointer_offset + layout.pointer_size;
  if (!read_remote(process, block_address, environment, environment_size)) return std::nullopt;
  const uint64_t parameters_address =
      pointer_at(environment, layout.parameters_pointer_offset, layout.pointer_size);

  std::byte parameters[0x80] = {};
  const size_t parameters_size =
      layout.command_line_offset + layout.string_buffer_offset + layout.pointer_size;
  if (!read_remote(process, parameters_address, parameters, parameters_size)) return std::nullopt;
  RemoteString recorded;
  std::memcpy(&recorded.length_bytes, parameters + layout.command_line_offset,
              sizeof(recorded.length_bytes));
  recorded.address = pointer_at(
      parameters, layout.command_line_offset + layout.string_buffer_offset, layout.pointer_size);
  return recorded;
}

bool is_expected_size_answer(NTSTATUS status) {
  return status == STATUS_INFO_LENGTH_MISMATCH_VALUE || status == STATUS_BUFFER_OVERFLOW_VALUE ||
         status == STATUS_BUFFER_TOO_SMALL_VALUE;
}

// The command line through the native query: one call for the size, one for the text.
std::optional<std::wstring> query_command_line(HANDLE process) {
  ULONG needed = 0;
  const NTSTATUS size_status = ::NtQueryInformationProcess(
      process, PROCESS_COMMAND_LINE_INFORMATION_CLASS, nullptr, 0, &needed);
  if (!is_expected_size_answer(size_status)) return std::nullopt;
  if (needed < sizeof(UNICODE_STRING) || needed > MAX_COMMAND_LINE_QUERY_BYTES) return std::nullopt;

  // uint64_t elements keep the UNICODE_STRING header aligned.
  std::vector<uint64_t> storage((needed + sizeof(uint64_t) - 1) / sizeof(uint64_t));
  const size_t storage_bytes = storage.size() * sizeof(uint64_t);
  if (!NT_SUCCESS(::NtQueryInformationProcess(process, PROCESS_COMMAND_LINE_INFORMATION_CLASS,
                                              storage.data(), needed, &needed))) {
    return std::nullopt;
  }
  UNICODE_STRING header{};
  std::memcpy(&header, storage.data(), sizeof(header));
  if (header.Length == 0) return std::wstring();
  // The text must lie inside the buffer the answer was written to.
  const uintptr_t begin = reinterpret_cast<uintptr_t>(storage.data());
  const uintptr_t text = reinterpret_cast<uintptr_t>(header.Buffer);
  if (text < begin || text - begin > storage_bytes ||
      storage_bytes - (text - begin) < header.Length) {
    return std::nullopt;
  }
  std::wstring result(header.Length / sizeof(wchar_t), L'\0');
  std::memcpy(result.data(), reinterpret_cast<const std::byte*>(storage.data()) + (text - begin),
              result.size() * sizeof(wchar_t));
  return result;
}

// The command line as the process-parameters block records it, exactly its recorded length.
std::optional<std::wstring> read_recorded_command_line(HANDLE process, const RemoteString& where) {
  std::wstring result(where.length_bytes / sizeof(wchar_t), L'\0');
  if (result.empty()) return result;
  if (!read_remote(process, where.address, result.data(), result.size() * sizeof(wchar_t))) {
    return std::nullopt;
  }
  return result;
}

struct LocalArgumentsDeleter {
  void operator()(LPWSTR* arguments) const { ::LocalFree(arguments); }
};

// Splits a command line as the C runtime would. An empty text has no arguments (the split itself
// would answer with this program's own path).
std::vector<std::string> split_command_line(const std::wstring& text) {
  std::vector<std::string> arguments;
  if (text.empty()) return arguments;
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalArgumentsDeleter> split(
      ::CommandLineToArgvW(text.c_str(), &count));
  if (!split) return arguments;
  arguments.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(utf8_from_wide(split.get()[i]));
  return arguments;
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

  uint32_t processor_count() override {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
  }

  bool list_processes(std::vector<ListedProcess>& out) override {
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
    if (listed.pid == 0) return nullptr;
    UniqueHandle handle(::OpenProcess(QUERY_AND_READ_ACCESS, FALSE, listed.pid));
    if (!handle) handle = UniqueHandle(::OpenProcess(LIMITED_QUERY_ACCESS, FALSE, listed.pid));
    if (!handle) return nullptr;
    return std::make_unique<WindowsProcess>(std::move(handle));
  }

  std::optional<ProcessTimes> process_times(ProcessHandle& process) override {
    FILETIME creation{}, exit_time{}, kernel{}, user{};
    if (!::GetProcessTimes(native(process), &creation, &exit_time, &kernel, &user)) {
      return std::nullopt;
    }
    return ProcessTimes{unix_seconds_from_creation(to_u64(creation)), to_u64(kernel),
                        to_u64(user)};
  }

  std::optional<MachineTimes> machine_times() override {
    FILETIME idle{}, kernel{}, user{};
    if (!::GetSystemTimes(&idle, &kernel, &user)) return std::nullopt;
    return MachineTimes{to_u64(kernel), to_u64(user)};
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
    const HANDLE handle = native(process);
    const std::optional<RemoteString> recorded = find_recorded_command_line(handle);
    if (!recorded) return {false, {}};
    const std::optional<std::wstring> text = use_command_line_query_
                                                 ? query_command_line(handle)
                                                 : read_recorded_command_line(handle, *recorded);
    if (!text) return {true, {}};
    return {true, split_command_line(*text)};
  }

 private:
  SystemClock clock_;
  const bool use_command_line_query_ = has_command_line_query();
};

}  // namespace

std::unique_ptr<ProcessPlatform> make_system_platform() {
  return std::make_unique<WindowsPlatform>();
}

}  // namespace treemon
