#include "procinfo/process_state.h"

#include <gtest/gtest.h>

namespace treemon {
namespace {

// Every named state in code order has its exact text; Unknown carries its code in decimal.
TEST(ProcessStateTest, TextOfEveryState) {
  const char* const names[] = {"Idle",     "Run",     "Sleep",       "Stop",
                               "Zombie",   "Tracing", "Dead",        "Wakekill",
                               "Waking",   "Parked",  "LockBlocked", "UninterruptibleDiskSleep",
                               "Suspended"};
  for (uint8_t code = 0; code < 13; ++code) {
    EXPECT_EQ(ProcessState{static_cast<ProcessStateKind>(code)}.text(), names[code]) << +code;
  }
  struct Case {
    uint32_t code;
    const char* text;
  };
  const Case unknown[] = {
      {7, "Unknown(7)"}, {0, "Unknown(0)"}, {4294967295u, "Unknown(4294967295)"}};
  for (const Case& c : unknown) EXPECT_EQ(ProcessState::unknown(c.code).text(), c.text);
}

TEST(ProcessStateTest, DefaultIsRunAndEqualityComparesCode) {
  EXPECT_EQ(ProcessState{}.text(), "Run");
  EXPECT_EQ(ProcessState::unknown(7), ProcessState::unknown(7));
  EXPECT_NE(ProcessState::unknown(7), ProcessState::unknown(8));
}

}  // namespace
}  // namespace treemon
