// Starting the command on Linux: fork, then in the child the state the caller gave the tool is
// put back (the tool blocks its stop signals, ignores SIGPIPE and raises its descriptor limit),
// the output is wired, and the program is executed; an exec that fails is told to the parent
// through a close-on-exec pipe, so that a missing program is an error of start_command(), not
// an exit status of 127 that the command might have given itself.
// Main thread only, while the tool has no other thread.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "base/status.h"
#include "procinfo/linux/proc_files_linux.h"
#include "recorder/session.h"

namespace treemon::recorder {

struct InheritedState {
  sigset_t signal_mask;
  struct sigaction sigpipe_action;
  std::optional<rlimit> descriptor_limit;
};

// The state as the caller left it; call before changing any of it.
InheritedState note_inherited_state();

struct StartedCommand {
  pid_t pid = -1;
  // The read ends of the command's standard output and error, for OutputRoute::Tool.
  linux_proc::UniqueFd output;
  linux_proc::UniqueFd error;
};

Result<StartedCommand> start_command(const std::vector<std::string>& command,
                                     const CommandOutput& output, const InheritedState& inherited);

}  // namespace treemon::recorder
