// Termination requests from outside (SIGTERM, SIGINT, SIGHUP on POSIX): they end the monitor the
// way `shutdown` does, between two events, so that a client never reads half a line.
//
// watch_stop_signals() must be called on the main thread before any other thread is started:
// the signals are then held back from every thread and taken by a watcher thread of their own,
// which asks the main loop to stop through the queue. The watcher is never joined.
#pragma once

#include "control/command_queue.h"

namespace treemon {

void watch_stop_signals(StopRequester requester);

}  // namespace treemon
