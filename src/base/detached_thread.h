// Starting the program's long-lived helper threads. They run until the process exits and are
// never joined; a program that cannot start one cannot work, so failing to start it ends the
// process with a message rather than an exception.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

namespace treemon {

template <typename Function, typename... Args>
void start_detached_thread(Function&& function, Args&&... args) {
  try {
    std::thread(std::forward<Function>(function), std::forward<Args>(args)...).detach();
  } catch (const std::system_error&) {
    std::fputs("failed to spawn thread\n", stderr);
    std::abort();
  }
}

}  // namespace treemon
