// Churn and soak driver: runs the monitor against a process tree that never stands still and
// checks every line it writes.
//
//   treemon_churn --monitor PATH [--seconds N] [--rate PER_SECOND] [--families ROOT]
//                 [--mode MODE] [--quiet]
//
// Set-up. As root the driver enters a private pid namespace with its own /proc (it is then the
// namespace's init, so everything it started dies with it) and forces pid reuse by writing
// /proc/sys/kernel/ns_last_pid before a fork; elsewhere it runs in the caller's namespace with
// natural reuse only, and says so. It starts the monitor, a root "spawner" whose descendants are
// the monitored tree, a second spawner outside the tree, and one external process the monitor is
// told about by pid and start time. The monitor samples every 250 ms with streaming on.
//
// Churn. About RATE processes a second are started and killed, half inside the tree and half
// outside, some with a child of their own, about a third of them on a pid that a process which
// has just ended had. Every process has a name of its own, so that a row that shows a pid with
// the name of the pid's previous process is caught. The spawners report when they forked and
// when they reaped, so the driver knows each process's lifetime on the wall clock.
//
// Checks, on every line: valid JSON of the right shape; snapshot sequences consecutive; rows
// sorted by pid and unique; no row whose start time is before its parent's (when the parent is a
// row too); every row is the root, a process of the tree or the external process, with the name
// and start time it had, alive (not yet reaped) when the collection began; the external process
// is matched and the one with a wrong start time is not. Every ten seconds a history read must
// return exactly the streamed snapshots that the bounds have not evicted, byte for byte.
//
// Families (--families subreaper|init). Instead of the churn above, RATE families a second, all
// started by the inside spawner: a parent that starts a child and exits 50 to 600 ms later, while
// the child lives on to the end. Its spawner reaps the parent at once. The child then
// belongs to the nearest subreaper: with "subreaper" the root is the inside spawner, made a
// child subreaper; with "init" the root is the driver itself, the namespace's init (or, outside
// a namespace, the subreaper its orphans come to), and every process of the run is in the tree.
// The rows are checked for shape and order only; at the end, once every parent has exited, one
// more snapshot must show exactly the root's live descendants in /proc.
//
// Modes. "reuse" (the default) forces pid reuse as above. "threads" runs in the caller's pid
// namespace, where every fork of the machine takes a pid, forces nothing, and two processes,
// one in the tree and one outside, each create and end 500 threads a second, so that thread ids
// pass through every range of pids the monitor looks at. "wrap" forces no reuse, and every 5 s
// moves the namespace's last pid (ns_last_pid) forward to 300 before pid_max, so that the pids
// wrap a few seconds later. The monitor built as treemon_listing_check compares every refresh
// that did not list /proc with a full listing taken just before it and ends at the first
// missed process or stale row; scripts/soak.sh runs it for "threads" and "wrap". ("reuse"
// moves the last pid back, which hides pids from any reading until the monitor, seeing it go
// back, lists at every refresh.)
//
// Figures: peak and final resident memory and descriptors of the monitor, its CPU share, the
// largest collection duration. Exit status 0 when every check passed, 1 otherwise.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "support/child_process.h"
#include "support/event_capture.h"
#include "support/pid_namespace_linux.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr uint64_t HISTORY_MAX_SNAPSHOTS = 3600;
constexpr uint64_t HISTORY_MAX_AGE_MS = 3600000;
constexpr uint64_t HISTORY_MAX_ENTRIES = 20000;
constexpr uint64_t HISTORY_MAX_BYTES = 67108864;
constexpr int64_t CLOCK_SLACK_MS = 2;  // between the driver's and the monitor's wall clock reads

int64_t wall_ms() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

double mono_s() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool read_all(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The start time of a process in whole seconds since the epoch, the way the kernel's figures
// give it: boot time plus start ticks.
std::optional<uint64_t> start_time_s(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) {
      static const uint64_t boot = [] {
        std::istringstream machine(read_file("/proc/stat"));
        std::string key;
        uint64_t value = 0;
        while (machine >> key) {
          if (key == "btime" && machine >> value) return value;
        }
        return uint64_t{0};
      }();
      return boot + std::stoull(field) / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
    }
  }
  return std::nullopt;
}

void name_this_process(const std::string& name) { prctl(PR_SET_NAME, name.c_str(), 0, 0, 0); }

void die_with_parent(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(0);
}

[[noreturn]] void idle_forever() {
  for (;;) pause();
}

// ---- Spawner: a small process that forks and kills churn processes on request -------------

struct SpawnRequest {
  char op = 0;                     // 's' spawn, 'k' kill, 'q' quit
  int32_t pid = 0;                 // kill: the child; spawn: the pid wanted (0: any)
  int32_t with_child = 0;          // spawn: give the new process a child of its own
  int32_t threads_per_second = 0;  // spawn: a process that creates and ends threads for good
  int32_t parent_exits_ms = 0;  // spawn: the new process exits this long after, its child lives on
  char name[16] = {};
};

struct SpawnReply {
  int32_t pid = 0;
  int32_t child_pid = 0;
  int64_t wall_ms = 0;  // spawn: before the fork; kill: after the reap
};

// Threads that end at once, in batches every 10 ms: their ids pass through the pid ranges.
[[noreturn]] void churn_threads(int32_t per_second) {
  const int32_t batch = std::max(1, per_second / 100);
  std::vector<std::thread> threads;
  for (;;) {
    threads.clear();
    for (int32_t i = 0; i < batch; ++i) threads.emplace_back([] {});
    for (std::thread& thread : threads) thread.join();
    usleep(10000);
  }
}

std::optional<int64_t> read_number(const char* path) {
  const std::string text = read_file(path);
  if (text.empty()) return std::nullopt;
  return std::atoll(text.c_str());
}

