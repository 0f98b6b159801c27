// The command line that Windows programs split back into the given arguments, by the rules of
// CommandLineToArgvW and the C runtime: an argument with a space, a tab, a quote or nothing in it
// is quoted; inside quotes, backslashes are doubled before a quote and at the end, and a quote is
// escaped. Portable and pure, so that it is tested on every platform.
#pragma once

#include <string>
#include <vector>

namespace treemon::recorder {

std::string windows_command_line(const std::vector<std::string>& arguments);

}  // namespace treemon::recorder
