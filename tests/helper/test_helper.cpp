// Builds known process trees for the tests that need real processes.
//
//   test_helper sleep SECONDS [TAG...]      sleeps; the tags only show in its command line
//   test_helper busy THREADS SECONDS        keeps THREADS threads spinning
//   test_helper tree CHILDREN GRANDCHILDREN SECONDS
//       starts CHILDREN children, each with GRANDCHILDREN children of its own, all sleeping;
//       prints one line per descendant, "PID PPID", then "ready", and exits after SECONDS or
//       when its standard input closes, taking its descendants with it.
//   test_helper burn-sequence COUNT SECONDS
//       starts COUNT children one after another, each spinning until it has used SECONDS of CPU
//       time by its own CPU clock, waits for each, then prints the CPU time in microseconds that
//       it and its children used, as the kernel counts it ("used US").
//   test_helper ignore-sigchld SECONDS
//       ignores SIGCHLD, so that its child is reaped by no one, starts one child that spins for
//       SECONDS of CPU time, waits until it has ended, then sleeps half a second.
//   test_helper wide-arguments MEBIBYTES SECONDS
//       shows a command line of MEBIBYTES MiB, one argument of 'a's, under a 15-byte name that
//       begins it, by pointing its argument area at a mapping of its own (which needs a kernel
//       with checkpoint/restore, and no privilege); as root it first becomes nobody. Prints
//       "ready" or "unsupported", then sleeps.
//   test_helper shared-memory CHILDREN MEBIBYTES SECONDS
//       writes a buffer of MEBIBYTES MiB, then forks CHILDREN children that share it, each
//       printing "PID PPID"; prints "ready" and exits after SECONDS or when its standard input
//       closes, taking its children with it.
#include <linux/prctl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string self_path;

void die_with_parent() { prctl(PR_SET_PDEATHSIG, SIGKILL); }

pid_t spawn(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  die_with_parent();
  std::vector<char*> argv;
  argv.push_back(self_path.data());
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(self_path.c_str(), argv.data());
  _exit(127);
}

int run_sleep(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return 0;
}

int run_busy(int threads, double seconds) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&stop] {
      volatile unsigned long x = 0;
      while (!stop.load(std::memory_order_relaxed)) x = x + 1;
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& w : workers) w.join();
  return 0;
}

double own_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int run_spin(double cpu_seconds) {
  while (own_cpu_seconds() < cpu_seconds) {
  }
  return 0;
}

long long microseconds(const timeval& time) {
  return static_cast<long long>(time.tv_sec) * 1000000 + time.tv_usec;
}