SpawnReply spawn_churn_process(const SpawnRequest& request) {
  SpawnReply reply;
  reply.wall_ms = wall_ms();
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return reply;
  if (request.pid > 1) treemon::test_support::set_last_pid(request.pid - 1);
  const pid_t spawner = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    die_with_parent(spawner);
    name_this_process(request.name);
    int32_t child = 0;
    if (request.with_child) {
      const pid_t self = getpid();
      child = fork();
      if (child == 0) {
        if (request.parent_exits_ms == 0) die_with_parent(self);
        name_this_process(std::string(request.name) + "g");
        idle_forever();
      }
    }
    write_all(report[1], &child, sizeof child);
    ::close(report[0]);
    ::close(report[1]);
    if (request.threads_per_second > 0) churn_threads(request.threads_per_second);
    if (request.parent_exits_ms == 0) idle_forever();
    usleep(static_cast<useconds_t>(request.parent_exits_ms) * 1000);
    _exit(0);
  }
  ::close(report[1]);
  if (pid > 0) {
    reply.pid = pid;
    read_all(report[0], &reply.child_pid, sizeof reply.child_pid);
  }
  ::close(report[0]);
  return reply;
}

// Children that exited on their own (the parents of families) are reaped within 20 ms.
void reap_exited_children(int requests) {
  pollfd request{requests, POLLIN, 0};
  do {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  } while (::poll(&request, 1, 20) == 0);
}

[[noreturn]] void run_spawner(int requests, int replies, const std::string& name, pid_t parent,
                              bool subreaper) {
  die_with_parent(parent);
  name_this_process(name);
  if (subreaper) prctl(PR_SET_CHILD_SUBREAPER, 1);
  SpawnRequest request;
  for (;;) {
    reap_exited_children(requests);
    if (!read_all(requests, &request, sizeof request)) break;
    SpawnReply reply;
    if (request.op == 's') {
      reply = spawn_churn_process(request);
    } else if (request.op == 'k') {
      // Our own unreaped child: its pid cannot have been reused, so the kill is safe.
      ::kill(request.pid, SIGKILL);
      while (::waitpid(request.pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      reply.pid = request.pid;
      reply.wall_ms = wall_ms();
    } else {
      break;
    }
    if (!write_all(replies, &reply, sizeof reply)) break;
  }
  _exit(0);
}

class Spawner {
 public:
  explicit Spawner(const std::string& name, bool subreaper = false) {
    int requests[2], replies[2];
    if (pipe2(requests, O_CLOEXEC) != 0 || pipe2(replies, O_CLOEXEC) != 0) return;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      ::close(requests[1]);
      ::close(replies[0]);
      run_spawner(requests[0], replies[1], name, parent, subreaper);
    }
    ::close(requests[0]);
    ::close(replies[1]);
    requests_ = requests[1];
    replies_ = replies[0];
  }

  pid_t pid() const { return pid_; }

  std::optional<SpawnReply> spawn(int32_t wanted_pid, bool with_child, const std::string& name,
                                  int32_t parent_exits_ms = 0, int32_t threads_per_second = 0) {
    SpawnRequest request;
    request.op = 's';
    request.pid = wanted_pid;
    request.with_child = with_child ? 1 : 0;
    request.parent_exits_ms = parent_exits_ms;
    request.threads_per_second = threads_per_second;
    std::snprintf(request.name, sizeof request.name, "%s", name.c_str());
    return ask(request);
  }

  std::optional<SpawnReply> kill(int32_t pid) {
    SpawnRequest request;
    request.op = 'k';
    request.pid = pid;
    return ask(request);
  }

  void quit() {
    SpawnRequest request;
    request.op = 'q';
    write_all(requests_, &request, sizeof request);
    ::close(requests_);
    ::close(replies_);
  }

 private:
  std::optional<SpawnReply> ask(const SpawnRequest& request) {
    SpawnReply reply;
    if (!write_all(requests_, &request, sizeof request)) return std::nullopt;
    if (!read_all(replies_, &reply, sizeof reply)) return std::nullopt;
    return reply;
  }

  pid_t pid_ = -1;
  int requests_ = -1;
  int replies_ = -1;
};

// ---- What the driver knows about every process it started -----------------------------------

struct Life {
  std::string name;
  std::string birth_name;  // its parent's, which it has from the fork until it names itself
  bool inside = false;     // in the monitored tree
  uint64_t start_ms = 0;
  int64_t spawned_ms = 0;            // wall clock before the fork
  std::optional<int64_t> reaped_ms;  // wall clock after the reap
};

struct Live {
  int32_t pid;
  int32_t child_pid;
  bool inside;
  double kill_at;
};

class Lives {
 public:
  void born(int32_t pid, Life life) { by_pid_[pid].push_back(std::move(life)); }

  void reaped(int32_t pid, int64_t when) {
    auto found = by_pid_.find(pid);
    if (found == by_pid_.end() || found->second.empty()) return;
    if (!found->second.back().reaped_ms) found->second.back().reaped_ms = when;
    recently_freed_.push_back(pid);
    if (recently_freed_.size() > 512) recently_freed_.pop_front();
  }

  const std::vector<Life>* lives_of(int32_t pid) const {
    auto found = by_pid_.find(pid);
    return found == by_pid_.end() ? nullptr : &found->second;
  }

  std::optional<int32_t> a_freed_pid(std::mt19937& random) {
    if (recently_freed_.empty()) return std::nullopt;
    const size_t index = random() % recently_freed_.size();
    const int32_t pid = recently_freed_[index];
    recently_freed_.erase(recently_freed_.begin() + static_cast<long>(index));
    return pid;
  }

  // Lives that ended long ago cannot be seen any more; dropping them keeps memory flat.
  void forget_before(int64_t wall) {
    for (auto it = by_pid_.begin(); it != by_pid_.end();) {
      auto& lives = it->second;
      std::erase_if(lives, [&](const Life& l) { return l.reaped_ms && *l.reaped_ms < wall; });
      it = lives.empty() ? by_pid_.erase(it) : std::next(it);
    }
  }

 private:
  std::unordered_map<int32_t, std::vector<Life>> by_pid_;
  std::deque<int32_t> recently_freed_;
};

// ---- Figures of the monitor from /proc ---------------------------------------------------------

struct Usage {
  uint64_t resident_kib = 0;
  uint64_t descriptors = 0;
  double cpu_s = 0;
};

Usage usage_of(pid_t pid) {
  Usage usage;
  std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) usage.resident_kib = std::stoull(line.substr(6));
  }
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++usage.descriptors;
  }
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    uint64_t ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stoull(field);
    }
    usage.cpu_s = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return usage;
}

