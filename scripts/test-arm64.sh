#!/usr/bin/env bash
# Cross-builds treemon and its tests for arm64 Linux (Debian's g++-aarch64-linux-gnu, linked
# statically) and runs them under user-mode emulation (qemu-aarch64): every unit test, the
# process table against real processes, the end-to-end tests of the binary over pipes and its
# command line. No binfmt registration is needed: CTest starts the test program under the
# emulator, and the tests start the monitor through a script that does the same (see
# CMakeLists.txt). Every step is bounded in time.
# Usage: scripts/test-arm64.sh [BUILD_DIR]   (default: build-arm64, which scripts/release.sh shares)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-arm64}
scripts/install-deps.sh g++-aarch64-linux-gnu qemu-user googletest
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/aarch64-linux-gnu.cmake" >/dev/null
timeout 1800 ninja -C "$build" -j"${TREEMON_JOBS:-2}"
timeout 1200 ctest --test-dir "$build" --output-on-failure --no-tests=error --timeout 900
