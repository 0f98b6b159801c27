#include "base/build_target.h"

#include <sys/utsname.h>

#include <string>

namespace treemon {

std::string_view platform_name() { return "linux"; }

std::string_view architecture_name() {
#if defined(__x86_64__)
  return "x86_64";
#elif defined(__aarch64__)
  return "aarch64";
#elif defined(__i386__)
  return "x86";
#elif defined(__arm__)
  return "arm";
#elif defined(__riscv) && __riscv_xlen == 64
  return "riscv64";
#else
  static const std::string machine = [] {
    utsname name{};
    return ::uname(&name) == 0 ? std::string(name.machine) : std::string("unknown");
  }();
  return machine;
#endif
}

}  // namespace treemon
