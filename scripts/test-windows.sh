#!/usr/bin/env bash
# Cross-builds the Windows binaries with MinGW-w64 and runs their tests under Wine:
#   - treemon_tests.exe (every unit test, the Win32 layer against real Windows processes included),
#   - end-to-end runs of treemon.exe over pipes from Linux (scripts/windows_e2e.py),
#   - its command line (tests/command_line_e2e.py),
# once with Wine reporting Windows 10 (the native command-line query, which Wine 8 rejects, so
# command lines come back empty) and once reporting Windows 7 (the command line read from the
# process-parameters block).
#
# Usage: scripts/test-windows.sh [BUILD_DIR]     (default: build-win in the source tree)
# Installs its Debian packages when they are missing. Wine runs headless in a prefix of its own
# under a temporary directory, removed at the end. Every step is bounded in time.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${1:-${ROOT}/build-win}"
JOBS="${TREEMON_JOBS:-2}"
# shellcheck source=SCRIPTDIR/wine-prefix.sh
source "${ROOT}/scripts/wine-prefix.sh"

log() { printf '== %s\n' "$*"; }

install_missing_packages() {
  local extra=(g++-mingw-w64-x86-64-posix wine wine64)
  # GoogleTest comes as sources from Debian, built here with the cross compiler.
  [[ -d /usr/src/googletest ]] || extra+=(googletest)
  "${ROOT}/scripts/install-deps.sh" "${extra[@]}"
}

build() {
  log "building in ${BUILD_DIR}"
  cmake -S "${ROOT}" -B "${BUILD_DIR}" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="${ROOT}/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  # The default target, as anyone building with the toolchain file would: it must build.
  timeout 1800 ninja -C "${BUILD_DIR}" -j"${JOBS}"
}

WINE_HOME=""
cleanup() {
  if [[ -n "${WINE_HOME}" ]]; then
    wine_prefix_stop
    rm -rf "${WINE_HOME}"
  fi
}

start_wine() {
  WINE_HOME="$(mktemp -d "${TMPDIR:-/tmp}/treemon-wine.XXXXXX")"
  trap cleanup EXIT
  wine_prefix_start "${WINE_HOME}/prefix"
}

run_tests_as() {
  local version="$1" command_lines="$2"
  log "Wine as ${version}: unit tests"
  timeout 60 winecfg -v "${version}" >/dev/null 2>&1
  timeout 120 wineserver -w
  (cd "${BUILD_DIR}" &&
    TREEMON_EXPECT_COMMAND_LINES="${command_lines}" timeout 900 wine ./treemon_tests.exe)
  log "Wine as ${version}: end-to-end runs"
  timeout 600 python3 "${ROOT}/scripts/windows_e2e.py" "${BUILD_DIR}" --command-lines "${command_lines}"
}

run_command_line_tests() {
  log "the command line of treemon.exe"
  local version
  version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "${BUILD_DIR}/CMakeCache.txt")"
  timeout 600 python3 "${ROOT}/tests/command_line_e2e.py" "${version}" windows x86_64 \
    "${BUILD_DIR}/treemon.exe" wine
}

install_missing_packages
build
start_wine
run_command_line_tests
run_tests_as win10 no
run_tests_as win7 yes
log "Windows tests passed"