// ---- The checks -------------------------------------------------------------------------------

class Checker {
 public:
  explicit Checker(bool quiet) : quiet_(quiet) {}

  void fail(const std::string& what) {
    ++failures_;
    if (failures_ <= 20) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
  }
  size_t failures() const { return failures_; }
  bool quiet() const { return quiet_; }

 private:
  bool quiet_;
  size_t failures_ = 0;
};

bool is_uint(const json& value) { return value.is_number_unsigned(); }

bool has_shape(const json& snapshot, bool in_history) {
  static const char* const COUNTS[] = {"sequence",
                                       "sampledAtUnixMs",
                                       "collectionDurationMicros",
                                       "scannedProcessCount",
                                       "retainedProcessCount",
                                       "inaccessibleProcessCount"};
  if (!snapshot.is_object() || snapshot.value("version", 0) != 2 ||
      snapshot.value("type", "") != "snapshot") {
    return false;
  }
  for (const char* key : COUNTS) {
    if (!snapshot.contains(key) || !is_uint(snapshot[key])) return false;
  }
  if (in_history && snapshot.contains("requestId")) return false;
  if (!snapshot["externalProcesses"].is_array() || !snapshot["processes"].is_array()) return false;
  for (const json& row : snapshot["processes"]) {
    static const char* const NUMBERS[] = {"pid",          "ppid",        "startTimeMs",
                                          "runTimeMs",    "cpuTimeMs",   "residentBytes",
                                          "virtualBytes", "ioReadBytes", "ioWriteBytes"};
    for (const char* key : NUMBERS) {
      if (!row.contains(key) || !is_uint(row[key])) return false;
    }
    for (const char* key : {"name", "command", "status"}) {
      if (!row.contains(key) || !row[key].is_string()) return false;
    }
    if (!row["cpuPercent"].is_number() || row["ioSemantics"] != "all-io") return false;
  }
  return snapshot["retainedProcessCount"] == snapshot["processes"].size();
}

uint64_t estimated_size(const json& snapshot) {
  uint64_t size = 144 + 24 * snapshot["externalProcesses"].size();
  for (const json& row : snapshot["processes"]) {
    size += 144 + row["name"].get_ref<const std::string&>().size() +
            row["command"].get_ref<const std::string&>().size() +
            row["status"].get_ref<const std::string&>().size();
  }
  return size;
}

uint64_t entry_count(const json& snapshot) {
  return snapshot["processes"].size() + snapshot["externalProcesses"].size();
}

struct Streamed {
  uint64_t sequence;
  uint64_t stamp;
  uint64_t entries;
  uint64_t bytes;
  size_t text_hash;  // of the snapshot's text without its request id
};

// Who the orphans of families come to, and is the root.
enum class FamilyRoot { Subreaper, Init };

enum class Mode { Reuse, Threads, Wrap };

struct Settings {
  std::string monitor;
  double seconds = 120;
  double rate = 100;
  std::optional<FamilyRoot> families;
  Mode mode = Mode::Reuse;
  bool quiet = false;
};

constexpr int32_t THREADS_PER_CHURNER = 500;
constexpr double WRAP_EVERY_S = 5;
// Pids left before pid_max when the last pid is moved: a few seconds of churn, so that the
// monitor reads the jump before the wrap, as it would read a cursor that got there by forks.
constexpr int64_t WRAP_LEAD = 300;

// Every process descending from `root` in /proc now, the root included.
std::set<int32_t> live_descendants(int32_t root) {
  std::multimap<int32_t, int32_t> children;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_file(it->path() / "stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    children.emplace(std::atoi(stat.c_str() + close + 4), std::stoi(name));
  }
  std::set<int32_t> found{root};
  std::vector<int32_t> queue{root};
  while (!queue.empty()) {
    const int32_t pid = queue.back();
    queue.pop_back();
    for (auto [it, end] = children.equal_range(pid); it != end; ++it) {
      if (found.insert(it->second).second) queue.push_back(it->second);
    }
  }
  return found;
}

class Driver {
 public:
  // Pids are forced (reused, or wrapped) only in a private namespace: the machine's own pid
  // counter is not the driver's to move.
  Driver(const Settings& settings, bool private_namespace)
      : settings_(settings),
        checker_(settings.quiet),
        forced_reuse_(private_namespace && settings.mode == Mode::Reuse),
        forced_wrap_(private_namespace && settings.mode == Mode::Wrap) {}

  int run();

