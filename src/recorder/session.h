// The tool's dealings with its operating system during a run: the command it starts, the signals
// (or console events) that ask it to stop, the terminal being resized, and the command's output
// when the tool passes it on. One implementation file per OS (session_linux.cpp,
// session_windows.cpp); starting the command is one function there.
//
// Contract:
//  1. create() is called before the process platform is made and before any other thread starts:
//     it notes the state the command must inherit as the caller left it (on POSIX the signal mask,
//     SIGPIPE's disposition and the descriptor limit, which the tool itself changes), and from
//     then on stop requests are held for wait() instead of ending the tool.
//  2. The command runs in the caller's current folder, in the tool's process group, with the
//     caller's standard input; its output goes where CommandOutput says.
//  3. The command is reaped as soon as it ends, and the kernel's counts of its whole reaped tree
//     are read at that moment (where the kernel keeps them).
//  4. wait() returns at its deadline or earlier, when something happened; what happened is
//     then taken with the take_ calls, each told once.
// Main thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/status.h"
#include "recorder/output_tail.h"
#include "recorder/summary.h"

namespace treemon::recorder {

enum class OutputRoute {
  Inherit,        // the tool's own standard output and error
  OutputToError,  // standard output onto the tool's standard error (the CSV is on its output)
  File,           // both into a file
  Tool,           // both to the tool, for the view (and the log file)
};

struct CommandOutput {
  OutputRoute route = OutputRoute::Inherit;
  std::FILE* file = nullptr;   // for File
  OutputTail* tail = nullptr;  // for Tool
};

struct CommandEnd {
  uint32_t status = 0;                // the exit status; 128 + N for signal N on POSIX
  std::optional<std::string> signal;  // "SIGTERM" when a signal ended it
  std::optional<KernelUsage> usage;   // the kernel's counts of the whole reaped tree
};

// How the tool is asked to stop, and the status that says so (130 for Ctrl-C).
struct StopRequest {
  uint32_t exit_status = 0;
};

class Session {
 public:
  virtual ~Session() = default;

  static std::unique_ptr<Session> create();

  // Starts the command; its pid, or the message that says why it could not start.
  virtual Result<uint32_t> start(const std::vector<std::string>& command,
                                 const CommandOutput& output) = 0;

  // Blocks until `deadline` or until something is to be taken; passes the command's output on
  // meanwhile.
  virtual void wait(MonoTime deadline) = 0;

  virtual std::optional<CommandEnd> take_command_end() = 0;
  virtual std::optional<StopRequest> take_stop_request() = 0;
  virtual bool take_resize() = 0;

  // Asks the command to stop as the tool was asked (Ctrl-C, SIGTERM), or kills it when `force`.
  virtual void forward_stop(const StopRequest& request, bool force) = 0;
  // Asks a process to end (SIGTERM on POSIX), or kills it when `force`. A process that is gone
  // is no error.
  virtual void end_process(uint32_t pid, bool force) = 0;

  // Reads what the command's output still holds, for at most `deadline`: processes it left
  // running may hold the output open. Nothing when the output does not come to the tool.
  virtual void drain_output(MonoTime deadline) = 0;
};

}  // namespace treemon::recorder
