// The Win32 process layer against real Windows processes: the helper's tree, a busy child, a
// child whose memory and I/O grow, and the process table on top of it all.
#include "base/win32_windows.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "procinfo/platform.h"
#include "procinfo/process_table.h"

namespace treemon {
namespace {

using namespace std::chrono_literals;

// Bounds the polls below; they end as soon as their condition holds.
constexpr auto POLL_LIMIT = 60s;

std::wstring helper_path() {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"treemon_test_helper.exe";
}

// The test helper with pipes on its standard input and output. Closing its input ends it.
class HelperProcess {
 public:
  explicit HelperProcess(const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE child_input = nullptr, to_child = nullptr, from_child = nullptr, child_output = nullptr;
    if (!::CreatePipe(&child_input, &to_child, &inherit, 0)) return;
    UniqueHandle child_input_owner(child_input);
    to_child_.reset(to_child);
    if (!::CreatePipe(&from_child, &child_output, &inherit, 0)) return;
    UniqueHandle child_output_owner(child_output);
    from_child_.reset(from_child);
    ::SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(from_child, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_input;
    startup.hStdOutput = child_output;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command = L"\"" + helper_path() + L"\" " + arguments;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &info)) {
      return;
    }
    ::CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    pid_ = info.dwProcessId;
  }

  ~HelperProcess() {
    end_input();
    if (process_ && ::WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) {
      ::TerminateProcess(process_.get(), 1);
    }
  }

  bool started() const { return process_.valid(); }
  uint32_t pid() const { return pid_; }
  HANDLE process() const { return process_.get(); }

  std::optional<std::string> read_line() {
    std::string line;
    char c = 0;
    DWORD got = 0;
    while (::ReadFile(from_child_.get(), &c, 1, &got, nullptr) && got == 1) {
      if (c == '\n') return line;
      line.push_back(c);
    }
    return std::nullopt;
  }

  bool send_line(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    return ::WriteFile(to_child_.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) &&
           written == text.size();
  }

  void end_input() { to_child_.reset(); }

  bool wait_exit() { return ::WaitForSingleObject(process_.get(), 30000) == WAIT_OBJECT_0; }

 private:
  UniqueHandle process_;
  UniqueHandle to_child_;
  UniqueHandle from_child_;
  uint32_t pid_ = 0;
};

// One node of the helper's tree as the node itself reported it.
struct TreeNode {
  uint32_t pid = 0;
  std::string parent;  // "-" for the root
  std::string command;
};

// Starts the helper's tree and reads its nodes up to "ready".
std::map<uint32_t, TreeNode> read_tree(HelperProcess& helper) {
  std::map<uint32_t, TreeNode> nodes;
  while (std::optional<std::string> line = helper.read_line()) {
    if (*line == "ready") break;
    std::istringstream fields(*line);
    std::string word;
    TreeNode node;
    fields >> word >> node.pid >> node.parent;
    std::getline(fields >> std::ws, node.command);
    if (word == "node") nodes[node.pid] = node;
  }
  return nodes;
}

bool wait_for_ready(HelperProcess& helper) {
  std::optional<std::string> line = helper.read_line();
  return line && *line == "ready";
}

struct NoHandles final : OpenedProcesses {
  ProcessHandle* find_opened(uint32_t) const override { return nullptr; }
};

std::vector<ListedProcess> list_all(ProcessPlatform& platform) {
  std::vector<ListedProcess> listed;
  EXPECT_TRUE(platform.list_processes(listed, NoHandles()));
  return listed;
}

const ListedProcess* find_listed(const std::vector<ListedProcess>& listed, uint32_t pid) {
  auto found = std::find_if(listed.begin(), listed.end(),
                            [pid](const ListedProcess& p) { return p.pid == pid; });
  return found == listed.end() ? nullptr : &*found;
}

std::unique_ptr<ProcessHandle> open_pid(ProcessPlatform& platform, uint32_t pid) {
  ListedProcess listed;
  listed.pid = pid;
  return platform.open_process(listed);
}

uint64_t cpu_100ns(const ProcessTimes& times) { return times.kernel_100ns + times.user_100ns; }
uint64_t cpu_100ns(const MachineTimes& times) { return times.kernel_100ns + times.user_100ns; }

std::string joined(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) text += (text.empty() ? "" : " ") + argument;
  return text;
}

