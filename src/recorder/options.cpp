#include "recorder/options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>

#include "recorder/text.h"

namespace treemon::recorder {

const std::string_view USAGE =
    R"(usage: treemon-watch [options] [--] COMMAND [ARGS...]
       treemon-watch [options] --pid PID

The command starts at the first argument that is not an option (or after --): what follows is
the command's, options included. It runs in the current folder.

Shows a live table of the process tree (CPU % of one processor, resident memory, I/O rates) when
standard output is a terminal, refreshed every second, with the totals of the tree; elsewhere it
records quietly. Ends when the command ends (processes it left running are listed, not waited
for) or, with --pid, when the process ends; then prints a summary of the run on standard error.
Exits with the command's status (128 + N for signal N), 130 after Ctrl-C, 143 after SIGTERM,
127 when the command cannot be started, 2 for a usage error.

options:
  --record FILE     write every snapshot to FILE, one JSON object per line, and the summary last
  --csv FILE        write one row per process per sample to FILE (time, pid, ppid, name, CPU %,
                    resident bytes, read and write rates, command)
  --chart FILE      at the end, write an SVG chart of CPU %, resident memory and I/O over time
  --group           in the chart, one band per process name instead of one line per process
  --log FILE        write the command's output to FILE (the view shows its last lines)
  --kill-tree       when the command ends, end the processes it left running
  --duration SECONDS  end the command's tree after this long (TERM, then KILL after a grace
                    period) and report; with --pid, stop watching
  --interval MS     sample interval in milliseconds, 250..60000 (default 1000)
  --top N           processes drawn in the chart besides the total, 0..20 (default 5)
  --sort KEY        order of siblings in the table: cpu, memory, io or pid (default cpu)
  --record-mode     no live view; the CSV goes to standard output unless --csv names a file, and
                    the command's standard output goes to standard error
  --version         show the version
  --help            show this text

Output files are opened before the command starts: one that cannot be written stops the run
(status 2) with nothing started.)";

namespace {

constexpr std::array<std::string_view, 9> VALUE_OPTIONS = {"--record", "--chart",    "--csv",
                                                           "--log",    "--interval", "--top",
                                                           "--sort",   "--pid",      "--duration"};
constexpr std::array<std::string_view, 3> FLAG_OPTIONS = {"--group", "--kill-tree",
                                                          "--record-mode"};

template <size_t N>
bool is_one_of(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool is_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A whole number within min..max, or the message that says why not.
std::variant<uint64_t, UsageError> whole_number(std::string_view name, std::string_view text,
                                                uint64_t min, uint64_t max) {
  if (!is_digits(text)) {
    return UsageError{std::string(name) + " must be a whole number, got \"" + printable(text) +
                      "\""};
  }
  uint64_t value = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ec != std::errc() || value < min || value > max) {
    return UsageError{std::string(name) + " must be within " + std::to_string(min) + ".." +
                      std::to_string(max) + ", got " + printable(text)};
  }
  return value;
}

// Seconds with up to three decimals ("0.5", "90"), more than 0 and at most a year.
std::variant<std::chrono::milliseconds, UsageError> duration(std::string_view text) {
  const size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view decimals =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  const bool well_formed =
      is_digits(whole) && whole.size() <= 9 &&
      (point == std::string_view::npos || (is_digits(decimals) && decimals.size() <= 3));
  uint64_t ms = 0;
  if (well_formed) {
    uint64_t seconds = 0;
    uint64_t fraction = 0;
    std::from_chars(whole.data(), whole.data() + whole.size(), seconds);
    std::from_chars(decimals.data(), decimals.data() + decimals.size(), fraction);
    for (size_t i = decimals.size(); i < 3; ++i) fraction *= 10;
    ms = seconds * 1000 + fraction;
  }
  constexpr uint64_t YEAR_MS = 365ull * 24 * 3600 * 1000;
  if (!well_formed || ms == 0 || ms > YEAR_MS) {
    return UsageError{
        "--duration must be a number of seconds above 0 (at most a year, "
        "3 decimals), got \"" +
        printable(text) + "\""};
  }
  return std::chrono::milliseconds(ms);
}

std::optional<SortKey> sort_key(std::string_view text) {
  if (text == "cpu") return SortKey::Cpu;
  if (text == "memory") return SortKey::Memory;
  if (text == "io") return SortKey::Io;
  if (text == "pid") return SortKey::Pid;
  return std::nullopt;
}

struct Scanned {
  std::map<std::string_view, std::string_view> values;
  std::vector<std::string_view> flags;
  size_t command_at = 0;
};

// Splits the options from the command; a help or version request, or an error, ends the scan.
std::variant<Scanned, ParsedArguments> scan(std::span<const std::string> arguments) {
  Scanned scanned;
  size_t i = 0;
  for (; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "--") {
      ++i;
      break;
    }
    if (!argument.starts_with("-") || argument == "-") break;
    if (argument == "--help" || argument == "-h") return ParsedArguments(ShowHelp{});
    if (argument == "--version") return ParsedArguments(ShowVersion{});
    if (is_one_of(FLAG_OPTIONS, argument)) {
      scanned.flags.push_back(argument);
      continue;
    }
    const size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    if (!is_one_of(VALUE_OPTIONS, name)) {
      return ParsedArguments(UsageError{"unknown option " + printable(argument)});
    }
    if (equals == std::string_view::npos && i + 1 == arguments.size()) {
      return ParsedArguments(UsageError{std::string(name) + " needs a value"});
    }
    if (name == "--pid" && scanned.values.contains(name)) {
      return ParsedArguments(UsageError{"--pid can be given once"});
    }
    scanned.values[name] = equals == std::string_view::npos ? std::string_view(arguments[++i])
                                                            : argument.substr(equals + 1);
  }
  scanned.command_at = i;
  return scanned;
}

