#include <atomic>
#include <memory>

#include "base/win32_windows.h"
#include "control/stop_signals.h"

namespace treemon {
namespace {

// The console calls its handlers with the event's kind alone, so the requester they serve is
// kept here. It is set once, before the handler is installed, and never destroyed: a handler
// may run while the process is exiting.
std::atomic<StopRequester*> console_stop_requester{nullptr};

// Ctrl+C, Ctrl+Break and the closing of the console end the monitor as `shutdown` does, between
// two events, with status 0. The system ends a process whose handler returns from a close, so
// that handler waits for the main loop to end the process (the system allows it five seconds).
BOOL WINAPI stop_on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  StopRequester* requester = console_stop_requester.load(std::memory_order_acquire);
  if (requester == nullptr) return FALSE;
  requester->request_stop();
  if (event == CTRL_CLOSE_EVENT) ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

// A process started with Ctrl+C ignored keeps ignoring it, as a POSIX process keeps an ignored
// SIGINT: the handler is added to the console's, and the ignore flag left as it was inherited.
void watch_stop_signals(StopRequester requester) {
  console_stop_requester.store(std::make_unique<StopRequester>(std::move(requester)).release(),
                               std::memory_order_release);
  ::SetConsoleCtrlHandler(stop_on_console_event, TRUE);
}

}  // namespace treemon
