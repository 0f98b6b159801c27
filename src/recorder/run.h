// One run of treemon-watch, from the parsed command line to its exit status.
//
// Contract:
//  1. Output files are opened before the command starts; one that cannot be written ends the run
//     with status 2 and nothing started.
//  2. The command starts before the process platform is made (which raises the tool's
//     descriptor limit); a command that cannot start gives status 127.
//  3. The run ends when the command ends (processes it left running are listed, not waited
//     for), when the watched process ends, or when --duration is reached; a stop request
//     (Ctrl-C, SIGTERM) is passed on to the command, whose end still ends the run, or ends a
//     watch by pid at once.
//  4. The summary is printed on standard error at every end, and the record's last line is the
//     summary; the status is the command's, or 128 + N after stop signal N.
// Main thread only.
#pragma once

#include "recorder/options.h"

namespace treemon::recorder {

int run(const RecorderOptions& options);

}  // namespace treemon::recorder
