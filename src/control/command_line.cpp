#include "control/command_line.h"

#include <vector>

#include "control/console.h"
#include "protocol/events.h"
#include "protocol/messages.h"

namespace treemon {
namespace {

constexpr std::string_view SYNOPSIS = "Usage: treemon [--help | --version]\n";

constexpr std::string_view DESCRIPTION =
    "\n"
    "Monitors the CPU, memory and I/O use of a process tree. A client application starts treemon\n"
    "as a child process, writes newline-delimited JSON commands to its standard input and reads\n"
    "JSON events from its standard output; with no arguments treemon does just that, announcing\n"
    "itself with a hello event and waiting for commands.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version, platform and architecture, and exit\n"
    "\n"
    "The protocol is documented in protocol.md, installed with treemon (Debian:\n"
    "/usr/share/doc/treemon/protocol.md, also `man treemon`; Windows: beside treemon.exe).\n"
    "Exit status: 0 after a shutdown command or the end of input, 1 when standard output fails,\n"
    "2 for a bad argument.\n";

// An argument is quoted in a one-line message: control characters would break the line.
std::string printable(std::string_view argument) {
  std::string text;
  for (const char c : argument) {
    const auto byte = static_cast<unsigned char>(c);
    text += (byte < 0x20 || byte == 0x7f) ? '?' : c;
  }
  return text;
}

}  // namespace

std::optional<CommandLineAnswer> answer_command_line(std::span<const std::string_view> arguments,
                                                     std::string_view platform,
                                                     std::string_view arch) {
  if (arguments.empty()) return std::nullopt;
  if (arguments.size() == 1 && arguments[0] == "--version") {
    return CommandLineAnswer{0,
                             "treemon " + std::string(SIDECAR_VERSION) + " (" +
                                 std::string(platform) + " " + std::string(arch) + ")\n",
                             ""};
  }
  if (arguments.size() == 1 && arguments[0] == "--help") {
    return CommandLineAnswer{0, std::string(SYNOPSIS) + std::string(DESCRIPTION), ""};
  }
  const bool known = arguments[0] == "--version" || arguments[0] == "--help";
  const std::string_view wrong = known ? arguments[1] : arguments[0];
  return CommandLineAnswer{USAGE_ERROR_STATUS, "",
                           "treemon: " + std::string(known ? "unexpected" : "unknown") +
                               " argument '" + printable(wrong) + "'\n" + std::string(SYNOPSIS)};
}

std::optional<int> answer_own_command_line(int argc, const char* const* argv) {
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::optional<CommandLineAnswer> answer =
      answer_command_line(arguments, platform_name(), architecture_name());
  if (!answer) return std::nullopt;
  if (!answer->standard_output.empty()) {
    if (const Status failure = StandardOutput().write_all(answer->standard_output); !failure.ok()) {
      write_standard_error_line(std::string(OUTPUT_FAILURE_PREFIX).append(failure.message()));
      return 1;
    }
  }
  if (!answer->standard_error.empty()) {
    std::string_view text = answer->standard_error;
    text.remove_suffix(1);  // the error line writer ends the line itself
    write_standard_error_line(text);
  }
  return answer->exit_status;
}

}  // namespace treemon
