// The command's last lines as the view keeps them: per stream, without control characters, the
// latest five.
#include "recorder/output_tail.h"

#include <gtest/gtest.h>

namespace treemon::recorder {
namespace {

std::vector<std::string> lines_of(const OutputTail& tail) {
  return {tail.lines().begin(), tail.lines().end()};
}

TEST(OutputTail, EachStreamKeepsItsOwnPartialLine) {
  OutputTail tail(nullptr);
  tail.add(CommandStream::Output, "comp");
  tail.add(CommandStream::Error, "warn");
  tail.add(CommandStream::Output, "iling\r\n");
  tail.add(CommandStream::Error, "ing: x\x1b[31m\xc2\x9b\n");
  tail.add(CommandStream::Output, "last, unended");
  tail.end(CommandStream::Output);
  tail.end(CommandStream::Error);
  EXPECT_EQ(lines_of(tail),
            (std::vector<std::string>{"compiling", "warning: x [31m ", "last, unended"}));
}

TEST(OutputTail, KeepsTheLatestLinesEachCutToItsBound) {
  OutputTail tail(nullptr);
  for (int i = 1; i <= 7; ++i) tail.add(CommandStream::Output, std::to_string(i) + "\n");
  EXPECT_EQ(lines_of(tail), (std::vector<std::string>{"3", "4", "5", "6", "7"}));
  tail.add(CommandStream::Output, std::string(OUTPUT_LINE_KEPT_BYTES + 10, 'x') + "\n");
  EXPECT_EQ(tail.lines().back().size(), OUTPUT_LINE_KEPT_BYTES);
}

}  // namespace
}  // namespace treemon::recorder
