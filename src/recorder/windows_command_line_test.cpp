// Arguments quoted into one Windows command line, as the C runtime splits it again.
#include "recorder/windows_command_line.h"

#include <gtest/gtest.h>

namespace treemon::recorder {
namespace {

TEST(WindowsCommandLine, QuotesAsTheRuntimeSplits) {
  // [arguments, the command line]
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"cmd", "/c", "exit 5"}, R"(cmd /c "exit 5")"},
      {{"a", ""}, R"(a "")"},
      {{R"(C:\dir\)", R"(C:\with space\)"}, R"(C:\dir\ "C:\with space\\")"},
      {{R"(say "hi")"}, R"("say \"hi\"")"},
      {{R"(a\"b)"}, R"("a\\\"b")"},
      {{"tab\there"}, "\"tab\there\""},
  };
  for (const auto& [arguments, line] : cases) EXPECT_EQ(windows_command_line(arguments), line);
}

}  // namespace
}  // namespace treemon::recorder
