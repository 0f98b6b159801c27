#include <signal.h>

#include <utility>

#include "base/detached_thread.h"
#include "control/stop_signals.h"

namespace treemon {
namespace {

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

// A signal that arrives while the main loop finishes its event, or after, changes nothing more.
void wait_for_stop_signals(StopRequester requester) {
  const sigset_t set = stop_signal_set();
  int signal_number = 0;
  while (sigwait(&set, &signal_number) != 0) {
  }
  requester.request_stop();
}

}  // namespace

void watch_stop_signals(StopRequester requester) {
  // Blocked before any thread starts, so every thread inherits the mask and only the watcher
  // takes these signals.
  const sigset_t set = stop_signal_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  start_detached_thread(wait_for_stop_signals, std::move(requester));
}

}  // namespace treemon