 private:
  void start();
  void churn(double now);
  void spawn_one(bool inside);
  void start_thread_churners();
  void force_wrap(double now);
  void spawn_family();
  int32_t root_pid() const;
  void compare_with_proc();
  void kill_due(double now);
  void reap_orphans();
  // The monitor's lines that arrive within `timeout`, appended to `lines`.
  void read_monitor_lines(std::chrono::milliseconds timeout, std::vector<std::string>& lines);
  void handle_line(const std::string& line);
  void check_snapshot(const json& snapshot);
  void check_order(const json& snapshot);
  void check_rows(const json& snapshot);
  void check_history_read();
  void measure(double now);
  void finish();

  Settings settings_;
  Checker checker_;
  bool forced_reuse_;
  bool forced_wrap_;
  std::mt19937 random_{12345};
  std::unique_ptr<treemon::test_support::ChildProcess> monitor_;
  std::unique_ptr<Spawner> inside_, outside_;
  pid_t external_ = -1;
  uint64_t external_start_ms_ = 0;
  Lives lives_;
  std::vector<Live> live_;
  uint64_t counter_ = 0;

  std::optional<uint64_t> last_sequence_;
  std::deque<Streamed> streamed_;
  std::vector<json> history_chunks_;
  std::string history_request_;
  size_t history_reads_ = 0;
  size_t snapshots_ = 0;
  uint64_t max_rows_ = 0;
  uint64_t max_collection_us_ = 0;
  bool history_full_ = false;

  size_t spawned_ = 0, forced_wanted_ = 0, forced_hit_ = 0, reused_seen_ = 0;
  size_t wraps_forced_ = 0;
  double next_wrap_ = 0;
  std::set<int32_t> ever_used_;
  size_t rows_with_birth_name_ = 0;
  bool monitor_ended_ = false;
  std::vector<int32_t> family_children_;
  std::optional<json> final_snapshot_;

  Usage peak_, final_, at_full_;
  double start_mono_ = 0, start_cpu_s_ = 0;
  uint64_t min_fds_after_full_ = UINT64_MAX, max_fds_after_full_ = 0;
  uint64_t max_rss_after_full_ = 0;
};

int32_t Driver::root_pid() const {
  return settings_.families == FamilyRoot::Init ? getpid() : inside_->pid();
}

void Driver::start() {
  inside_ = std::make_unique<Spawner>("churn-root", settings_.families == FamilyRoot::Subreaper);
  outside_ = std::make_unique<Spawner>("churn-outside");
  const pid_t parent = getpid();
  external_ = fork();
  if (external_ == 0) {
    die_with_parent(parent);
    name_this_process("churn-external");
    idle_forever();
  }
  // It ends when its input does, should the driver end first.
  monitor_ = std::make_unique<treemon::test_support::ChildProcess>(
      std::vector<std::string>{settings_.monitor});
  usleep(50000);  // let the children name themselves before their start times are read
  external_start_ms_ = start_time_s(external_).value_or(0) * 1000;
  const uint64_t outside_start_ms = start_time_s(outside_->pid()).value_or(0) * 1000;
  lives_.born(inside_->pid(),
              {"churn-root", "churn-root", true, start_time_s(inside_->pid()).value_or(0) * 1000,
               wall_ms() - 1000, std::nullopt});
  lives_.born(external_, {"churn-external", "churn-external", true, external_start_ms_,
                          wall_ms() - 1000, std::nullopt});

  // The external process is named with a start time inside its second; the outside spawner with
  // one a second off, which must not match.
  const json externals =
      json::array({{{"pid", external_}, {"startTimeMs", external_start_ms_ + 999}},
                   {{"pid", outside_->pid()}, {"startTimeMs", outside_start_ms + 1000}}});
  if (settings_.mode == Mode::Threads) start_thread_churners();
  monitor_->write("{\"version\":2,\"type\":\"setStreaming\",\"enabled\":true}\n");
  monitor_->write(json({{"version", 2},
                        {"type", "configure"},
                        {"rootPid", root_pid()},
                        {"sampleIntervalMs", 250},
                        {"externalProcesses", settings_.families ? json::array() : externals}})
                      .dump() +
                  "\n");
}

// One churner in the tree and one outside; they live for the whole run.
void Driver::start_thread_churners() {
  for (const bool inside : {true, false}) {
    const std::string name = inside ? "churn-thr-in" : "churn-thr-out";
    const auto reply =
        (inside ? *inside_ : *outside_).spawn(0, false, name, 0, THREADS_PER_CHURNER);
    if (!reply || reply->pid <= 0) {
      checker_.fail("a spawner stopped answering");
      return;
    }
    const std::string spawner_name = inside ? "churn-root" : "churn-outside";
    lives_.born(reply->pid,
                {name, spawner_name, inside, start_time_s(reply->pid).value_or(0) * 1000,
                 reply->wall_ms, std::nullopt});
  }
}

// Forward only: a last pid moved back is what checkpoint/restore does, and the monitor then
// lists every time, which would leave the wrapped ranges untested.
void Driver::force_wrap(double now) {
  if (now < next_wrap_) return;
  next_wrap_ = now + WRAP_EVERY_S;
  const std::optional<int64_t> pid_max = read_number("/proc/sys/kernel/pid_max");
  const std::optional<int64_t> last = read_number("/proc/sys/kernel/ns_last_pid");
  if (!pid_max || !last || *last >= *pid_max - WRAP_LEAD) return;
  if (treemon::test_support::set_last_pid(static_cast<pid_t>(*pid_max - WRAP_LEAD)))
    ++wraps_forced_;
}

