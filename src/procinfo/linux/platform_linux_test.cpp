// The Linux layer against real processes: children forked by the test itself.
#include <dirent.h>
#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "procinfo/linux/exit_watch_linux.h"
#include "procinfo/linux/platform_linux.h"
#include "procinfo/linux/process_handle_linux.h"
#include "procinfo/platform.h"
#include "procinfo/process_table.h"
#include "support/child_process.h"

namespace treemon {
namespace {

using namespace std::chrono_literals;

// A forked child that the test owns: killed and reaped when it goes out of scope.
class Child {
 public:
  template <typename Body>
  explicit Child(Body body) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      body(ready[1]);
      ::_exit(0);
    }
    ::close(ready[1]);
    char byte;
    while (::read(ready[0], &byte, 1) < 0 && errno == EINTR) {
    }  // the body says it is set up
    ::close(ready[0]);
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      reap();
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  uint32_t pid() const { return static_cast<uint32_t>(pid_); }
  void reap() {
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  void kill_and_reap() {
    ::kill(pid_, SIGKILL);
    reap();
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

void say_ready(int fd) {
  const char byte = 'r';
  static_cast<void>(::write(fd, &byte, 1));
  ::close(fd);
}

[[noreturn]] void spin() {
  volatile uint64_t counter = 0;
  for (;;) counter = counter + 1;
}

[[noreturn]] void wait_for_kill() {
  for (;;) ::pause();
}

// The body of a child that says it is ready and sleeps until it is killed, under `name` when one
// is given. It goes with the test process, should that end first (a death test's ends early).
auto sleeping(const char* name = nullptr) {
  return [name](int ready) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (name != nullptr) ::prctl(PR_SET_NAME, name, 0, 0, 0);
    say_ready(ready);
    wait_for_kill();
  };
}

void refresh(ProcessTable& table) {
  table.refresh(RefreshOptions::everything(), true);
  table.read_all_figures();
}

// What a busy child got over one true interval: the table's percentage, and its own CPU time
// over the wall time between the same two refreshes, measured without the machine's times.
struct IntervalReading {
  float percent = -1.0f;
  double share_percent = 0.0;
};

IntervalReading read_interval(ProcessTable& table, uint32_t pid) {
  refresh(table);
  std::this_thread::sleep_for(500ms);
  refresh(table);  // the whole-life reading
  const auto start = std::chrono::steady_clock::now();
  const uint64_t cpu_start = table.find(pid) ? table.find(pid)->cpu_time_ms : 0;
  std::this_thread::sleep_for(1500ms);
  refresh(table);  // the true interval
  const double wall_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const ProcessInfo* info = table.find(pid);
  if (!info) return {};
  return {info->cpu_percent, 100.0 * static_cast<double>(info->cpu_time_ms - cpu_start) / wall_ms};
}

// Busy children run in a scheduling group of their own at a high priority where the test may
// raise it, so that a loaded machine still gives them whole processors. Only the child's own new
// session is affected.
void raise_priority() {
  ::setsid();
  const int group = ::open("/proc/self/autogroup", O_WRONLY | O_CLOEXEC);
  if (group >= 0) {
    static_cast<void>(::write(group, "-15", 3));
    ::close(group);
  }
  static_cast<void>(::setpriority(PRIO_PROCESS, 0, -15));
}

char state_letter(uint32_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

// A child that said it is ready may still be on its way into its sleep.
void wait_for_state(uint32_t pid, char letter) {
  for (int i = 0; i < 500 && state_letter(pid) != letter; ++i) std::this_thread::sleep_for(2ms);
}

// What the platform itself keeps open: /proc and its reserve, /proc/stat, /proc/loadavg,
// pid_max and the epoll set.
constexpr size_t PLATFORM_DESCRIPTORS = 6;

size_t open_descriptor_count() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    static_cast<void>(entry);
    ++count;
  }
  return count;
}

class LinuxPlatformTest : public ::testing::Test {
 protected:
  std::unique_ptr<ProcessPlatform> platform = make_system_platform();
  ProcessTable table{*platform};
};

// The machine as the table sees it: our own process, its parent link, and whole-second starts.
TEST_F(LinuxPlatformTest, ListsThisProcessWithItsFigures) {
  refresh(table);
  const ProcessInfo* self = table.find(static_cast<uint32_t>(::getpid()));
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->parent_pid, static_cast<uint32_t>(::getppid()));
  EXPECT_EQ(self->state.text(), "Run");
  EXPECT_FALSE(self->arguments.empty());
  EXPECT_GT(self->resident_bytes, 0u);
  EXPECT_GT(self->virtual_bytes, 0u);
  EXPECT_GT(self->read_bytes, 0u);
  const uint64_t now = static_cast<uint64_t>(::time(nullptr));
  EXPECT_LE(self->start_time_s, now);
  EXPECT_GT(self->start_time_s, now - 3600);
  EXPECT_LE(self->run_time_s, now - self->start_time_s + 1);
  EXPECT_EQ(table.processor_count(), static_cast<uint32_t>(::sysconf(_SC_NPROCESSORS_ONLN)));
  if (const ProcessInfo* init = table.find(1)) {
    EXPECT_EQ(init->parent_pid, std::nullopt);
  }
  EXPECT_EQ(table.find(0), nullptr);
}

// Where CPU clocks are read, the machine's times a process's CPU reading measures against are the
// raw monotonic clock's around that reading, times the processors: inside the test's own readings
// of that clock around the list and the open that read it.
TEST(LinuxPlatformCpuTest, MachineSpanIsTheClockAroundTheProcesssReading) {
  std::unique_ptr<ProcessPlatform> platform = make_system_platform();
  struct NoneOpened final : OpenedProcesses {
    ProcessHandle* find_opened(uint32_t) const override { return nullptr; }
  } none;
  std::vector<ListedProcess> listed;
  const uint64_t before_ns = linux_proc::raw_monotonic_ns();
  ASSERT_TRUE(platform->list_processes(listed, none));
  const auto self = std::find_if(listed.begin(), listed.end(), [](const ListedProcess& process) {
    return process.pid == static_cast<uint32_t>(::getpid());
  });
  ASSERT_NE(self, listed.end());
  std::unique_ptr<ProcessHandle> handle = platform->open_process(*self);
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(platform->process_times(*handle));
  const uint64_t after_ns = linux_proc::raw_monotonic_ns();
  const std::optional<MachineSpan> span = platform->machine_span_around(*handle);
  if (!span) GTEST_SKIP() << "no CPU clocks here: the machine's times come from /proc/stat";
  const uint64_t processors = platform->processor_count();
  EXPECT_EQ(span->before.kernel_100ns, 0u);
  EXPECT_GE(span->before.user_100ns, before_ns / 100 * processors);
  EXPECT_LE(span->before.user_100ns, span->after.user_100ns);
  EXPECT_LE(span->after.user_100ns, after_ns / 100 * processors);
}

// Kernel threads (visible where the monitor shares the kernel's pid namespace) have no memory
// and no arguments, exactly as their own files say.
TEST_F(LinuxPlatformTest, KernelThreadsHaveNoMemoryOrArguments) {
  refresh(table);
  refresh(table);
  const ProcessInfo* kthreadd = table.find(2);
  if (kthreadd == nullptr || kthreadd->name != "kthreadd") GTEST_SKIP() << "no kernel threads here";
  EXPECT_EQ(kthreadd->parent_pid, std::nullopt);
  EXPECT_TRUE(kthreadd->arguments.empty());
  EXPECT_EQ(kthreadd->resident_bytes, 0u);
  EXPECT_EQ(kthreadd->virtual_bytes, 0u);
  std::ifstream statm("/proc/2/statm");
  std::string text((std::istreambuf_iterator<char>(statm)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "0 0 0 0 0 0 0\n");
}

// A child that spins shows near 100 % of one processor, and two spinning threads more than that.
// The percentage always matches the child's own CPU time over the wall time.
TEST_F(LinuxPlatformTest, BusyChildrenPercentages) {
  struct Case {
    int threads;
    float low, high;
  };
  // The upper bounds allow for the machine's tick counts lagging the wall clock (see below).
  const Case cases[] = {{1, 85.0f, 133.0f}, {2, 105.0f, 263.0f}};
  for (const Case& c : cases) {
    if (c.threads > ::sysconf(_SC_NPROCESSORS_ONLN)) continue;
    Child busy([&](int ready) {
      raise_priority();
      if (c.threads == 2) std::thread([] { spin(); }).detach();
      say_ready(ready);
      spin();
    });
    const IntervalReading reading = read_interval(table, busy.pid());
    // The machine's own tick counts lag the wall clock on a busy virtual machine, so the two
    // measures agree only roughly there.
    EXPECT_NEAR(reading.percent, reading.share_percent, 3.0 + reading.share_percent * 0.3)
        << c.threads << " threads";
    EXPECT_LT(reading.percent, c.high) << c.threads << " threads";
    // A loaded machine (other sessions' work is scheduled beside ours whatever our priority)
    // may not give the child its processors; when it did, the table must show it.
    if (reading.share_percent > c.low + 5.0) {
      EXPECT_GT(reading.percent, c.low) << c.threads << " threads";
    } else {
      std::printf("[ note     ] %d busy threads got only %.1f %% of the wall time\n", c.threads,
                  reading.share_percent);
    }
    EXPECT_GT(reading.percent, 0.0f);
  }
}

// Reads and writes of every kind count, and memory that the child touches is resident and
// private.
TEST_F(LinuxPlatformTest, IoAndMemoryGrowWhenTheChildWorks) {
  int command[2];
  ASSERT_EQ(::pipe(command), 0);
  constexpr size_t MIB = 1 << 20;
  Child worker([&](int ready) {
    ::close(command[1]);
    say_ready(ready);
    char go;
    while (::read(command[0], &go, 1) != 1) {
    }
    // Plain system calls and mapped memory: nothing here depends on the allocator, which may
    // not be usable after fork under a sanitizer.
    const size_t size = 64 * MIB;
    char* memory = static_cast<char*>(
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    const int zero = ::open("/dev/zero", O_RDONLY);
    const int null = ::open("/dev/null", O_WRONLY);
    static_cast<void>(::read(zero, memory, 8 * MIB));
    static_cast<void>(::write(null, memory, 3 * MIB));
    for (size_t at = 0; at < size; at += 4096) memory[at] = 1;
    wait_for_kill();
  });
  ::close(command[0]);
  refresh(table);
  const ProcessInfo before = *table.find(worker.pid());

  static_cast<void>(::write(command[1], "g", 1));
  ::close(command[1]);
  for (int i = 0; i < 100; ++i) {  // until the child has done its work
    refresh(table);
    if (table.find(worker.pid())->resident_bytes >= before.resident_bytes + 64 * MIB) break;
    std::this_thread::sleep_for(50ms);
  }
  const ProcessInfo& after = *table.find(worker.pid());
  EXPECT_GE(after.read_bytes, before.read_bytes + 8 * MIB);
  EXPECT_GE(after.written_bytes, before.written_bytes + 3 * MIB);
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the thread sanitizer's runtime remaps a forked child's memory";
#endif
#endif
  EXPECT_GE(after.resident_bytes, before.resident_bytes + 64 * MIB);
  EXPECT_GE(after.virtual_bytes, before.virtual_bytes + 64 * MIB);
}

// A child that ended and was reaped loses its entry; one not yet reaped shows as a zombie.
TEST_F(LinuxPlatformTest, ZombieThenGone) {
  Child quick([](int ready) { say_ready(ready); });
  wait_for_state(quick.pid(), 'Z');
  refresh(table);
  ASSERT_NE(table.find(quick.pid()), nullptr);
  EXPECT_EQ(table.find(quick.pid())->state.text(), "Zombie");
  EXPECT_TRUE(table.find(quick.pid())->arguments.empty());

  quick.reap();
  refresh(table);
  EXPECT_EQ(table.find(quick.pid()), nullptr);
  for (const ProcessInfo* info : table.entries()) EXPECT_NE(info->pid, quick.pid());
}

// Names come from the kernel's command name, whatever it holds.
TEST_F(LinuxPlatformTest, NameWithSpacesAndParentheses) {
  Child named(sleeping("a (b) c) d"));
  wait_for_state(named.pid(), 'S');
  refresh(table);
  ASSERT_NE(table.find(named.pid()), nullptr);
  EXPECT_EQ(table.find(named.pid())->name, "a (b) c) d");
  EXPECT_EQ(table.find(named.pid())->state.text(), "Sleep");
}

// An executed program: a name longer than the kernel keeps, with spaces, parentheses and a byte
// that is not UTF-8, and its arguments split at NULs.
TEST_F(LinuxPlatformTest, ExecutedProgramArgumentsAndLongName) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("treemon-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path link = dir / "sleeper (\xFF) with a long name";
  std::filesystem::remove(link);
  std::filesystem::create_symlink("/bin/sleep", link);
  const std::string program = link.string();
  Child sleeper([&](int ready) {
    ::fcntl(ready, F_SETFD, FD_CLOEXEC);  // closing at exec tells the parent it happened
    ::execl(program.c_str(), program.c_str(), "1000", "0", nullptr);
  });
  // The kernel sets the new program's arguments up a moment after the old descriptors close.
  const ProcessInfo* info = nullptr;
  for (int i = 0; i < 100; ++i) {
    wait_for_state(sleeper.pid(), 'S');
    refresh(table);
    info = table.find(sleeper.pid());
    if (info && info->arguments.size() == 3) break;
    std::this_thread::sleep_for(20ms);
  }
  std::filesystem::remove_all(dir);
  ASSERT_NE(info, nullptr);
  const std::string repaired = dir.string() + "/sleeper (\xEF\xBF\xBD) with a long name";
  EXPECT_EQ(info->name, "sleeper (\xEF\xBF\xBD) with a long name");
  EXPECT_EQ(info->arguments, (std::vector<std::string>{repaired, "1000", "0"}));
  EXPECT_EQ(info->state.text(), "Sleep");
  EXPECT_EQ(info->parent_pid, static_cast<uint32_t>(::getpid()));
  const uint64_t now = static_cast<uint64_t>(::time(nullptr));
  EXPECT_GE(info->start_time_s + 5, now);
  EXPECT_LE(info->start_time_s, now);
}

// Arguments that take far more than a row shows: only the first COMMAND_LINE_READ_BYTES of the
// command line are read and kept. A program file name longer than the kernel keeps is completed
// from the first argument, cut to NAME_KEPT_BYTES, unless that argument goes on past what is read.
TEST_F(LinuxPlatformTest, CommandLinesAreReadOnlyAsFarAsRowsShow) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("treemon-wide-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string program = (dir / "a-very-long-program-name").string();
  std::filesystem::remove(program);
  std::filesystem::create_symlink(TREEMON_TEST_HELPER, program);
  const std::string wide(100000, 'w');  // below the kernel's limit for one argument
  const struct {
    std::string first_argument;
    std::string name;
  } cases[] = {
      {program, "a-very-long-program-name"},
      {"/x/a-very-long-pro" + std::string(5000, 'n'),
       "a-very-long-pro" + std::string(NAME_KEPT_BYTES - 15, 'n')},
      {"/x/a-very-long-pro" + wide, "a-very-long-pro"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 40));
    std::vector<std::string> arguments = {c.first_argument, "sleep", "1000"};
    for (int i = 0; i < 12; ++i) arguments.push_back(wide);
    Child wide_child([&](int ready) {
      ::fcntl(ready, F_SETFD, FD_CLOEXEC);  // closing at exec tells the parent it happened
      std::vector<char*> argv;
      for (auto& argument : arguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
    });
    const ProcessInfo* info = nullptr;
    for (int i = 0; i < 100; ++i) {
      wait_for_state(wide_child.pid(), 'S');
      refresh(table);
      info = table.find(wide_child.pid());
      const std::string_view start = std::string_view(c.first_argument).substr(0, 18);
      if (info && !info->arguments.empty() && info->arguments[0].starts_with(start)) break;
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->name, c.name);
    std::string whole;
    for (const auto& argument : arguments) whole.append(argument).push_back('\0');
    std::string kept;
    for (const auto& argument : info->arguments) kept.append(argument).push_back('\0');
    EXPECT_EQ(kept.size(), COMMAND_LINE_READ_BYTES + 1);  // the last argument cut, with its NUL
    EXPECT_TRUE(whole.starts_with(kept.substr(0, COMMAND_LINE_READ_BYTES)));
  }
  std::filesystem::remove_all(dir);
}

// clone3 with a chosen pid (needs privilege): the only way to reuse a pid on purpose.
pid_t fork_with_pid(pid_t pid) {
  clone_args args{};
  args.exit_signal = SIGCHLD;
  args.set_tid = reinterpret_cast<uint64_t>(&pid);
  args.set_tid_size = 1;
  return static_cast<pid_t>(::syscall(SYS_clone3, &args, sizeof(args)));
}

uint32_t parent_pid_in_stat(uint32_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  return static_cast<uint32_t>(std::atol(text.c_str() + close + 4));
}

// A process listed without a read between two refreshes still shows what changed: the parent the
// kernel gave it when its own parent exited (reaped or not), and the state it stopped in.
TEST_F(LinuxPlatformTest, SteadyProcessesFollowTheirParentsExitAndTheirState) {
  for (const bool reap_parent : {true, false}) {
    int told[2];
    int cue[2];
    ASSERT_EQ(::pipe(told), 0);
    ASSERT_EQ(::pipe(cue), 0);
    Child parent([&](int ready) {
      const pid_t grandchild = ::fork();
      if (grandchild == 0) wait_for_kill();
      static_cast<void>(::write(told[1], &grandchild, sizeof grandchild));
      say_ready(ready);
      char byte;
      static_cast<void>(::read(cue[0], &byte, 1));
      ::_exit(0);
    });
    pid_t grandchild = 0;
    ASSERT_EQ(::read(told[0], &grandchild, sizeof grandchild),
              static_cast<ssize_t>(sizeof grandchild));
    const auto orphan = static_cast<uint32_t>(grandchild);
    refresh(table);
    refresh(table);
    ASSERT_NE(table.find(orphan), nullptr);
    EXPECT_EQ(table.find(orphan)->parent_pid, parent.pid());

    const linux_proc::UniqueFd parent_exit = linux_proc::open_pidfd(parent.pid());
    ASSERT_TRUE(parent_exit);
    ASSERT_EQ(::write(cue[1], "x", 1), 1);
    // A leader shows Z while the rest of its thread group (a sanitizer's thread, say) is still
    // ending. The last thread gives its children their new parent, and only then tells its exit:
    // until then the parent is trusted, as it may be for any reading before the exit.
    pollfd exited{parent_exit.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&exited, 1, 5000), 1);
    if (reap_parent) parent.reap();
    refresh(table);
    ASSERT_NE(table.find(orphan), nullptr);
    EXPECT_NE(table.find(orphan)->parent_pid, parent.pid()) << "reaped: " << reap_parent;
    EXPECT_EQ(table.find(orphan)->parent_pid, parent_pid_in_stat(orphan));

    ::kill(grandchild, SIGSTOP);
    wait_for_state(orphan, 'T');
    table.refresh(RefreshOptions::everything(), true);
    const uint32_t looked_at[] = {orphan};
    table.read_figures(looked_at);
    EXPECT_EQ(table.find(orphan)->state.text(), "Stop");
    ::kill(grandchild, SIGKILL);
    for (int fd : {told[0], told[1], cue[0], cue[1]}) ::close(fd);
  }
}

// Starts a child that forks a grandchild; both wait to be killed. The grandchild's pid, or -1.
pid_t fork_child_with_grandchild(std::unique_ptr<Child>& child) {
  int told[2];
  if (::pipe(told) != 0) return -1;
  child = std::make_unique<Child>([&](int ready) {
    const pid_t grandchild = ::fork();
    if (grandchild == 0) wait_for_kill();
    static_cast<void>(::write(told[1], &grandchild, sizeof grandchild));
    say_ready(ready);
    wait_for_kill();
  });
  pid_t grandchild = -1;
  if (::read(told[0], &grandchild, sizeof grandchild) != static_cast<ssize_t>(sizeof grandchild)) {
    grandchild = -1;
  }
  for (int fd : told) ::close(fd);
  return grandchild;
}

// Listing trees alone: a child and its grandchild under this process are listed, this process's
// parent (outside the tree) is not, and a list of every process brings it back.
TEST_F(LinuxPlatformTest, ListsTheTreesItIsToldAlone) {
  std::unique_ptr<Child> owner;
  const pid_t grandchild = fork_child_with_grandchild(owner);
  ASSERT_GT(grandchild, 0);
  const Child& child = *owner;
  const auto self = static_cast<uint32_t>(::getpid());
  const auto parent = static_cast<uint32_t>(::getppid());
  platform->list_only_trees(std::vector<uint32_t>{self});
  for (int pass = 0; pass < 2; ++pass) {
    refresh(table);
    ASSERT_NE(table.find(static_cast<uint32_t>(grandchild)), nullptr) << "pass " << pass;
    EXPECT_EQ(table.find(static_cast<uint32_t>(grandchild))->parent_pid, child.pid());
    EXPECT_NE(table.find(child.pid()), nullptr);
    EXPECT_NE(table.find(self), nullptr);
    EXPECT_EQ(table.find(parent), nullptr);
  }
  platform->list_only_trees(std::nullopt);
  refresh(table);
  EXPECT_NE(table.find(parent), nullptr);
  ::kill(grandchild, SIGKILL);
}

// A parent that a read finds ended (its kept stat file fails once it is reaped) before its exit
// is looked for: its child, listed unread, still follows it to the parent the kernel gave it.
TEST_F(LinuxPlatformTest, AParentFoundEndedByAReadStillHandsOverItsChildren) {
  std::unique_ptr<Child> owner;
  const pid_t grandchild = fork_child_with_grandchild(owner);
  ASSERT_GT(grandchild, 0);
  Child& parent = *owner;
  const auto orphan = static_cast<uint32_t>(grandchild);
  refresh(table);
  table.refresh(RefreshOptions::everything(), true);  // the parent's state is left to phase two
  ASSERT_NE(table.find(orphan), nullptr);
  ASSERT_EQ(table.find(orphan)->parent_pid, parent.pid());

  parent.kill_and_reap();
  const uint32_t looked_at[] = {parent.pid()};
  table.read_figures(looked_at);
  refresh(table);
  ASSERT_NE(table.find(orphan), nullptr);
  EXPECT_EQ(table.find(orphan)->parent_pid, parent_pid_in_stat(orphan));
  ::kill(grandchild, SIGKILL);
}

// A pid that a newer process took is a new entry with that process's name and start time, also
// when both processes started within the same second.
TEST_F(LinuxPlatformTest, ReusedPidIsANewEntry) {
  for (const auto pause : {1100ms, 0ms}) {
    Child first(sleeping("first-owner"));
    const pid_t pid = static_cast<pid_t>(first.pid());
    refresh(table);
    ASSERT_EQ(table.find(first.pid())->name, "first-owner");
    const uint64_t first_start = table.find(first.pid())->start_time_s;
    first.kill_and_reap();
    std::this_thread::sleep_for(pause);

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t second = fork_with_pid(pid);
    if (second < 0) GTEST_SKIP() << "cannot choose a pid here: " << std::strerror(errno);
    if (second == 0) sleeping("second-owner")(ready[1]);
    ::close(ready[1]);
    char byte;
    static_cast<void>(::read(ready[0], &byte, 1));
    ::close(ready[0]);
    refresh(table);
    const ProcessInfo* info = table.find(first.pid());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->name, "second-owner") << pause.count() << " ms apart";
    EXPECT_GE(info->start_time_s, first_start + (pause > 1s ? 1 : 0));
    EXPECT_EQ(info->cpu_percent, 0.0f);
    ::kill(second, SIGKILL);
    ::waitpid(second, nullptr, 0);
    refresh(table);
  }
}

// The statm, io and cmdline files are opened when a figure of them is first read, by path. Opened
// after the pid was reused, they would be the newer process's: the entry shows none of theirs.
TEST_F(LinuxPlatformTest, FiguresFirstReadAfterThePidWasReusedAreNotTheNewProcesses) {
  Child first(sleeping());
  const uint32_t pid = first.pid();
  table.refresh(RefreshOptions::everything(), true);  // the stat file only: no figure read yet
  first.kill_and_reap();
  const pid_t second = fork_with_pid(static_cast<pid_t>(pid));
  if (second < 0) GTEST_SKIP() << "cannot choose a pid here: " << std::strerror(errno);
  if (second == 0) {
    ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const std::string command_line = "/proc/" + std::to_string(pid) + "/cmdline";
  for (int i = 0; i < 500; ++i) {
    std::ifstream file(command_line);
    std::string first_argument;
    std::getline(file, first_argument, '\0');
    if (first_argument == "sleep") break;
    std::this_thread::sleep_for(2ms);
  }
  const uint32_t pids[] = {pid};
  table.read_figures(pids);
  const ProcessInfo* info = table.find(pid);
  ASSERT_NE(info, nullptr);
  EXPECT_TRUE(info->arguments.empty());
  EXPECT_EQ(info->resident_bytes, 0u);
  ::kill(second, SIGKILL);
  ::waitpid(second, nullptr, 0);
}

// A buffer written before 20 forks is resident once: the tree's proportional memory holds it
// once, where its resident sizes hold it 21 times.
TEST_F(LinuxPlatformTest, ForkSharedBufferCountsOnceInTheTreesMemoryShare) {
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the thread sanitizer's runtime writes a shadow of the buffer, shared as well";
#endif
#endif
  constexpr uint64_t MIB = 1 << 20;
  constexpr int CHILDREN = 20;
  constexpr uint64_t BUFFER_MIB = 100;
  ASSERT_EQ(platform->memory_share_kind(), MemoryShareKind::Proportional);
  test_support::ChildProcess helper({TREEMON_TEST_HELPER, "shared-memory", std::to_string(CHILDREN),
                                     std::to_string(BUFFER_MIB), "60"});
  std::vector<uint32_t> tree{static_cast<uint32_t>(helper.pid())};
  while (std::optional<std::string> line = helper.read_line(20s)) {
    if (*line == "ready") break;
    tree.push_back(static_cast<uint32_t>(std::stoul(*line)));
  }
  ASSERT_EQ(tree.size(), size_t{CHILDREN + 1});
  refresh(table);
  uint64_t shares = 0;
  uint64_t resident = 0;
  for (uint32_t pid : tree) {
    const std::optional<uint64_t> share = table.read_memory_share(pid);
    ASSERT_TRUE(share) << pid;
    shares += *share;
    resident += table.find(pid)->resident_bytes;
  }
  EXPECT_GE(shares, BUFFER_MIB * MIB);
  EXPECT_LE(shares, (BUFFER_MIB + BUFFER_MIB / 4) * MIB);
  EXPECT_GE(resident, CHILDREN * BUFFER_MIB * MIB);
}

// smaps_rollup is read by path: read after the pid was reused, it would be the newer process's.
TEST_F(LinuxPlatformTest, MemoryShareIsNeverAReusedPidsProcesss) {
  Child first([](int ready) {
    say_ready(ready);
    wait_for_kill();
  });
  const uint32_t pid = first.pid();
  refresh(table);
  EXPECT_TRUE(table.read_memory_share(pid));
  first.kill_and_reap();
  const pid_t second = fork_with_pid(static_cast<pid_t>(pid));
  if (second < 0) GTEST_SKIP() << "cannot choose a pid here: " << std::strerror(errno);
  if (second == 0) {
    ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  EXPECT_FALSE(table.read_memory_share(pid));
  ::kill(second, SIGKILL);
  ::waitpid(second, nullptr, 0);
}

// Kept descriptors: the stat file and pidfd of every live entry, the figure files of those whose
// figures were read, all given back when processes end and when the table and platform go. The
// platform itself holds /proc, its reserve descriptor, /proc/stat and its epoll set.
TEST(LinuxPlatformDescriptorTest, NoDescriptorLeaks) {
  const size_t before = open_descriptor_count();
  {
    std::unique_ptr<ProcessPlatform> platform = make_system_platform();
    ProcessTable table(*platform);
    for (int round = 0; round < 3; ++round) {
      std::vector<std::unique_ptr<Child>> children;
      for (int i = 0; i < 40; ++i) {
        children.push_back(std::make_unique<Child>(sleeping()));
      }
      table.refresh(RefreshOptions::everything(), true);
      EXPECT_GE(open_descriptor_count(), before + 2 * children.size());
      EXPECT_LE(open_descriptor_count(), before + PLATFORM_DESCRIPTORS + 2 * table.size());
      std::vector<uint32_t> pids;
      for (const auto& child : children) pids.push_back(child->pid());
      table.read_figures(pids);
      for (const auto& child : children) ASSERT_NE(table.find(child->pid()), nullptr);
      EXPECT_GE(open_descriptor_count(), before + 5 * children.size());
      EXPECT_LE(open_descriptor_count(),
                before + PLATFORM_DESCRIPTORS + 2 * table.size() + 3 * children.size());
      children.clear();
      table.refresh(RefreshOptions::everything(), true);
      EXPECT_LE(open_descriptor_count(), before + PLATFORM_DESCRIPTORS + 2 * table.size());
    }
    refresh(table);
    EXPECT_LE(open_descriptor_count(), before + PLATFORM_DESCRIPTORS + 5 * table.size());
  }
  EXPECT_EQ(open_descriptor_count(), before);
}

// With too few descriptors to keep, the table still reads every figure, by path, and keeps no
// more than its budget open.
TEST(LinuxPlatformDescriptorTest, FallsBackToPathReadsWhenDescriptorsRunOut) {
  constexpr uint64_t BUDGET = 48;  // a few processes' files only
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < 30; ++i) {
    children.push_back(std::make_unique<Child>(sleeping()));
  }
  const size_t before = open_descriptor_count();
  std::unique_ptr<ProcessPlatform> platform = make_linux_platform(BUDGET);
  ProcessTable table(*platform);
  refresh(table);
  refresh(table);
  EXPECT_LE(open_descriptor_count(), before + PLATFORM_DESCRIPTORS + BUDGET);
  EXPECT_GT(table.size() * 4, BUDGET);  // the budget really was too small for everyone
  for (const auto& child : children) {
    const ProcessInfo* info = table.find(child->pid());
    ASSERT_NE(info, nullptr) << child->pid();
    EXPECT_FALSE(info->arguments.empty()) << child->pid();
    EXPECT_NE(info->resident_bytes, 0u) << child->pid();
    EXPECT_NE(info->written_bytes, 0u) << child->pid();
    EXPECT_NE(info->start_time_s, 0u) << child->pid();
  }
}

// The open-file limit lowered below what the table keeps, from outside, while it runs: processes
// that start then are still listed, their figures read by path. Every descriptor below the limit
// is taken, so that no open can succeed without giving one back.
void check_processes_listed_under_a_lowered_limit() {
  std::unique_ptr<ProcessPlatform> platform = make_system_platform();
  ProcessTable table(*platform);
  refresh(table);
  {
    // The undefined-behaviour checker needs descriptors of its own the first time it checks a
    // call on a type; one exit seen while descriptors are free spares it that under the limit,
    // where any process of the machine may exit. The exit is seen by the watch only while the
    // process is still a zombie: a reaped one is found gone by its reads first.
    Child short_lived(sleeping());
    refresh(table);
    ::kill(static_cast<pid_t>(short_lived.pid()), SIGKILL);
    siginfo_t exited{};
    ::waitid(P_PID, short_lived.pid(), &exited, WEXITED | WNOWAIT);
    refresh(table);
    short_lived.reap();
    refresh(table);
  }
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < 5; ++i) {
    children.push_back(std::make_unique<Child>(sleeping()));
  }
  const rlimit lowered{64, 64};
  if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0) ::_exit(2);
  while (::open("/dev/null", O_RDONLY) >= 0) {
  }
  refresh(table);
  int failures = 0;
  for (const auto& child : children) {
    const ProcessInfo* info = table.find(child->pid());
    if (!info || info->arguments.empty() || info->resident_bytes == 0 || info->start_time_s == 0) {
      std::fprintf(stderr, "%s for %u\n", info ? "missing figures" : "no entry", child->pid());
      ++failures;
    }
  }
  children.clear();
  ::_exit(failures == 0 ? 0 : 1);
}

