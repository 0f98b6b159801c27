// The job object against a real process: the command's way in (created suspended, put in the
// job, resumed) and the job's count, or, where the system's job cannot serve (Wine 8 fails the
// query with ERROR_INVALID_FUNCTION), the fallback to the samples and its label.
#include "recorder/tree_accounting_windows.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

namespace treemon::recorder {
namespace {

bool running_under_wine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring helper_path() {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"treemon_test_helper.exe";
}

uint64_t cpu_100ns(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  const auto value = [](const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  return value(kernel) + value(user);
}

// The helper's busy mode, created suspended; it spins until its input ends.
class SuspendedBusyHelper {
 public:
  SuspendedBusyHelper() {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE child_input = nullptr, to_child = nullptr;
    if (!::CreatePipe(&child_input, &to_child, &inherit, 0)) return;
    UniqueHandle child_input_owner(child_input);
    to_child_.reset(to_child);
    ::SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_input;
    discard_.reset(::CreateFileW(L"NUL", GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr));
    startup.hStdOutput = discard_.get();
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command = L"\"" + helper_path() + L"\" busy";
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                          nullptr, nullptr, &startup, &info)) {
      return;
    }
    process_.reset(info.hProcess);
    thread_.reset(info.hThread);
    pid_ = info.dwProcessId;
  }
  ~SuspendedBusyHelper() {
    if (!process_) return;
    if (thread_) ::ResumeThread(thread_.get());
    to_child_.reset();
    if (::WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) {
      ::TerminateProcess(process_.get(), 1);
    }
  }

  bool started() const { return process_.valid(); }
  HANDLE process() const { return process_.get(); }
  uint32_t pid() const { return pid_; }
  bool resume() {
    return ::ResumeThread(std::exchange(thread_, UniqueHandle()).get()) != DWORD(-1);
  }

 private:
  UniqueHandle process_, thread_, to_child_, discard_;
  uint32_t pid_ = 0;
};

TEST(TreeAccountingWindowsTest, JobCountsTheTreeOrTheSamplesAreLabelled) {
  Result<JobObject> job = JobObject::create();
  ASSERT_TRUE(job.ok()) << job.status().message();
  SuspendedBusyHelper helper;
  ASSERT_TRUE(helper.started());
  ASSERT_TRUE(job.value().assign(helper.process()).ok());
  EXPECT_EQ(job.value().holds(helper.process()), std::optional<bool>(true));
  EXPECT_EQ(job.value().holds(::GetCurrentProcess()), std::optional<bool>(false));
  ASSERT_TRUE(helper.resume());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  JobTreeAccounting accounting(std::move(job.value()));
  const TreeUsage sampled{cpu_100ns(helper.process()), 0, 0};
  const TreeMember members[] = {{{helper.pid(), ::GetCurrentProcessId()}, 1, sampled}};
  const std::optional<KernelReading> reading = accounting.read(members);
  const TreeTotals totals = combine_totals(std::nullopt, reading, sampled);
  if (running_under_wine()) {
    EXPECT_FALSE(reading);
    ASSERT_TRUE(accounting.tally().fallback());
    EXPECT_NE(*accounting.tally().fallback(), JobFallback::NotInJob);
    EXPECT_EQ(totals.source, TotalsSource::Samples);
    EXPECT_EQ(totals.usage, sampled);
  } else {
    ASSERT_TRUE(reading);
    EXPECT_GE(reading->usage.cpu_100ns, 1000000u) << "a tenth of the half second spinning";
    EXPECT_EQ(reading->total_processes, std::optional<uint64_t>(1));
    EXPECT_EQ(totals.source, TotalsSource::Kernel);
  }
}

// A command that could not be put in a job gives no count from the start.
TEST(TreeAccountingWindowsTest, CommandOutsideAnyJobOfOursGivesTheSamples) {
  JobTreeAccounting accounting(std::nullopt);
  const TreeMember members[] = {{{::GetCurrentProcessId(), 0}, 1, {10, 0, 0}}};
  EXPECT_FALSE(accounting.read(members));
  EXPECT_EQ(accounting.tally().fallback(), std::optional<JobFallback>(JobFallback::NotInJob));
}

}  // namespace
}  // namespace treemon::recorder
