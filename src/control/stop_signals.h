// Termination requests from outside (SIGTERM, SIGINT, SIGHUP on POSIX; Ctrl+C, Ctrl+Break and
// the closing of the console on Windows): they end the monitor the way `shutdown` does, between
// two events, so that a client never reads half a line.
//
// watch_stop_signals() must be called on the main thread before any other thread is started.
// On POSIX the signals are then held back from every thread and taken by a watcher thread of
// their own; on Windows the console's handler thread takes the events. Either asks the main loop
// to stop through the queue, and is never joined.
#pragma once

#include "control/command_queue.h"

namespace treemon {

void watch_stop_signals(StopRequester requester);

}  // namespace treemon
