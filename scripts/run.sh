#!/usr/bin/env bash
# Builds treemon and shows it at work: starts it on a small process tree of its own, configures
# it, prints a few snapshots and a history read, and shuts it down; or, with a command, prints the
# command's tree every second until the command ends and exits with its status. Installs only what
# the build needs (compiler, CMake, Ninja; Python for this demo) when it is missing.
# Usage: scripts/run.sh [-- COMMAND ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --build
cmake -S . -B build -G Ninja >/dev/null
ninja -C build -j"${TREEMON_JOBS:-2}" treemon
[ "${1:-}" = "--" ] && shift
exec python3 scripts/demo.py build/treemon "$@"