std::optional<std::string> value_of(const Scanned& scanned, std::string_view name) {
  const auto found = scanned.values.find(name);
  if (found == scanned.values.end()) return std::nullopt;
  return std::string(found->second);
}

bool has_flag(const Scanned& scanned, std::string_view name) {
  return std::find(scanned.flags.begin(), scanned.flags.end(), name) != scanned.flags.end();
}

// Reads a whole-number option into `out` when given; false with `error` set when it is wrong.
template <typename T>
bool read_number(const Scanned& scanned, std::string_view name, uint64_t min, uint64_t max, T& out,
                 std::optional<UsageError>& error) {
  const std::optional<std::string> text = value_of(scanned, name);
  if (!text) return true;
  auto parsed = whole_number(name, *text, min, max);
  if (auto* wrong = std::get_if<UsageError>(&parsed)) {
    error = std::move(*wrong);
    return false;
  }
  out = static_cast<T>(std::get<uint64_t>(parsed));
  return true;
}

std::optional<UsageError> check_outputs(const RecorderOptions& options) {
  std::vector<std::string> outputs;
  for (const auto* file : {&options.record, &options.csv, &options.chart, &options.log}) {
    if (!*file) continue;
    if (std::find(outputs.begin(), outputs.end(), **file) != outputs.end()) {
      return UsageError{printable(**file) + " is named as two outputs"};
    }
    outputs.push_back(**file);
  }
  return std::nullopt;
}

ParsedArguments options_from(const Scanned& scanned, std::span<const std::string> arguments) {
  RecorderOptions options;
  options.command.assign(arguments.begin() + static_cast<ptrdiff_t>(scanned.command_at),
                         arguments.end());
  std::optional<UsageError> error;
  uint32_t pid = 0;
  if (!read_number(scanned, "--pid", 1, 0xffffffffu, pid, error) ||
      !read_number(scanned, "--interval", 250, 60000, options.interval_ms, error) ||
      !read_number(scanned, "--top", 0, 20, options.top, error)) {
    return *error;
  }
  if (scanned.values.contains("--pid")) options.pid = pid;
  if (options.pid.has_value() == !options.command.empty()) {
    return UsageError{"give either a command or --pid PID"};
  }
  if (const auto text = value_of(scanned, "--sort")) {
    const std::optional<SortKey> key = sort_key(*text);
    if (!key) {
      return UsageError{"--sort must be cpu, memory, io or pid, got \"" + printable(*text) + "\""};
    }
    options.sort = *key;
  }
  if (const auto text = value_of(scanned, "--duration")) {
    auto parsed = duration(*text);
    if (auto* wrong = std::get_if<UsageError>(&parsed)) return std::move(*wrong);
    options.duration = std::get<std::chrono::milliseconds>(parsed);
  }
  options.record = value_of(scanned, "--record");
  options.csv = value_of(scanned, "--csv");
  options.chart = value_of(scanned, "--chart");
  options.log = value_of(scanned, "--log");
  options.group = has_flag(scanned, "--group");
  options.kill_tree = has_flag(scanned, "--kill-tree");
  options.record_mode = has_flag(scanned, "--record-mode");
  if (auto shared = check_outputs(options)) return std::move(*shared);
  return options;
}

}  // namespace

ParsedArguments parse_arguments(std::span<const std::string> arguments) {
  auto scanned = scan(arguments);
  if (auto* answer = std::get_if<ParsedArguments>(&scanned)) return std::move(*answer);
  return options_from(std::get<Scanned>(scanned), arguments);
}

}  // namespace treemon::recorder
