#include "base/build_target.h"

namespace treemon {

std::string_view platform_name() { return "windows"; }

std::string_view architecture_name() {
#if defined(_M_X64) || defined(__x86_64__)
  return "x86_64";
#elif defined(_M_ARM64) || defined(__aarch64__)
  return "aarch64";
#elif defined(_M_IX86) || defined(__i386__)
  return "x86";
#else
  return "unknown";
#endif
}

}  // namespace treemon
