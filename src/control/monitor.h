// The monitor: start-up, the main loop and its exit status.
#pragma once

namespace treemon {

// Runs the monitor on the process's standard streams until shutdown, end of input or an output
// failure. Returns the process exit status: 0, or 1 after an output failure.
int run();

}  // namespace treemon
