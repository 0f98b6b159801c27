#!/usr/bin/env bash
# Builds treemon and runs every test of the monitor. The protocol schema, the Node and Python
# clients and the packages are tested by .ci/run (scripts/test-schema.sh, scripts/test-node.sh,
# scripts/test-python.sh, scripts/test-packages.sh).
# Usage: scripts/test.sh [BUILD_DIR] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${1:-build}
shift || true
cmake -S . -B "$build" -G Ninja "$@" >/dev/null
ninja -C "$build" -j"${TREEMON_JOBS:-2}"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j"${TREEMON_JOBS:-2}"