// Whether the native command-line query is the path this system takes (6.3 and later) and
// whether it answers at all: Wine 8 reports Windows 10 but rejects the query.
bool version_uses_query() {
  using VersionQuery = NTSTATUS(NTAPI*)(PRTL_OSVERSIONINFOW);
  const FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
  RTL_OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!found ||
      !NT_SUCCESS(reinterpret_cast<VersionQuery>(reinterpret_cast<void (*)()>(found))(&version))) {
    return true;
  }
  return version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 3);
}

bool query_answers() {
  ULONG needed = 0;
  const NTSTATUS status = ::NtQueryInformationProcess(
      ::GetCurrentProcess(), static_cast<PROCESSINFOCLASS>(60), nullptr, 0, &needed);
  return status == static_cast<NTSTATUS>(0xC0000004) ||
         status == static_cast<NTSTATUS>(0x80000005) || status == static_cast<NTSTATUS>(0xC0000023);
}

bool command_lines_readable() { return !version_uses_query() || query_answers(); }

// Wine 8 keeps the CPU time of other processes frozen at a start value and answers zero for
// their I/O transfer counts and private bytes (its own process's CPU time is live). Those
// figures are checked on Windows only; under Wine the tests say what they left out.
bool running_under_wine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Keeps one processor busy in this process while it lives.
class BusyThread {
 public:
  BusyThread()
      : thread_([this] {
          volatile uint64_t spin = 0;
          while (!stop_) spin = spin + 1;
        }) {}
  ~BusyThread() {
    stop_ = true;
    thread_.join();
  }
  BusyThread(const BusyThread&) = delete;
  BusyThread& operator=(const BusyThread&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Polls until the process has used `wanted` more CPU time than `before`, or the poll limit ends.
ProcessTimes wait_for_cpu_use(ProcessPlatform& platform, ProcessHandle& process,
                              const ProcessTimes& before, uint64_t wanted_100ns) {
  ProcessTimes now = before;
  const auto deadline = std::chrono::steady_clock::now() + POLL_LIMIT;
  while (cpu_100ns(now) < cpu_100ns(before) + wanted_100ns &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
    now = platform.process_times(process).value_or(now);
  }
  return now;
}

class WindowsPlatformTest : public ::testing::Test {
 protected:
  std::unique_ptr<ProcessPlatform> platform = make_system_platform();
};

// The list: this process, the helper's whole tree with its parent links, and clean names.
TEST_F(WindowsPlatformTest, ListsTheHelperTreeWithParentsAndNames) {
  HelperProcess helper(L"tree 2 2");
  ASSERT_TRUE(helper.started());
  const std::map<uint32_t, TreeNode> nodes = read_tree(helper);
  ASSERT_EQ(nodes.size(), 7u);

  const std::vector<ListedProcess> listed = list_all(*platform);
  for (const auto& [pid, node] : nodes) {
    const ListedProcess* found = find_listed(listed, pid);
    ASSERT_NE(found, nullptr) << "pid " << pid;
    EXPECT_EQ(found->name, "treemon_test_helper.exe");
    EXPECT_EQ(found->state, ProcessState{ProcessStateKind::Run});
    EXPECT_FALSE(found->start_time_s.has_value());
    if (node.parent == "-") {
      EXPECT_EQ(pid, helper.pid());
      EXPECT_EQ(found->parent_pid, ::GetCurrentProcessId());
    } else {
      EXPECT_EQ(std::to_string(found->parent_pid), node.parent) << "pid " << pid;
    }
  }
  const ListedProcess* self = find_listed(listed, ::GetCurrentProcessId());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->name, "treemon_tests.exe");
}

// Names are whole fields without their NUL padding, and no field is empty.
TEST_F(WindowsPlatformTest, NamesHoldNoLeftoverCharacters) {
  const std::vector<ListedProcess> listed = list_all(*platform);
  ASSERT_GT(listed.size(), 3u);
  for (const ListedProcess& process : listed) {
    EXPECT_EQ(process.name.find('\0'), std::string::npos) << "pid " << process.pid;
    EXPECT_FALSE(process.name.empty()) << "pid " << process.pid;
  }
}

// Opening: pid 0 never, a pid that does not exist not at all, a live one with its creation time.
TEST_F(WindowsPlatformTest, OpensLiveProcessesOnly) {
  EXPECT_EQ(open_pid(*platform, 0), nullptr);
  EXPECT_EQ(open_pid(*platform, 0xFFFFFFF0u), nullptr);

  const uint64_t before_s = static_cast<uint64_t>(std::time(nullptr));
  HelperProcess helper(L"busy");
  ASSERT_TRUE(helper.started());
  ASSERT_TRUE(wait_for_ready(helper));
  const uint64_t after_s = static_cast<uint64_t>(std::time(nullptr));

  const std::unique_ptr<ProcessHandle> handle = open_pid(*platform, helper.pid());
  ASSERT_NE(handle, nullptr);
  const std::optional<ProcessTimes> times = platform->process_times(*handle);
  ASSERT_TRUE(times.has_value());
  ASSERT_TRUE(times->start_time_s.has_value());
  EXPECT_GE(*times->start_time_s + 1, before_s);
  EXPECT_LE(*times->start_time_s, after_s);
}

// A held handle keeps the process object: after the process ends it still answers, so its pid
// cannot be handed to a new process while the table holds the entry.
TEST_F(WindowsPlatformTest, HeldHandleOutlivesTheProcess) {
  HelperProcess helper(L"grow");
  ASSERT_TRUE(helper.started());
  ASSERT_TRUE(wait_for_ready(helper));
  const std::unique_ptr<ProcessHandle> handle = open_pid(*platform, helper.pid());
  ASSERT_NE(handle, nullptr);
  helper.end_input();
  ASSERT_TRUE(helper.wait_exit());

  const std::optional<ProcessTimes> times = platform->process_times(*handle);
  ASSERT_TRUE(times.has_value());
  EXPECT_TRUE(times->start_time_s.has_value());
  EXPECT_EQ(find_listed(list_all(*platform), helper.pid()), nullptr);
}

// CPU: a busy process's kernel+user time grows, and the machine's grows at least as much
// meanwhile. The busy thread of this process is visible everywhere, a busy child off Wine only.
TEST_F(WindowsPlatformTest, BusyThreadUsesCpu) {
  EXPECT_GE(platform->processor_count(), 1u);
  const std::unique_ptr<ProcessHandle> handle = open_pid(*platform, ::GetCurrentProcessId());
  ASSERT_NE(handle, nullptr);
  const std::optional<MachineTimes> machine_before = platform->machine_times();
  const std::optional<ProcessTimes> before = platform->process_times(*handle);
  ASSERT_TRUE(machine_before && before);

  ProcessTimes after;
  {
    BusyThread busy;
    after = wait_for_cpu_use(*platform, *handle, *before, 3000000);
  }
  const std::optional<MachineTimes> machine_after = platform->machine_times();
  ASSERT_TRUE(machine_after.has_value());
  const uint64_t process_used = cpu_100ns(after) - cpu_100ns(*before);
  EXPECT_GE(process_used, 3000000u) << "300 ms of CPU within the poll limit";
  EXPECT_GE(cpu_100ns(*machine_after) - cpu_100ns(*machine_before), process_used);
}

// Skipped under Wine, whose GetProcessTimes gives another process's CPU time frozen at a start
// value: a limit of Wine's, not a fault of the monitor's. Real Windows runs it in full.
TEST_F(WindowsPlatformTest, BusyChildUsesCpu) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine freezes other processes' GetProcessTimes; runs on real Windows";
  }
  HelperProcess helper(L"busy");
  ASSERT_TRUE(helper.started());
  ASSERT_TRUE(wait_for_ready(helper));
  const std::unique_ptr<ProcessHandle> handle = open_pid(*platform, helper.pid());
  ASSERT_NE(handle, nullptr);
  const std::optional<ProcessTimes> before = platform->process_times(*handle);
  ASSERT_TRUE(before.has_value());
  const ProcessTimes after = wait_for_cpu_use(*platform, *handle, *before, 3000000);
  EXPECT_GE(cpu_100ns(after) - cpu_100ns(*before), 3000000u);
}

