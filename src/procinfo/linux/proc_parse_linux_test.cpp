#include <gtest/gtest.h>

#include <charconv>
#include <limits>
#include <random>

#include "base/saturating.h"
#include "base/utf8.h"
#include "procinfo/linux/proc_parse_linux.h"
#include "procinfo/platform.h"

namespace treemon::linux_proc {
namespace {

// A stat line with the given name and state, parent 77, utime 1234, stime 567, start 98765.
std::string stat_line(const std::string& name, char state = 'S') {
  return "4242 (" + name + ") " + state +
         " 77 4242 4242 0 -1 4194560 120 0 0 0 1234 567 0 0 20 0 1 0 98765 12345678 321 "
         "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
}

// The name ends at the last ')': spaces, parentheses and even ") R 1 (" inside it are kept.
TEST(ProcParseTest, StatNameEndsAtTheLastParenthesis) {
  const char* const names[] = {"sleep", "my prog", "a)b", "(x) y (z)", ") R 1 (", "", "tab\tname"};
  for (const char* name : names) {
    const std::string line = stat_line(name);
    std::optional<StatFields> fields = parse_stat(line);
    ASSERT_TRUE(fields) << name;
    EXPECT_EQ(fields->comm, name);
    EXPECT_EQ(fields->state, 'S');
    EXPECT_EQ(fields->parent_pid, 77u);
    EXPECT_EQ(fields->flags, 4194560u);
    EXPECT_FALSE(is_kernel_thread(*fields));
    EXPECT_EQ(fields->user_ticks, 1234u);
    EXPECT_EQ(fields->system_ticks, 567u);
    EXPECT_EQ(fields->start_ticks, 98765u);
  }
}

// A kernel thread is known by its PF_KTHREAD flag; negative terminal fields are skipped.
TEST(ProcParseTest, KernelThreadFlag) {
  std::optional<StatFields> fields = parse_stat(
      "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 3 0 0 20 0 1 0 6 0 0 18446744073709551615 0 0 "
      "0 0 0 0 0 2147483647 0 0 0 0 0 1 0 0 0 0 0\n");
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->flags, 2129984u);
  EXPECT_TRUE(is_kernel_thread(*fields));
  EXPECT_EQ(fields->parent_pid, 0u);
  EXPECT_EQ(fields->system_ticks, 3u);
  EXPECT_EQ(fields->start_ticks, 6u);
}

// Arbitrary bytes never make a parser read outside its text, and what comes out is valid text.
TEST(ProcParseTest, ArbitraryBytesAreSafe) {
  std::mt19937 random(12345);
  static constexpr char RAW[] = "0123456789 ()\n:-cpurchawbtimeSZ\0\xFF\xC3";
  const std::string alphabet(RAW, sizeof RAW - 1);
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 200, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    if (round % 3 == 0) text = stat_line("x").substr(0, random() % 200) + text;
    static_cast<void>(parse_stat(text));
    static_cast<void>(parse_statm(text));
    static_cast<void>(parse_io(text));
    static_cast<void>(parse_machine_stat(text));
    static_cast<void>(parse_boot_time(text));
    for (const std::string& argument : split_command_line(text)) {
      ASSERT_TRUE(is_well_formed_utf8(argument));
    }
    ASSERT_TRUE(is_well_formed_utf8(process_name(text.substr(0, 15), text)));
  }
}