TEST(LinuxPlatformDescriptorTest, ProcessesStartedUnderALoweredLimitAreListed) {
  EXPECT_EXIT(check_processes_listed_under_a_lowered_limit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace treemon

namespace treemon {
namespace {

// Forks a child that replaces its program with `sleep 30` once a byte arrives on `cue`, the
// write end of a pipe that the caller closes. The child's pid, or -1.
pid_t fork_sleep_on_cue(int& cue) {
  int go[2];
  if (::pipe(go) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(go[1]);
    char byte;
    while (::read(go[0], &byte, 1) < 0) {
    }
    ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(go[0]);
  cue = go[1];
  return child;
}

// A child seen before it replaces its program is listed afterwards under the new program's name
// and command line, as one entry that keeps its start time.
TEST(LinuxExec, NameFollowsTheNewProgram) {
  std::unique_ptr<ProcessPlatform> platform = make_system_platform();
  ProcessTable table(*platform);
  int cue = -1;
  const pid_t child = fork_sleep_on_cue(cue);
  ASSERT_GT(child, 0);
  refresh(table);
  const ProcessInfo* before = table.find(static_cast<uint32_t>(child));
  ASSERT_NE(before, nullptr);
  const std::string name_before = before->name;
  const uint64_t start_before = before->start_time_s;
  EXPECT_NE(name_before, "sleep");
  ASSERT_EQ(::write(cue, "x", 1), 1);
  ::close(cue);
  bool renamed = false;
  for (int i = 0; i < 100 && !renamed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    refresh(table);
    const ProcessInfo* after = table.find(static_cast<uint32_t>(child));
    ASSERT_NE(after, nullptr);
    renamed = after->name == "sleep";
    if (renamed) {
      EXPECT_EQ(after->arguments, (std::vector<std::string>{"sleep", "30"}));
      EXPECT_EQ(after->start_time_s, start_before);
    }
  }
  EXPECT_TRUE(renamed) << "still listed as " << name_before;
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

// A child that replaces its program after the list read its stat but before it is opened: the
// handle remembers what the list saw, so the next list notices the new program.
TEST(LinuxExec, ExecBetweenListAndOpenIsNoticed) {
  std::unique_ptr<ProcessPlatform> platform = make_system_platform();
  int cue = -1;
  const pid_t child = fork_sleep_on_cue(cue);
  ASSERT_GT(child, 0);
  // The table's side: the one handle it holds, once the child is opened.
  struct ChildHandle final : OpenedProcesses {
    uint32_t pid = 0;
    ProcessHandle* handle = nullptr;
    ProcessHandle* find_opened(uint32_t wanted) const override {
      return wanted == pid ? handle : nullptr;
    }
  } opened;
  opened.pid = static_cast<uint32_t>(child);
  const auto listed_child = [&](std::vector<ListedProcess>& listed) -> const ListedProcess* {
    if (!platform->list_processes(listed, opened)) return nullptr;
    for (const ListedProcess& process : listed) {
      if (process.pid == static_cast<uint32_t>(child)) return &process;
    }
    return nullptr;
  };
  std::vector<ListedProcess> first;
  const ListedProcess* before = listed_child(first);
  ASSERT_NE(before, nullptr);
  EXPECT_NE(before->name, "sleep");
  ASSERT_EQ(::write(cue, "x", 1), 1);
  ::close(cue);
  const std::string comm_path = "/proc/" + std::to_string(child) + "/comm";
  std::string comm;
  for (int i = 0; i < 200 && comm != "sleep"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream(comm_path) >> comm;
  }
  ASSERT_EQ(comm, "sleep");

  std::unique_ptr<ProcessHandle> handle = platform->open_process(*before);
  ASSERT_NE(handle, nullptr);
  opened.handle = handle.get();
  std::vector<ListedProcess> second;
  const ListedProcess* after = listed_child(second);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->name, "sleep");
  handle.reset();
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace treemon
