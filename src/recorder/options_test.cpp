// The command line beyond the shared table: each option's value, and each refusal's message.
#include "recorder/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace treemon::recorder {
namespace {

ParsedArguments parsed(std::vector<std::string> argv) { return parse_arguments(argv); }

TEST(RecorderOptions, ValuesAndFlags) {
  const auto all = parsed({"--record=r.jsonl", "--csv", "r.csv", "--chart", "c.svg", "--log", "l",
                           "--top", "0", "--sort", "memory", "--group", "--kill-tree",
                           "--record-mode", "--duration", "1.5", "--", "x", "--pid"});
  const auto& o = std::get<RecorderOptions>(all);
  EXPECT_EQ(o.record, "r.jsonl");
  EXPECT_EQ(o.csv, "r.csv");
  EXPECT_EQ(o.chart, "c.svg");
  EXPECT_EQ(o.log, "l");
  EXPECT_EQ(o.top, 0u);
  EXPECT_EQ(o.sort, SortKey::Memory);
  EXPECT_TRUE(o.group && o.kill_tree && o.record_mode);
  EXPECT_EQ(o.duration, std::chrono::milliseconds(1500));
  EXPECT_EQ(o.command, (std::vector<std::string>{"x", "--pid"}));
  const ParsedArguments bare = parsed({"x", "--group"});
  const auto& plain = std::get<RecorderOptions>(bare);
  EXPECT_FALSE(plain.group || plain.kill_tree || plain.record_mode || plain.duration);
  EXPECT_TRUE(std::holds_alternative<ShowHelp>(parsed({"--help", "--", "x"})));
  EXPECT_TRUE(std::holds_alternative<ShowVersion>(parsed({"--version", "--pid", "x"})));
}

TEST(RecorderOptions, Refusals) {
  // [argv, the message]
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "give either a command or --pid PID"},
      {{"--pid", "3", "--", "ls"}, "give either a command or --pid PID"},
      {{"--pid", "0"}, "--pid must be within 1..4294967295, got 0"},
      {{"--pid", "4294967296"}, "--pid must be within 1..4294967295, got 4294967296"},
      {{"--pid", "-5"}, "--pid must be a whole number, got \"-5\""},
      {{"--pid", "3", "--pid", "4"}, "--pid can be given once"},
      {{"--interval", "100", "ls"}, "--interval must be within 250..60000, got 100"},
      {{"--interval", "1e3", "ls"}, "--interval must be a whole number, got \"1e3\""},
      {{"--top", "21", "ls"}, "--top must be within 0..20, got 21"},
      {{"--sort", "name", "ls"}, "--sort must be cpu, memory, io or pid, got \"name\""},
      {{"--record"}, "--record needs a value"},
      {{"--frobnicate", "ls"}, "unknown option --frobnicate"},
      {{"--treemon", "x", "ls"}, "unknown option --treemon"},
      {{"--group=1", "ls"}, "unknown option --group=1"},
      {{"--x\x1b[2J", "ls"}, "unknown option --x\\x1b[2J"},
      {{"--record", "run", "--csv", "run", "ls"}, "run is named as two outputs"},
  };
  for (const auto& [argv, message] : cases) {
    const ParsedArguments result = parsed(argv);
    const auto* error = std::get_if<UsageError>(&result);
    ASSERT_NE(error, nullptr) << message;
    EXPECT_EQ(error->message, message);
  }
}

TEST(RecorderOptions, Durations) {
  // [text, milliseconds, or 0 for a refusal]
  const std::vector<std::pair<std::string, int64_t>> cases = {
      {"1", 1000}, {"0.5", 500},    {"2.25", 2250}, {"0.001", 1}, {"31536000", 31536000000},
      {"0", 0},    {"0.0004", 0},   {"1.", 0},      {".5", 0},    {"-1", 0},
      {"1e3", 0},  {"31536001", 0}, {"", 0}};
  for (const auto& [text, ms] : cases) {
    const ParsedArguments result = parsed({"--duration", text, "x"});
    if (ms == 0) {
      EXPECT_TRUE(std::holds_alternative<UsageError>(result)) << text;
    } else {
      EXPECT_EQ(std::get<RecorderOptions>(result).duration, std::chrono::milliseconds(ms)) << text;
    }
  }
}

}  // namespace
}  // namespace treemon::recorder