// Memory and I/O: after the child commits and touches 64 MiB and moves 2 MiB each way through a
// file, its working set, private bytes and transfer counts have grown by at least that much.
struct GrowthFigures {
  MemoryFigures memory_before, memory_after;
  IoTotals io_before, io_after;
};

void grow_child(ProcessPlatform& platform, GrowthFigures& figures) {
  HelperProcess helper(L"grow");
  ASSERT_TRUE(helper.started());
  ASSERT_TRUE(wait_for_ready(helper));
  const std::unique_ptr<ProcessHandle> handle = open_pid(platform, helper.pid());
  ASSERT_NE(handle, nullptr);
  const std::optional<MemoryFigures> memory_before = platform.memory(*handle);
  const std::optional<IoTotals> io_before = platform.io_totals(*handle);
  ASSERT_TRUE(memory_before && io_before);
  ASSERT_TRUE(helper.send_line("grow"));
  ASSERT_EQ(helper.read_line(), "grown");
  const std::optional<MemoryFigures> memory_after = platform.memory(*handle);
  const std::optional<IoTotals> io_after = platform.io_totals(*handle);
  ASSERT_TRUE(memory_after && io_after);
  figures = {*memory_before, *memory_after, *io_before, *io_after};
}

constexpr uint64_t MiB = 1 << 20;