// Lines as the kernel writes them (any name, one space between fields, signed fields negative,
// numbers of every width, a parsed field past 64 bits now and then) read the same as splitting
// the text after the last ')' at its spaces: the parser's word-at-a-time field counting agrees
// with the plain reading wherever a field falls within the eight-byte words.
TEST(ProcParseTest, StatAgreesWithSplittingAtSpaces) {
  std::mt19937_64 random(2024);
  const auto number_text = [&random]() -> std::string {
    switch (random() % 4) {
      case 0:
        return std::to_string(random() % 10);
      case 1:
        return std::to_string(random());
      case 2:
        return "-" + std::to_string(random() % 100000);
      default:
        return std::to_string(random() % 100000000);
    }
  };
  for (int round = 0; round < 5000; ++round) {
    std::string name;
    for (size_t i = random() % 16; i > 0; --i) name += "ab )( 9"[random() % 7];
    std::vector<std::string> fields = {std::string(1, "RSDZTI"[random() % 6])};
    for (int i = 0; i < 50; ++i) fields.push_back(number_text());
    if (random() % 50 == 0) fields[1 + random() % 19] = "18446744073709551616";
    std::string line = std::to_string(random() % 4000000) + " (" + name + ")";
    for (const std::string& field : fields) line += " " + field;
    line += "\n";

    // The reference: ppid, flags, utime, stime and starttime are fields 1, 6, 11, 12 and 19.
    std::optional<uint64_t> expected[5];
    const int positions[5] = {1, 6, 11, 12, 19};
    for (int i = 0; i < 5; ++i) {
      const std::string& text = fields[positions[i]];
      uint64_t value = 0;
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error == std::errc() && end == text.data() + text.size()) expected[i] = value;
    }
    const bool parsable = expected[0] && *expected[0] <= std::numeric_limits<uint32_t>::max() &&
                          expected[1] && expected[2] && expected[3] && expected[4];
    std::optional<StatFields> parsed = parse_stat(line);
    ASSERT_EQ(parsed.has_value(), parsable) << line;
    if (!parsed) continue;
    EXPECT_EQ(parsed->comm, name) << line;
    EXPECT_EQ(parsed->state, fields[0][0]) << line;
    EXPECT_EQ(parsed->parent_pid, *expected[0]) << line;
    EXPECT_EQ(parsed->flags, *expected[1]) << line;
    EXPECT_EQ(parsed->user_ticks, *expected[2]) << line;
    EXPECT_EQ(parsed->system_ticks, *expected[3]) << line;
    EXPECT_EQ(parsed->start_ticks, *expected[4]) << line;
  }
}

// Damaged or cut stat lines give nothing rather than wrong numbers.
TEST(ProcParseTest, DamagedStatGivesNothing) {
  const std::string full = stat_line("x");
  const std::string damaged[] = {"",
                                 "4242 x) S 1",
                                 "4242 (x S 1",
                                 "4242 (x)",
                                 "4242 (x) S",
                                 "4242 (x) S 77 1 2 3 4 5 6 7 8 9 10",
                                 full.substr(0, full.find(" 98765")),
                                 "4242 (x) S 99999999999 4242 4242 0 -1 1 1 0 0 0 1 1 0 0 20 0 1 "
                                 "0 5"};
  for (const std::string& text : damaged) EXPECT_FALSE(parse_stat(text)) << text;
}

TEST(ProcParseTest, StatmIoAndBootTime) {
  std::optional<StatmFields> statm = parse_statm("765 434 405 5 0 123 0\n");
  ASSERT_TRUE(statm);
  EXPECT_EQ(statm->resident_pages, 434u);
  EXPECT_EQ(statm->data_pages, 123u);
  EXPECT_FALSE(parse_statm("765 434 405\n"));

  std::optional<IoFields> io =
      parse_io("rchar: 6976\nwchar: 18446744073709551615\nsyscr: 10\nsyscw: 0\nread_bytes: 4096\n");
  ASSERT_TRUE(io);
  EXPECT_EQ(io->rchar, 6976u);
  EXPECT_EQ(io->wchar, U64_MAX);
  EXPECT_FALSE(parse_io("syscr: 10\nread_bytes: 4096\n")) << "read_bytes is not rchar";
  EXPECT_FALSE(parse_io("rchar: 1\n"));

  EXPECT_EQ(parse_boot_time("cpu  1 2 3 4\nintr 5\nbtime 1733500000\nprocesses 9\n"), 1733500000u);
  EXPECT_FALSE(parse_boot_time("cpu  1 2 3 4\n"));
}

// The cpu line: user + nice as user; system, idle, iowait, irq, softirq, steal as kernel; guest
// columns not added again. Processors are the cpuN lines.
TEST(ProcParseTest, MachineTimesFromTheCpuLine) {
  std::optional<MachineFields> machine = parse_machine_stat(
      "cpu  100 20 30 4000 5 6 7 8 900 1000\n"
      "cpu0 50 10 15 2000 2 3 3 4 450 500\n"
      "cpu1 50 10 15 2000 3 3 4 4 450 500\n"
      "intr 12345 1 2 3\nctxt 999\nbtime 1733500000\n");
  ASSERT_TRUE(machine);
  EXPECT_EQ(machine->user_ticks, 120u);
  EXPECT_EQ(machine->kernel_ticks, 30u + 4000 + 5 + 6 + 7 + 8);
  EXPECT_EQ(machine->cpu_lines, 2u);

  std::optional<MachineFields> old_kernel = parse_machine_stat("cpu 1 2 3 4\ncpu0 1 2 3 4\n");
  ASSERT_TRUE(old_kernel);
  EXPECT_EQ(old_kernel->user_ticks, 3u);
  EXPECT_EQ(old_kernel->kernel_ticks, 7u);
  EXPECT_EQ(old_kernel->cpu_lines, 1u);

  EXPECT_FALSE(parse_machine_stat("intr 1\n"));
  EXPECT_FALSE(parse_machine_stat("cpu 1 2\n"));
}