void Driver::spawn_one(bool inside) {
  std::optional<int32_t> wanted;
  if (forced_reuse_ && random_() % 3 == 0) wanted = lives_.a_freed_pid(random_);
  const bool with_child = random_() % 5 == 0;
  const std::string name = (inside ? "i" : "o") + std::to_string(++counter_);
  Spawner& spawner = inside ? *inside_ : *outside_;
  const auto reply = spawner.spawn(wanted.value_or(0), with_child, name);
  if (!reply || reply->pid <= 0) {
    checker_.fail("a spawner stopped answering");
    return;
  }
  ++spawned_;
  if (wanted) {
    ++forced_wanted_;
    if (reply->pid == *wanted) ++forced_hit_;
  }
  for (int32_t pid : {reply->pid, reply->child_pid}) {
    if (pid <= 0) continue;
    if (!ever_used_.insert(pid).second) ++reused_seen_;
  }
  // Start times are read after the fork; a process that is already gone cannot be one either.
  const uint64_t start = start_time_s(reply->pid).value_or(0) * 1000;
  const std::string spawner_name = inside ? "churn-root" : "churn-outside";
  lives_.born(reply->pid, {name, spawner_name, inside, start, reply->wall_ms, std::nullopt});
  if (reply->child_pid > 0) {
    const uint64_t child_start = start_time_s(reply->child_pid).value_or(0) * 1000;
    lives_.born(reply->child_pid,
                {name + "g", name, inside, child_start, reply->wall_ms, std::nullopt});
  }
  // Lifetimes of 20 ms to 2 s.
  const double lifetime = 0.02 + static_cast<double>(random_() % 1980) / 1000.0;
  live_.push_back({reply->pid, reply->child_pid, inside, mono_s() + lifetime});
}

void Driver::spawn_family() {
  std::string name = "f";  // built in two steps: GCC 12 warns wrongly about "f" + text
  name += std::to_string(++counter_);
  const auto parent_ms = static_cast<int32_t>(50 + random_() % 551);
  const auto reply = inside_->spawn(0, true, name, parent_ms);
  if (!reply || reply->pid <= 0) {
    checker_.fail("a spawner stopped answering");
    return;
  }
  ++spawned_;
  if (reply->child_pid > 0) family_children_.push_back(reply->child_pid);
}

void Driver::kill_due(double now) {
  for (auto it = live_.begin(); it != live_.end();) {
    if (it->kill_at > now) {
      ++it;
      continue;
    }
    Spawner& spawner = it->inside ? *inside_ : *outside_;
    if (auto reply = spawner.kill(it->pid)) {
      lives_.reaped(it->pid, reply->wall_ms);
    } else {
      checker_.fail("a spawner stopped answering");
    }
    it = live_.erase(it);
  }
}

// Children of killed processes end with their parent and come to the driver (the namespace's
// init, or its subreaper) to be reaped. So might the monitor or a spawner, which would be a fault.
void Driver::reap_orphans() {
  for (;;) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid <= 0) return;
    if (pid == monitor_->pid()) {
      checker_.fail("the monitor ended during the run, status " + std::to_string(status));
      monitor_->reaped_elsewhere(status);
      monitor_ended_ = true;
      continue;
    }
    if (pid == inside_->pid() || pid == outside_->pid() || pid == external_) {
      checker_.fail("a helper of the driver ended during the run");
      continue;
    }
    lives_.reaped(pid, wall_ms());
  }
}

void Driver::churn(double now) {
  if (forced_wrap_) force_wrap(now);
  const double due = (now - start_mono_) * settings_.rate;
  while (static_cast<double>(spawned_) < due) {
    if (settings_.families) {
      spawn_family();
    } else {
      spawn_one(spawned_ % 2 == 0);
    }
    if (mono_s() - now > 0.05) break;  // never starve the reading of the monitor's output
  }
  kill_due(mono_s());
  reap_orphans();
}

void Driver::read_monitor_lines(std::chrono::milliseconds timeout,
                                std::vector<std::string>& lines) {
  for (std::string& line : monitor_->read_lines_for(timeout)) {
    treemon::test_support::capture_event_line(line);
    lines.push_back(std::move(line));
  }
}

void Driver::handle_line(const std::string& line) {
  const json event = json::parse(line, nullptr, false);
  if (event.is_discarded() || !event.is_object() || event.value("version", 0) != 2) {
    checker_.fail("not a JSON event line: " + line.substr(0, 200));
    return;
  }
  const std::string type = event.value("type", "");
  if (type == "snapshot") {
    check_snapshot(event);
  } else if (type == "historyChunk") {
    if (event.value("requestId", "") != history_request_ || !event["done"].is_boolean() ||
        !event["snapshots"].is_array() || event["snapshots"].size() > 32) {
      checker_.fail("malformed history chunk");
      return;
    }
    history_chunks_.push_back(event);
    if (event["done"]) check_history_read();
  } else if (type == "hello" && snapshots_ == 0) {
    return;
  } else {
    checker_.fail("unexpected event: " + line.substr(0, 300));
  }
}

void Driver::check_snapshot(const json& snapshot) {
  ++snapshots_;
  if (!has_shape(snapshot, false)) {
    checker_.fail("snapshot of the wrong shape: " + snapshot.dump().substr(0, 300));
    return;
  }
  const uint64_t sequence = snapshot["sequence"];
  if (last_sequence_ && sequence != *last_sequence_ + 1) {
    checker_.fail("sequence " + std::to_string(sequence) + " after " +
                  std::to_string(*last_sequence_));
  }
  last_sequence_ = sequence;
  max_collection_us_ = std::max<uint64_t>(max_collection_us_, snapshot["collectionDurationMicros"]);
  max_rows_ = std::max<uint64_t>(max_rows_, snapshot["processes"].size());
  if (!settings_.families) {
    check_rows(snapshot);
  } else {
    check_order(snapshot);
    if (snapshot.value("requestId", "") == "final") final_snapshot_ = snapshot;
  }

  json stored = snapshot;
  stored.erase("requestId");
  streamed_.push_back({sequence, snapshot["sampledAtUnixMs"], entry_count(snapshot),
                       estimated_size(snapshot), std::hash<std::string>()(stored.dump())});
  // More than the history can hold is never needed again.
  while (streamed_.size() > HISTORY_MAX_SNAPSHOTS + 10) streamed_.pop_front();
}