TEST_F(WindowsPlatformTest, WorkingSetGrows) {
  GrowthFigures figures;
  ASSERT_NO_FATAL_FAILURE(grow_child(*platform, figures));
  EXPECT_GE(figures.memory_after.resident_bytes, figures.memory_before.resident_bytes + 48 * MiB);
}

TEST_F(WindowsPlatformTest, PrivateBytesAndIoGrow) {
  if (running_under_wine()) GTEST_SKIP() << "Wine reports no private bytes and no I/O transfers";
  GrowthFigures figures;
  ASSERT_NO_FATAL_FAILURE(grow_child(*platform, figures));
  EXPECT_GE(figures.memory_after.private_bytes, figures.memory_before.private_bytes + 48 * MiB);
  EXPECT_GE(figures.io_after.read_bytes, figures.io_before.read_bytes + 2 * MiB);
  EXPECT_GE(figures.io_after.written_bytes, figures.io_before.written_bytes + 2 * MiB);
}

// The command line of a child: exactly the arguments the child sees itself where this system
// answers for it, and an empty list where the query that the version calls for fails.
TEST_F(WindowsPlatformTest, ReadsTheCommandLineOrEmptiesIt) {
  HelperProcess helper(L"tree 0 0");
  ASSERT_TRUE(helper.started());
  const std::map<uint32_t, TreeNode> nodes = read_tree(helper);
  ASSERT_EQ(nodes.size(), 1u);
  const std::unique_ptr<ProcessHandle> handle = open_pid(*platform, helper.pid());
  ASSERT_NE(handle, nullptr);

  // The Windows test script states which path the configured Windows version takes.
  if (const char* expected = std::getenv("TREEMON_EXPECT_COMMAND_LINES")) {
    EXPECT_EQ(command_lines_readable(), std::string(expected) == "yes");
  }
  const CommandLineRead read = platform->command_line(*handle);
  EXPECT_TRUE(read.replace);
  if (command_lines_readable()) {
    ASSERT_EQ(read.arguments.size(), 4u);
    EXPECT_EQ(read.arguments[1], "tree");
    EXPECT_EQ(joined(read.arguments), nodes.begin()->second.command);
  } else {
    EXPECT_TRUE(read.arguments.empty());
  }
}

// An empty command line has no arguments; splitting it would give this program's own path.
TEST_F(WindowsPlatformTest, EmptyCommandLineHasNoArguments) {
  HelperProcess helper(L"blank");
  ASSERT_TRUE(helper.started());
  ASSERT_TRUE(wait_for_ready(helper));
  const std::unique_ptr<ProcessHandle> handle = open_pid(*platform, helper.pid());
  ASSERT_NE(handle, nullptr);
  const CommandLineRead read = platform->command_line(*handle);
  EXPECT_TRUE(read.replace);
  EXPECT_EQ(read.arguments, std::vector<std::string>{});
}

