// A private pid namespace for the tests that hand pids out on purpose (needs the right to make
// pid namespaces: root). Linux only.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace treemon::test_support {

// What a scenario returns when it cannot run here; the test skips with it.
inline const std::string SKIPPED = "skipped: ";

// Runs `scenario` as the first process (init) of a new pid namespace, with a /proc of that
// namespace when `own_proc`, and returns what it returned. Everything it started ends with it.
std::string run_in_pid_namespace(bool own_proc, const std::function<std::string()>& scenario);

// Sets the namespace's last pid, so that the next process gets `last` + 1; false when it cannot.
bool set_last_pid(pid_t last);

}  // namespace treemon::test_support
