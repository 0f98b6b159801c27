// The program's command line. With no arguments treemon is the monitor; `--version` and `--help`
// answer and exit; anything else is a usage error. The monitor itself takes all its settings
// from commands on standard input.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace treemon {

inline constexpr int USAGE_ERROR_STATUS = 2;

struct CommandLineAnswer {
  int exit_status = 0;
  std::string standard_output;  // each text ends with a line feed, or is empty
  std::string standard_error;
};

// What the arguments (without the program name) ask for: nothing when they ask for the monitor,
// otherwise the texts to write and the exit status. `platform` and `arch` are the names the
// hello reports.
std::optional<CommandLineAnswer> answer_command_line(std::span<const std::string_view> arguments,
                                                     std::string_view platform,
                                                     std::string_view arch);

// Writes the answer for the process's own arguments, if they ask for one, and returns the exit
// status; nothing when the monitor should run.
std::optional<int> answer_own_command_line(int argc, const char* const* argv);

}  // namespace treemon
