#include "control/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace treemon {
namespace {

const std::string SYNOPSIS = "Usage: treemon [--help | --version]\n";

struct Case {
  std::vector<std::string_view> arguments;
  int status;
  std::string output;  // "*" for the help text, which is checked separately
  std::string error;
};

TEST(CommandLine, AnswersEachArgumentList) {
  const Case cases[] = {
      {{"--version"}, 0, "treemon " TREEMON_VERSION " (windows x86_64)\n", ""},
      {{"--help"}, 0, "*", ""},
      {{"--versions"}, 2, "", "treemon: unknown argument '--versions'\n" + SYNOPSIS},
      {{"-h"}, 2, "", "treemon: unknown argument '-h'\n" + SYNOPSIS},
      {{""}, 2, "", "treemon: unknown argument ''\n" + SYNOPSIS},
      {{"123"}, 2, "", "treemon: unknown argument '123'\n" + SYNOPSIS},
      {{"--version", "--help"}, 2, "", "treemon: unexpected argument '--help'\n" + SYNOPSIS},
      {{"--help", "x"}, 2, "", "treemon: unexpected argument 'x'\n" + SYNOPSIS},
      {{"x", "--help"}, 2, "", "treemon: unknown argument 'x'\n" + SYNOPSIS},
      {{"a\nb\x1b[1m\x7f"}, 2, "", "treemon: unknown argument 'a?b?[1m?'\n" + SYNOPSIS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "" : std::string(c.arguments[0]));
    const auto answer = answer_command_line(c.arguments, "windows", "x86_64");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->exit_status, c.status);
    if (c.output == "*") {
      EXPECT_TRUE(answer->standard_output.starts_with(SYNOPSIS + "\nMonitors the CPU"));
      EXPECT_NE(answer->standard_output.find("newline-delimited JSON"), std::string::npos);
      EXPECT_NE(answer->standard_output.find("protocol.md"), std::string::npos);
      EXPECT_TRUE(answer->standard_output.ends_with(".\n"));
    } else {
      EXPECT_EQ(answer->standard_output, c.output);
    }
    EXPECT_EQ(answer->standard_error, c.error);
  }
}

TEST(CommandLine, NoArgumentsRunTheMonitor) {
  EXPECT_FALSE(answer_command_line({}, "linux", "aarch64"));
}

}  // namespace
}  // namespace treemon