// Arguments are split at NUL bytes; empty arguments inside survive; each is repaired.
TEST(ProcParseTest, CommandLineSplitAtNul) {
  using Args = std::vector<std::string>;
  struct Case {
    std::string bytes;
    Args expected;
  };
  const Case cases[] = {
      {"", {}},
      {std::string("sleep\0"
                   "100\0",
                   10),
       {"sleep", "100"}},
      {std::string("a b\0\0c\0", 7), {"a b", "", "c"}},
      {"rewritten title", {"rewritten title"}},  // no NUL at all
      {std::string("x\xFF\0", 3), {"x\xEF\xBF\xBD"}},
      {std::string("\0", 1), {""}},
  };
  for (const Case& c : cases) EXPECT_EQ(split_command_line(c.bytes), c.expected);
}

// The name is comm unless the kernel cut it at 15 bytes and argv[0]'s basename goes on from it.
TEST(ProcParseTest, ProcessName) {
  struct Case {
    std::string comm, first_argument, expected;
  };
  const Case cases[] = {
      {"sleep", "/bin/sleep", "sleep"},
      {"short", "/usr/bin/something-else", "short"},
      {"a-very-long-nam", "/opt/a-very-long-name-indeed", "a-very-long-name-indeed"},
      {"a-very-long-nam", "a-very-long-name-indeed", "a-very-long-name-indeed"},
      {"a-very-long-nam", "/opt/other-program", "a-very-long-nam"},
      {"a-very-long-nam", "", "a-very-long-nam"},
      {"kworker/u4:1-ev", "", "kworker/u4:1-ev"},
      {"caf\xC3\xA9-and-more\xC3", "/x/caf\xC3\xA9-and-more\xC3\xA9!",
       "caf\xC3\xA9-and-more\xC3\xA9!"},
      {"caf\xC3\xA9-and-more\xC3", "/x/other", "caf\xC3\xA9-and-more\xEF\xBF\xBD"},
      // A basename longer than a name is kept is cut, here inside a character.
      {"a-very-long-nam", "/opt/a-very-long-nam" + std::string(NAME_KEPT_BYTES, 'e'),
       "a-very-long-nam" + std::string(NAME_KEPT_BYTES - 15, 'e')},
      {"a-very-long-nam", "/a-very-long-nam" + std::string(NAME_KEPT_BYTES - 16, 'e') + "\xC3\xA9",
       "a-very-long-nam" + std::string(NAME_KEPT_BYTES - 16, 'e') + "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) EXPECT_EQ(process_name(c.comm, c.first_argument), c.expected);
}

TEST(ProcParseTest, StateLetters) {
  struct Case {
    char letter;
    const char* text;
  };
  const Case cases[] = {
      {'R', "Run"},         {'S', "Sleep"},          {'D', "UninterruptibleDiskSleep"},
      {'Z', "Zombie"},      {'T', "Stop"},           {'t', "Tracing"},
      {'X', "Dead"},        {'x', "Dead"},           {'K', "Wakekill"},
      {'W', "Waking"},      {'P', "Parked"},         {'I', "Idle"},
      {'Q', "Unknown(81)"}, {'\xFF', "Unknown(255)"}};
  for (const Case& c : cases) EXPECT_EQ(state_from_letter(c.letter).text(), c.text) << c.letter;
}

// Ticks become 100-ns units exactly, for common and odd tick rates, and saturate.
TEST(ProcParseTest, TickConversion) {
  struct Case {
    uint64_t ticks, per_second, expected;
  };
  const Case cases[] = {
      {0, 100, 0},
      {1, 100, 100000},
      {123, 100, 12300000},
      {3, 300, 100000},
      {1, 1024, 9765},  // truncated
      {2049, 1024, 20009765},
      {U64_MAX, 100, U64_MAX},
      {U64_MAX / 100000, 100, U64_MAX / 100000 * 100000},
      {U64_MAX / 100000 + 1, 100, U64_MAX},
      {U64_MAX / 10000000 + 1, 1, U64_MAX},
      {5, 0, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ticks_to_100ns(c.ticks, c.per_second), c.expected);
}

}  // namespace
}  // namespace treemon::linux_proc