// The table on the real platform: the tree's parent links, and a busy child's CPU percentage
// rising above zero at the third refresh, never above all processors together.
TEST_F(WindowsPlatformTest, TableFollowsRealProcesses) {
  HelperProcess tree(L"tree 1 2");
  ASSERT_TRUE(tree.started());
  const std::map<uint32_t, TreeNode> nodes = read_tree(tree);
  ASSERT_EQ(nodes.size(), 3u);
  HelperProcess busy(L"busy");
  ASSERT_TRUE(busy.started());
  ASSERT_TRUE(wait_for_ready(busy));

  ProcessTable table(*platform);
  {
    BusyThread busy_here;
    for (int refresh = 0; refresh < 3; ++refresh) {
      if (refresh > 0) std::this_thread::sleep_for(400ms);
      table.refresh(RefreshOptions::everything(), true);
      table.read_all_figures();
    }
  }
  for (const auto& [pid, node] : nodes) {
    const ProcessInfo* info = table.find(pid);
    ASSERT_NE(info, nullptr) << "pid " << pid;
    EXPECT_EQ(info->name, "treemon_test_helper.exe");
    if (node.parent != "-") {
      EXPECT_EQ(std::to_string(info->parent_pid.value_or(0)), node.parent);
    }
    EXPECT_GT(info->start_time_s, 0u);
    EXPECT_GT(info->resident_bytes, 0u);
  }
  EXPECT_EQ(table.processor_count(), platform->processor_count());
  const float all_processors = 100.0f * static_cast<float>(table.processor_count());
  const ProcessInfo* self = table.find(::GetCurrentProcessId());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->name, "treemon_tests.exe");
  EXPECT_GT(self->cpu_percent, 0.0f);
  EXPECT_LE(self->cpu_percent, all_processors + 0.5f);
  EXPECT_GT(self->cpu_time_ms, 0u);
  const ProcessInfo* busy_info = table.find(busy.pid());
  ASSERT_NE(busy_info, nullptr);
  EXPECT_LE(busy_info->cpu_percent, all_processors + 0.5f);
  if (!running_under_wine()) {
    EXPECT_GT(busy_info->cpu_percent, 0.0f);
  }

  busy.end_input();
  ASSERT_TRUE(busy.wait_exit());
  table.refresh(RefreshOptions::everything(), true);
  table.read_all_figures();
  EXPECT_EQ(table.find(busy.pid()), nullptr);
}

// The wall clock reads the same time as the C runtime, in nanoseconds since 1970.
TEST(WindowsClock, WallClockIsUnixTime) {
  SystemClock clock;
  const int64_t before_s = static_cast<int64_t>(std::time(nullptr));
  const int64_t now_ns = clock.wall_now_unix_ns();
  const int64_t after_s = static_cast<int64_t>(std::time(nullptr));
  EXPECT_GE(now_ns / 1000000000, before_s - 1);
  EXPECT_LE(now_ns / 1000000000, after_s + 1);
}

// Error texts: the system's words and the code, or a stand-in for a code it does not know.
TEST(Win32ErrorText, NamesTheCode) {
  const std::string broken_pipe = win32_error_text(ERROR_BROKEN_PIPE);
  EXPECT_NE(broken_pipe.find("(os error 109)"), std::string::npos) << broken_pipe;
  EXPECT_GT(broken_pipe.size(), std::string(" (os error 109)").size()) << broken_pipe;
  EXPECT_EQ(broken_pipe.find('\n'), std::string::npos);
  EXPECT_EQ(broken_pipe.find('\r'), std::string::npos);

  EXPECT_EQ(win32_error_text(0x2000DEADu), "Unknown error (os error 536927917)");
}

// A handle is closed exactly once: moving it hands over ownership, reset closes it.
TEST(UniqueHandleTest, ClosesOnce) {
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  UniqueHandle first(event);
  UniqueHandle second(std::move(first));
  EXPECT_FALSE(first.valid());
  EXPECT_TRUE(second.valid());
  DWORD flags = 0;
  EXPECT_TRUE(::GetHandleInformation(event, &flags));
  second = UniqueHandle();
  EXPECT_FALSE(::GetHandleInformation(event, &flags));
  EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE).valid());
}

}  // namespace
}  // namespace treemon
