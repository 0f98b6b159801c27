// A machine that creates processes and threads all the time, as browsers, IDEs, build tools and
// JVMs do: the load under which bench/collection_vs_floor.py --load measures the monitor.
//
//   creation_load PROCESSES_PER_SECOND THREADS_PER_SECOND [PROCESS_LIFETIME_MS]
//
// Every 10 ms it starts the processes and threads that are due, so that the rates hold however
// the machine is loaded. A process lives PROCESS_LIFETIME_MS (default 0: it exits at once, like
// a short command) and is reaped by this program; a thread exits at once and is joined. Runs
// until it is killed, and everything it started dies with it (its processes have
// PR_SET_PDEATHSIG). Prints one line "ready" once it runs.
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr long TICK_NS = 10'000'000;

double seconds_now() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void start_process(long lifetime_ms, pid_t parent) {
  const pid_t pid = ::fork();
  if (pid != 0) return;
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(0);
  if (lifetime_ms > 0) {
    const timespec lifetime{lifetime_ms / 1000, (lifetime_ms % 1000) * 1'000'000};
    ::nanosleep(&lifetime, nullptr);
  }
  ::_exit(0);
}

void* exit_at_once(void*) { return nullptr; }

void start_threads(long count, std::vector<pthread_t>& threads) {
  threads.clear();
  for (long i = 0; i < count; ++i) {
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, exit_at_once, nullptr) == 0) threads.push_back(thread);
  }
  for (pthread_t thread : threads) ::pthread_join(thread, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s PROCESSES_PER_SECOND THREADS_PER_SECOND [LIFETIME_MS]\n",
                 argv[0]);
    return 2;
  }
  const double process_rate = std::atof(argv[1]);
  const double thread_rate = std::atof(argv[2]);
  const long lifetime_ms = argc == 4 ? std::atol(argv[3]) : 0;
  const pid_t self = ::getpid();
  std::printf("ready\n");
  std::fflush(stdout);
  const double start = seconds_now();
  long processes = 0, threads = 0;
  std::vector<pthread_t> started;
  for (;;) {
    const double elapsed = seconds_now() - start;
    for (; static_cast<double>(processes) < elapsed * process_rate; ++processes) {
      start_process(lifetime_ms, self);
    }
    const long due_threads = static_cast<long>(elapsed * thread_rate) - threads;
    if (due_threads > 0) {
      start_threads(due_threads, started);
      threads += due_threads;
    }
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    const timespec tick{0, TICK_NS};
    ::nanosleep(&tick, nullptr);
  }
}
