#!/usr/bin/env bash
# Tests the Node client and treemon-watch against the real monitor. The packages, the npm package
# among them, are tested by scripts/test-packages.sh.
# Usage: scripts/test-node.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}

# Node.js 20 and npm come with the machine; Debian's packages are the fallback. tmux and
# rsvg-convert are for the tests of the live view and the chart.
scripts/install-deps.sh nodejs=node npm=npm tmux=tmux librsvg2-bin=rsvg-convert

echo "== the monitor"
cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j"${TREEMON_JOBS:-2}" treemon
binary=$root/$build/treemon

echo "== the Node package"
cd clients/node
npm ci --no-audit --no-fund
npm run build
TREEMON_BINARY=$binary node --test --test-concurrency=1 dist/test/*.test.js
