#include "control/monitor.h"

namespace treemon {

int run() { return 0; }

}  // namespace treemon
