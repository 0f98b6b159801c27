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

// The system platform with every refresh that did not list /proc compared with a full listing
// (listing_check_linux.h): a missed process or a stale row ends the monitor with a line on
// standard error, and a summary of the refreshes is written there when the platform goes. For
// tests and soak runs.
std::unique_ptr<ProcessPlatform> make_listing_checking_platform();

}  // namespace treemon
