// The platform and architecture this program was built for, as `--version` and the hello name
// them. Pure; usable from any thread.
#pragma once

#include <string_view>

namespace treemon {

// "linux" or "windows".
std::string_view platform_name();
// "x86_64", "aarch64", ...
std::string_view architecture_name();

}  // namespace treemon