void Driver::check_order(const json& snapshot) {
  std::optional<uint64_t> previous;
  for (const json& row : snapshot["processes"]) {
    const uint64_t pid = row["pid"];
    if (previous && pid <= *previous)
      checker_.fail("rows not sorted or not unique at pid " + std::to_string(pid));
    previous = pid;
  }
}

void Driver::check_rows(const json& snapshot) {
  const int64_t stamp = snapshot["sampledAtUnixMs"];
  const int64_t began =
      stamp - static_cast<int64_t>(snapshot["collectionDurationMicros"].get<uint64_t>() / 1000) -
      CLOCK_SLACK_MS;
  check_order(snapshot);
  std::map<uint64_t, uint64_t> start_of;
  for (const json& row : snapshot["processes"]) start_of[row["pid"]] = row["startTimeMs"];
  bool external_row = false;
  for (const json& row : snapshot["processes"]) {
    const uint64_t pid = row["pid"];
    const std::string& name = row["name"].get_ref<const std::string&>();
    const uint64_t start = row["startTimeMs"];
    const auto parent = start_of.find(row["ppid"].get<uint64_t>());
    if (parent != start_of.end() && parent->first != pid && start < parent->second) {
      checker_.fail("row " + std::to_string(pid) + " started before its parent");
    }
    if (static_cast<pid_t>(pid) == external_) external_row = true;
    if (static_cast<pid_t>(pid) == outside_->pid())
      checker_.fail("the unmatched external process is a row");
    // The life this row shows: one of the pid's processes under its own name or its birth name,
    // preferably one alive while the collection ran.
    const std::vector<Life>* lives = lives_.lives_of(static_cast<int32_t>(pid));
    const Life* life = nullptr;
    if (lives) {
      for (const Life& l : *lives) {
        if (l.name != name && l.birth_name != name) continue;
        const bool alive =
            !(l.reaped_ms && *l.reaped_ms < began) && l.spawned_ms <= stamp + CLOCK_SLACK_MS;
        if (life == nullptr || alive) life = &l;
      }
    }
    if (life == nullptr) {
      checker_.fail("row " + std::to_string(pid) + " \"" + name + "\" is no process of the tree");
      continue;
    }
    if (!life->inside)
      checker_.fail("row " + std::to_string(pid) + " \"" + name + "\" is outside the tree");
    if (life->start_ms != 0 && life->start_ms != start) {
      checker_.fail("row " + std::to_string(pid) + " \"" + name + "\" has start time " +
                    std::to_string(start) + ", not " + std::to_string(life->start_ms));
    }
    if (life->reaped_ms && *life->reaped_ms < began) {
      checker_.fail("row " + std::to_string(pid) + " \"" + name + "\" shows a process reaped " +
                    std::to_string(began - *life->reaped_ms) + " ms before the collection began");
    }
    if (life->spawned_ms > stamp + CLOCK_SLACK_MS) {
      checker_.fail("row " + std::to_string(pid) + " \"" + name + "\" before its process existed");
    }
    // A process named itself within a millisecond of its fork; a row that still shows the birth
    // name long after means the name was taken once and never read again.
    if (name != life->name && life->spawned_ms + 1000 < began) ++rows_with_birth_name_;
  }
  if (!external_row) checker_.fail("the external process is missing from the rows");
  const json expected_externals =
      json::array({{{"pid", external_}, {"startTimeMs", external_start_ms_}}});
  if (snapshot["externalProcesses"] != expected_externals) {
    checker_.fail("externalProcesses is " + snapshot["externalProcesses"].dump());
  }
}

// The history must hold exactly the newest streamed snapshots, as many as the bounds allow.
void Driver::check_history_read() {
  std::vector<json> read;
  for (json& chunk : history_chunks_) {
    for (json& snapshot : chunk["snapshots"]) read.push_back(std::move(snapshot));
  }
  history_chunks_.clear();
  history_request_.clear();
  ++history_reads_;
  if (read.empty()) {
    checker_.fail("empty history read");
    return;
  }
  // Every snapshot written before the answer was appended before the read, so the history ends
  // with the last streamed one.
  size_t index = streamed_.size();
  for (auto it = read.rbegin(); it != read.rend(); ++it) {
    if (!has_shape(*it, true)) {
      checker_.fail("history snapshot of the wrong shape");
      return;
    }
    if (index == 0) {
      checker_.fail("the history holds more snapshots than were streamed");
      return;
    }
    const Streamed& expected = streamed_[--index];
    if ((*it)["sequence"] != expected.sequence ||
        std::hash<std::string>()(it->dump()) != expected.text_hash) {
      checker_.fail("history snapshot " + (*it)["sequence"].dump() +
                    " differs from streamed snapshot " + std::to_string(expected.sequence));
      return;
    }
  }
  uint64_t entries = 0, bytes = 0;
  for (size_t i = index; i < streamed_.size(); ++i)
    entries += streamed_[i].entries, bytes += streamed_[i].bytes;
  if (index == 0) return;  // everything streamed is still there
  // The one before the oldest kept must have been pushed out by a bound.
  const Streamed& evicted = streamed_[index - 1];
  const uint64_t newest = streamed_.back().stamp;
  const bool by_count = read.size() + 1 > HISTORY_MAX_SNAPSHOTS;
  const bool by_entries = entries + evicted.entries > HISTORY_MAX_ENTRIES;
  const bool by_bytes = bytes + evicted.bytes > HISTORY_MAX_BYTES;
  const bool by_age = evicted.stamp + HISTORY_MAX_AGE_MS < newest + 1000;
  if (!(by_count || by_entries || by_bytes || by_age)) {
    checker_.fail("snapshot " + std::to_string(evicted.sequence) +
                  " left the history within every bound");
  }
  history_full_ = true;
}

