// Starting the command on Windows: CreateProcessW with the arguments quoted back into one command
// line, the program found as the system finds it (the application's folder, the current one, the
// system folders, PATH), in the tool's console, with exactly the standard handles chosen here
// made inheritable.
// Main thread only.
#pragma once

#include <string>
#include <vector>

#include "base/status.h"
#include "base/win32_windows.h"
#include "recorder/session.h"

namespace treemon::recorder {

struct StartedCommand {
  UniqueHandle process;
  DWORD pid = 0;
  // The read ends of the command's standard output and error, for OutputRoute::Tool.
  UniqueHandle output;
  UniqueHandle error;
};

Result<StartedCommand> start_command(const std::vector<std::string>& command,
                                     const CommandOutput& output);

}  // namespace treemon::recorder
