#!/usr/bin/env bash
# Tests the Node client against the real monitor, and the treemon-watch launcher against the
# native tool. The packages, the npm package among them, are tested by scripts/test-packages.sh.
# Usage: scripts/test-node.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}

# Node.js 20 and npm come with the machine; Debian's packages are the fallback.
scripts/install-deps.sh nodejs=node npm=npm

echo "== the monitor and treemon-watch"
cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j"${TREEMON_JOBS:-2}" treemon treemon-watch

echo "== the Node package"
cd clients/node
npm ci --no-audit --no-fund
# A build of an older tree may have left tests of files that are gone.
rm -rf dist
npm run build
TREEMON_BINARY=$root/$build/treemon TREEMON_WATCH_BINARY=$root/$build/treemon-watch node --test --test-concurrency=1 dist/test/*.test.js
