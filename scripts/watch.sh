#!/usr/bin/env bash
# Builds what the live view needs, the monitor and the Node client, and runs treemon-watch on a
# command in the current folder: the command's process tree in the terminal (each process under
# its parent with CPU %, memory and I/O rates, refreshed each second) until the command ends, then
# a summary of the run; the command's exit status is the script's. Installs what is missing first,
# saying so: what scripts/run.sh would (compiler, CMake, Ninja), Node.js and npm, and the Node
# client's build tools from npm. Options before -- go to treemon-watch (--chart FILE, --record
# FILE, --help). The build's own output goes to standard error, the view to standard output.
# Usage: scripts/watch.sh [TREEMON_WATCH_OPTIONS] -- COMMAND ARGS...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# = 0 ]; then
  echo "usage: scripts/watch.sh [TREEMON_WATCH_OPTIONS] -- COMMAND ARGS..." >&2
  exit 2
fi
{
  "$root/scripts/install-deps.sh" --build nodejs=node npm=npm
  cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
  ninja -C "$root/build" -j"${TREEMON_JOBS:-2}" treemon
  cd "$root/clients/node"
  if ! [ node_modules/.package-lock.json -nt package-lock.json ]; then
    echo "== installing the Node client's build tools with npm ci: TypeScript, Node's type definitions and prettier"
    npm ci --no-audit --no-fund
  fi
  # tsc rewrites every output, so the client is built only when a source is newer than its build.
  built=dist/src/watch/cli.js
  if ! [ -e "$built" ] || [ -n "$(find src tsconfig.json package-lock.json -newer "$built" -print -quit)" ]; then
    echo "== building the Node client"
    npm run build --silent
  fi
} >&2
exec node "$root/clients/node/dist/src/watch/cli.js" --treemon "$root/build/treemon" "$@"
