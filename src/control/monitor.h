// The monitor: start-up, the main loop and its exit status.
#pragma once

namespace treemon {

int run();

}  // namespace treemon
