// The Linux process platform, made with a descriptor budget of the caller's choosing, so that a
// test can run it short of descriptors without lowering its own open-file limit.
// make_system_platform() makes it with the budget the real limit allows.
#pragma once

#include <cstdint>
#include <memory>

#include "procinfo/platform.h"

namespace treemon {

// Handles keep at most `descriptor_budget` descriptors open at once and read by path beyond it.
std::unique_ptr<ProcessPlatform> make_linux_platform(uint64_t descriptor_budget);

}  // namespace treemon
