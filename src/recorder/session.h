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
//  3. The command is reaped as soon as it ends. Where the OS can count the command's whole tree
//     (tree_accounting.h), the session sets that up before the command starts: on Linux the
//     tool becomes the tree's subreaper and reaps every child itself, so the tree to sample is
//     everything under the tool (tree_root()); on Windows the command starts in a job.
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
#include "recorder/tree_accounting.h"

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
};

// A child the tool reaped, and when: the exact end of its life, which no sample can give.
struct ReapedProcess {
  uint32_t pid = 0;
  int64_t at_unix_us = 0;
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

  // The process whose descendants are the tree to sample: the command's pid, or the tool itself
  // where the tool is the tree's subreaper (its own row is then not the tree's).
  virtual uint32_t tree_root(uint32_t command_pid) const { return command_pid; }

  // The OS's count of the tree: of the command's tree after start(), of the watched process's
  // tree without it. Owned by the session; reading it reaps what has ended first.
  virtual TreeAccounting& tree_accounting() = 0;

  // Blocks until `deadline` or until something is to be taken; passes the command's output on
  // meanwhile.
  virtual void wait(MonoTime deadline) = 0;

  virtual std::optional<CommandEnd> take_command_end() = 0;
  // Every child reaped since the last call, in the order reaped; none where the OS reaps.
  virtual std::vector<ReapedProcess> take_reaped() { return {}; }
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