void Driver::measure(double now) {
  const Usage usage = usage_of(monitor_->pid());
  if (usage.resident_kib == 0) return;
  peak_.resident_kib = std::max(peak_.resident_kib, usage.resident_kib);
  peak_.descriptors = std::max(peak_.descriptors, usage.descriptors);
  final_ = usage;
  if (history_full_) {
    if (at_full_.resident_kib == 0) at_full_ = usage;
    min_fds_after_full_ = std::min(min_fds_after_full_, usage.descriptors);
    max_fds_after_full_ = std::max(max_fds_after_full_, usage.descriptors);
    max_rss_after_full_ = std::max(max_rss_after_full_, usage.resident_kib);
  }
  if (!settings_.quiet) {
    std::printf("%6.0fs  rss %6llu KiB  fds %4llu  cpu %5.1f%%  snapshots %zu  spawned %zu\n",
                now - start_mono_, static_cast<unsigned long long>(usage.resident_kib),
                static_cast<unsigned long long>(usage.descriptors),
                100.0 * (usage.cpu_s - start_cpu_s_) / std::max(1e-9, now - start_mono_),
                snapshots_, spawned_);
    std::fflush(stdout);
  }
}

int Driver::run() {
  start();
  start_mono_ = mono_s();
  start_cpu_s_ = usage_of(monitor_->pid()).cpu_s;
  double next_measure = start_mono_ + 1, next_read = start_mono_ + 10,
         next_sample = start_mono_ + 3;
  double next_forget = start_mono_ + 30;
  size_t request = 0;
  std::vector<std::string> lines;
  while (!monitor_ended_ && mono_s() - start_mono_ < settings_.seconds) {
    const double now = mono_s();
    churn(now);
    lines.clear();
    read_monitor_lines(2ms, lines);
    for (const std::string& line : lines) handle_line(line);
    if (now >= next_sample) {
      monitor_->write("{\"version\":2,\"type\":\"sampleNow\",\"requestId\":\"n" +
                      std::to_string(++request) + "\"}\n");
      next_sample = now + 3;
    }
    if (now >= next_read && history_request_.empty()) {
      history_request_ = "h" + std::to_string(++request);
      monitor_->write("{\"version\":2,\"type\":\"readHistory\",\"requestId\":\"" +
                      history_request_ + "\",\"windowMs\":3600000}\n");
      next_read = now + 10;
    }
    if (now >= next_measure) {
      measure(now);
      next_measure = now + 1;
    }
    if (now >= next_forget) {
      lives_.forget_before(wall_ms() - 60000);
      next_forget = now + 30;
    }
  }
  if (settings_.families && !monitor_ended_) compare_with_proc();
  finish();
  return checker_.failures() == 0 ? 0 : 1;
}

// The tree stands still once the last parent has exited and been reaped: the descendants that
// /proc shows before and after the final snapshot are the rows it must have.
void Driver::compare_with_proc() {
  const double settle_until = mono_s() + 1.0;
  std::vector<std::string> lines;
  while (mono_s() < settle_until && !monitor_ended_) {
    read_monitor_lines(10ms, lines);
    reap_orphans();
  }
  const std::set<int32_t> before = live_descendants(root_pid());
  monitor_->write("{\"version\":2,\"type\":\"sampleNow\",\"requestId\":\"final\"}\n");
  const double give_up = mono_s() + 10;
  for (size_t handled = 0; !final_snapshot_ && mono_s() < give_up;) {
    read_monitor_lines(10ms, lines);
    for (; handled < lines.size(); ++handled) handle_line(lines[handled]);
  }
  const std::set<int32_t> after = live_descendants(root_pid());
  if (!final_snapshot_) {
    checker_.fail("no answer to the final sampleNow");
    return;
  }
  std::set<int32_t> rows;
  for (const json& row : (*final_snapshot_)["processes"]) rows.insert(row["pid"].get<int32_t>());
  size_t missing = 0, extra = 0;
  for (int32_t pid : before) {
    if (after.contains(pid) && !rows.contains(pid)) {
      if (++missing <= 5) checker_.fail("live descendant " + std::to_string(pid) + " is no row");
    }
  }
  for (int32_t pid : rows) {
    if (!before.contains(pid) && !after.contains(pid)) {
      if (++extra <= 5) checker_.fail("row " + std::to_string(pid) + " is no live descendant");
    }
  }
  if (missing > 5 || extra > 5) checker_.fail("and more rows missing or extra");
  std::printf(
      "families: %zu live descendants of the root in /proc, %zu rows: %zu missing, %zu extra\n",
      after.size(), rows.size(), missing, extra);
}

