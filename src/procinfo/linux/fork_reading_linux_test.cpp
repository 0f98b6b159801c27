#include "procinfo/linux/fork_reading_linux.h"

#include <gtest/gtest.h>

namespace treemon::linux_proc {
namespace {

// The texts as this kernel writes them, and what is not them.
TEST(ForkReadingTest, ParsesTheKernelsFiles) {
  EXPECT_EQ(parse_fork_count("cpu  1 2 3 4\nintr 5 6\nctxt 7\nbtime 8\nprocesses 26933\n"
                             "procs_running 1\n"),
            26933u);
  EXPECT_EQ(parse_fork_count("processes 1\n"), std::nullopt);  // never the first line
  EXPECT_EQ(parse_fork_count("cpu 1\nprocesses \n"), std::nullopt);
  EXPECT_EQ(parse_fork_count("cpu 1\nprocesses 12x\n"), std::nullopt);

  const std::optional<LoadavgFields> load = parse_loadavg("4.70 2.29 1.02 9/164 18656\n");
  ASSERT_TRUE(load);
  EXPECT_EQ(load->last_pid, 18656u);
  EXPECT_EQ(load->tasks, 164u);
  EXPECT_EQ(parse_loadavg("4.70 2.29 1.02 9/164 -1\n"), std::nullopt);
  EXPECT_EQ(parse_loadavg("4.70 2.29 1.02 9/164\n"), std::nullopt);
  EXPECT_EQ(parse_loadavg("4.70 2.29 9/164 18656\n"), std::nullopt);

  EXPECT_EQ(parse_pid_max("32768\n"), 32768u);
  EXPECT_EQ(parse_pid_max("300\n"), std::nullopt);
  EXPECT_EQ(parse_pid_max("4194304"), std::nullopt);
}

// The reader's files as they are on this machine: a reading takes the counter it is given.
TEST(ForkReadingTest, ReadsThisMachinesFiles) {
  FileBuffer buffer;
  const ForkReader reader;
  EXPECT_FALSE(reader.read(std::nullopt, buffer));
  const std::optional<ForkReading> reading = reader.read(12345, buffer);
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->forks, 12345u);
  EXPECT_GT(reading->pid_max, RESERVED_PIDS);
  EXPECT_LT(reading->last_pid, reading->pid_max);
  EXPECT_GT(reading->tasks, 0u);
}

}  // namespace
}  // namespace treemon::linux_proc
