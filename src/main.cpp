#include "control/command_line.h"
#include "control/monitor.h"

int main(int argc, char** argv) {
  if (const auto status = treemon::answer_own_command_line(argc, argv)) return *status;
  return treemon::run();
}
