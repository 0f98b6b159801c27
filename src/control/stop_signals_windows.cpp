#include "control/stop_signals.h"

namespace treemon {

// A client ends a Windows monitor by closing its input or with shutdown; console control events
// keep the system's default handling.
void watch_stop_signals(StopRequester) {}

}  // namespace treemon
