// The Linux process platform, made with a descriptor budget of the caller's choosing, so that a
// test can run it short of descriptors without lowering its own open-file limit, or with an
// observer of its listings. make_system_platform() makes it with the budget the real limit
// allows and no observer.
#pragma once

#include <cstdint>
#include <memory>

#include "procinfo/platform.h"

namespace treemon {
namespace linux_proc {
class ListingObserver;
}

// Handles keep at most `descriptor_budget` descriptors open at once and read by path beyond it.
std::unique_ptr<ProcessPlatform> make_linux_platform(uint64_t descriptor_budget);

// The system platform that tells `observer` of every refresh's choice of the pids it lists
// (listing_choice_linux.h); the platform owns it.
std::unique_ptr<ProcessPlatform> make_observed_linux_platform(
    std::unique_ptr<linux_proc::ListingObserver> observer);

}  // namespace treemon