void Driver::finish() {
  const double elapsed = mono_s() - start_mono_;
  const Usage last = usage_of(monitor_->pid());
  for (const Live& live : live_) (live.inside ? *inside_ : *outside_).kill(live.pid);
  live_.clear();
  if (!monitor_ended_) {
    monitor_->write("{\"version\":2,\"type\":\"shutdown\"}\n");
    // Every line up to the end of its output, which comes when it exits.
    std::vector<std::string> lines;
    for (std::optional<std::string> line; (line = monitor_->read_line(10s));) {
      treemon::test_support::capture_event_line(*line);
      lines.push_back(std::move(*line));
    }
    for (const std::string& line : lines) handle_line(line);
    if (monitor_->wait_exit(5s) != 0) checker_.fail("the monitor did not shut down with status 0");
  }
  // What the monitor wrote on standard error (a listing check's summary or the difference it
  // found), as it would have shown on the terminal.
  std::fputs(monitor_->read_stderr(1s).c_str(), stderr);
  for (int32_t pid : family_children_) ::kill(pid, SIGKILL);
  inside_->quit();
  outside_->quit();
  ::kill(external_, SIGKILL);
  while (::waitpid(-1, nullptr, 0) > 0) {
  }

  std::printf(
      "churn: %.0f s, %zu %s started (%.0f/s), %zu pid reuses seen, forced reuse %s: %zu of %zu "
      "hit\n",
      elapsed, spawned_, settings_.families ? "families" : "processes",
      static_cast<double>(spawned_) / elapsed, reused_seen_, forced_reuse_ ? "on" : "off",
      forced_hit_, forced_wanted_);
  if (settings_.mode == Mode::Threads) {
    std::printf("churn: two processes created %d threads a second each\n", THREADS_PER_CHURNER);
  }
  if (settings_.mode == Mode::Wrap) std::printf("churn: %zu pid wraps forced\n", wraps_forced_);
  std::printf(
      "churn: %zu snapshots (largest %llu rows), %zu history reads checked, history full: %s\n",
      snapshots_, static_cast<unsigned long long>(max_rows_), history_reads_,
      history_full_ ? "yes" : "no");
  std::printf(
      "figures: resident peak %llu KiB, at history full %llu KiB, max after full %llu KiB, final "
      "%llu KiB\n",
      static_cast<unsigned long long>(peak_.resident_kib),
      static_cast<unsigned long long>(at_full_.resident_kib),
      static_cast<unsigned long long>(max_rss_after_full_),
      static_cast<unsigned long long>(last.resident_kib));
  std::printf(
      "figures: descriptors peak %llu, after full %llu..%llu, final %llu\n",
      static_cast<unsigned long long>(peak_.descriptors),
      static_cast<unsigned long long>(min_fds_after_full_ == UINT64_MAX ? 0 : min_fds_after_full_),
      static_cast<unsigned long long>(max_fds_after_full_),
      static_cast<unsigned long long>(last.descriptors));
  std::printf("churn: %zu rows still showed a process's name from before it renamed itself\n",
              rows_with_birth_name_);
  std::printf("figures: monitor CPU %.1f%% of one processor, largest collection %llu us\n",
              100.0 * (last.cpu_s - start_cpu_s_) / elapsed,
              static_cast<unsigned long long>(max_collection_us_));
  std::printf("churn: %s (%zu failures)\n", checker_.failures() == 0 ? "PASS" : "FAIL",
              checker_.failures());
}

// A private pid namespace with its own /proc, or nothing when this process may not make one.
bool enter_private_pid_namespace() {
  if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) return false;
  return true;
}

bool mount_private_proc() {
  return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0;
}

std::optional<Settings> parse_arguments(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--monitor" && has_value) {
      settings.monitor = argv[++i];
    } else if (arg == "--seconds" && has_value) {
      settings.seconds = std::atof(argv[++i]);
    } else if (arg == "--rate" && has_value) {
      settings.rate = std::atof(argv[++i]);
    } else if (arg == "--families" && has_value) {
      const std::string root = argv[++i];
      if (root != "subreaper" && root != "init") return std::nullopt;
      settings.families = root == "init" ? FamilyRoot::Init : FamilyRoot::Subreaper;
    } else if (arg == "--mode" && has_value) {
      const std::string mode = argv[++i];
      if (mode == "reuse") {
        settings.mode = Mode::Reuse;
      } else if (mode == "threads") {
        settings.mode = Mode::Threads;
      } else if (mode == "wrap") {
        settings.mode = Mode::Wrap;
      } else {
        return std::nullopt;
      }
    } else if (arg == "--quiet") {
      settings.quiet = true;
    } else {
      return std::nullopt;
    }
  }
  if (settings.monitor.empty() || settings.seconds <= 0 || settings.rate <= 0) return std::nullopt;
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Settings> settings = parse_arguments(argc, argv);
  if (!settings) {
    std::fprintf(stderr,
                 "usage: %s --monitor PATH [--seconds N] [--rate PER_SECOND]"
                 " [--families subreaper|init] [--mode reuse|threads|wrap] [--quiet]\n",
                 argv[0]);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  if (settings->mode != Mode::Threads && enter_private_pid_namespace()) {
    // The first child is the namespace's init; when it ends, the kernel ends everything in it.
    const pid_t init = fork();
    if (init == 0) {
      if (!mount_private_proc()) {
        std::fprintf(stderr, "churn: cannot mount a private /proc\n");
        _exit(1);
      }
      const char* const forcing[] = {"forcing pid reuse with ns_last_pid", "nothing forced",
                                     "forcing pid wraps with ns_last_pid"};
      std::printf("churn: private pid namespace; %s\n", forcing[static_cast<int>(settings->mode)]);
      const int status = Driver(*settings, true).run();
      std::fflush(stdout);
      _exit(status);
    }
    int status = 0;
    while (::waitpid(init, &status, 0) < 0 && errno == EINTR) {
    }
    // Leave without exit-time work: a leak check would need a new task, and this process can
    // start none in a namespace whose init has ended.
    std::fflush(stdout);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
  }
  // No namespace: orphans come to this process, and pids are reused only as they come (the
  // machine's own pid counter is not the driver's to move).
  std::printf("churn: the caller's pid namespace (%s); natural pid reuse and wraps only\n",
              settings->mode == Mode::Threads ? "threads mode" : std::strerror(errno));
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  return Driver(*settings, false).run();
}
