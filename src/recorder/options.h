// The command line of treemon-watch: the options, where the command starts, and the usage text.
//
// Contract:
//  1. The command starts at the first argument that is not an option ("-" is not one), or after
//     "--"; everything after that is the command's, options and "--" included.
//  2. A value option takes the next argument or its text after "=": "--interval=250".
//  3. Exactly one of a command and --pid; every number is whole and within its range; no file is
//     named as two outputs. Anything else is a usage error whose message names the argument.
// Pure; usable from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace treemon::recorder {

enum class SortKey { Cpu, Memory, Io, Pid };

struct RecorderOptions {
  // The command to start and watch; empty when --pid names a running process.
  std::vector<std::string> command;
  std::optional<uint32_t> pid;
  uint32_t interval_ms = 1000;
  std::optional<std::string> record;
  std::optional<std::string> csv;
  std::optional<std::string> chart;
  std::optional<std::string> log;
  uint32_t top = 5;
  SortKey sort = SortKey::Cpu;
  // The chart draws one band per process name instead of one line per process.
  bool group = false;
  // Processes still running when the command ends are ended (and listed as killed).
  bool kill_tree = false;
  // No view; the CSV on standard output unless --csv names a file; the command's standard output
  // on standard error, so that the CSV stays clean.
  bool record_mode = false;
  std::optional<std::chrono::milliseconds> duration;
};

struct ShowHelp {};
struct ShowVersion {};
struct UsageError {
  std::string message;
};

using ParsedArguments = std::variant<RecorderOptions, ShowHelp, ShowVersion, UsageError>;

// The arguments without the program's name.
ParsedArguments parse_arguments(std::span<const std::string> arguments);

extern const std::string_view USAGE;

}  // namespace treemon::recorder