int run_burn_sequence(int count, double cpu_seconds) {
  for (int i = 0; i < count; ++i) {
    const pid_t child = spawn({"spin", std::to_string(cpu_seconds)});
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  rusage self{}, children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  std::printf("used %lld\n", microseconds(self.ru_utime) + microseconds(self.ru_stime) +
                                 microseconds(children.ru_utime) + microseconds(children.ru_stime));
  return 0;
}

int run_ignore_sigchld(double cpu_seconds) {
  signal(SIGCHLD, SIG_IGN);
  spawn({"spin", std::to_string(cpu_seconds)});
  // With SIGCHLD ignored, wait() returns only once every child has ended, and reaps none.
  while (wait(nullptr) >= 0 || errno == EINTR) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return 0;
}

// A middle process: its own children sleep; it waits for them.
int run_parent(int children, double seconds) {
  std::vector<pid_t> pids;
  for (int i = 0; i < children; ++i) {
    pids.push_back(spawn({"sleep", std::to_string(seconds), "grandchild", std::to_string(i)}));
  }
  for (pid_t pid : pids) std::printf("%d %d\n", pid, getpid());
  std::fflush(stdout);
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  return 0;
}

int run_tree(int children, int grandchildren, double seconds) {
  std::vector<pid_t> pids;
  for (int i = 0; i < children; ++i) {
    pids.push_back(spawn({"parent", std::to_string(grandchildren), std::to_string(seconds)}));
  }
  for (pid_t pid : pids) std::printf("%d %d\n", pid, getpid());
  std::fflush(stdout);
  // The grandchildren report themselves on the shared stdout; give them a moment.
  std::this_thread::sleep_for(std::chrono::milliseconds(100 + 20 * children * grandchildren));
  std::printf("ready\n");
  std::fflush(stdout);
  std::thread([] {
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    killpg(0, SIGKILL);  // the tree is its own process group: this ends all of it
    _exit(0);
  }).detach();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  for (pid_t pid : pids) kill(pid, SIGKILL);
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  return 0;
}

// The fields of /proc/self/stat, from the state on (field 3 is index 0).
std::vector<unsigned long long> own_stat_fields() {
  std::ifstream file("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string state;
  rest >> state;
  std::vector<unsigned long long> fields{0};
  for (unsigned long long value; rest >> value;) fields.push_back(value);
  return fields;
}

int run_wide_arguments(size_t mebibytes, double seconds) {
  if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 1;
  const size_t size = mebibytes << 20;
  void* area = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return 1;
  auto* bytes = static_cast<char*>(area);
  std::memset(bytes, 'a', size - 1);
  bytes[size - 1] = '\0';
  const std::vector<unsigned long long> f = own_stat_fields();
  const auto at = [&](int field) { return f.size() > size_t(field - 3) ? f[field - 3] : 0; };
  prctl_mm_map map{};
  map.start_code = at(26);
  map.end_code = at(27);
  map.start_stack = at(28);
  map.start_data = at(45);
  map.end_data = at(46);
  map.start_brk = at(47);
  map.brk = reinterpret_cast<unsigned long long>(sbrk(0));
  map.arg_start = reinterpret_cast<unsigned long long>(bytes);
  map.arg_end = map.arg_start + size;
  map.env_start = at(50);
  map.env_end = at(51);
  map.exe_fd = static_cast<__u32>(-1);
  prctl(PR_SET_NAME, "aaaaaaaaaaaaaaa");
  const bool mapped = prctl(PR_SET_MM, PR_SET_MM_MAP, &map, sizeof map, 0) == 0;
  std::printf(mapped ? "ready\n" : "unsupported\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return 0;
}

int run_shared_memory(int children, size_t mebibytes, double seconds) {
  const size_t size = mebibytes << 20;
  void* area = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return 1;
  // Written before the forks: every page is resident once and mapped by every child.
  std::memset(area, 1, size);
  std::vector<pid_t> pids;
  for (int i = 0; i < children; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      die_with_parent();
      for (;;) pause();
    }
    if (pid > 0) pids.push_back(pid);
  }
  for (pid_t pid : pids) std::printf("%d %d\n", pid, getpid());
  std::printf("ready\n");
  std::fflush(stdout);
  pollfd input{STDIN_FILENO, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (char c; std::chrono::steady_clock::now() < deadline;) {
    if (poll(&input, 1, 100) > 0 && read(STDIN_FILENO, &c, 1) <= 0) break;
  }
  for (pid_t pid : pids) kill(pid, SIGKILL);
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  self_path = "/proc/self/exe";
  char resolved[4096];
  const ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
  if (n > 0) self_path.assign(resolved, static_cast<size_t>(n));
  const std::string mode = argc > 1 ? argv[1] : "";
  const auto arg = [&](int i, double fallback) { return argc > i ? std::atof(argv[i]) : fallback; };
  if (mode == "sleep") return run_sleep(arg(2, 30));
  if (mode == "busy") return run_busy(static_cast<int>(arg(2, 1)), arg(3, 5));
  if (mode == "parent") {
    die_with_parent();
    return run_parent(static_cast<int>(arg(2, 1)), arg(3, 30));
  }
  if (mode == "tree") {
    setpgid(0, 0);
    return run_tree(static_cast<int>(arg(2, 2)), static_cast<int>(arg(3, 1)), arg(4, 30));
  }
  if (mode == "spin") return run_spin(arg(2, 0.1));
  if (mode == "burn-sequence") return run_burn_sequence(static_cast<int>(arg(2, 1)), arg(3, 0.1));
  if (mode == "ignore-sigchld") return run_ignore_sigchld(arg(2, 0.5));
  if (mode == "wide-arguments") {
    return run_wide_arguments(static_cast<size_t>(arg(2, 256)), arg(3, 60));
  }
  if (mode == "shared-memory") {
    return run_shared_memory(static_cast<int>(arg(2, 20)), static_cast<size_t>(arg(3, 100)),
                             arg(4, 30));
  }
  std::fprintf(stderr,
               "usage: test_helper sleep|busy|tree|burn-sequence|ignore-sigchld|wide-arguments|"
               "shared-memory ...\n");
  return 2;
}
