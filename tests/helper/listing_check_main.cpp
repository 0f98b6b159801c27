// The monitor with every refresh that did not list /proc compared with a full listing: what the
// churn soak runs in its "threads" and "wrap" modes, and the end-to-end test of new processes.
#include "control/command_line.h"
#include "control/monitor.h"
#include "support/listing_check_linux.h"

int main(int argc, char** argv) {
  if (const auto status = treemon::answer_own_command_line(argc, argv)) return *status;
  return treemon::run(treemon::make_listing_checking_platform);
}
