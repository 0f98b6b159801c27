#!/usr/bin/env bash
# Builds the native treemon-watch and runs it on a command in the caller's folder: the command's
# process tree in the terminal (each process under its parent with CPU %, memory and I/O rates,
# refreshed each second) until the command ends, then a summary of the run; the command's exit
# status is the script's. Installs what is missing first, saying so: what scripts/run.sh would
# (compiler, CMake, Ninja). Options before -- go to treemon-watch (--chart FILE, --record FILE,
# --csv FILE, --help). The build's own output goes to standard error, the view to standard output.
# Usage: scripts/watch.sh [TREEMON_WATCH_OPTIONS] -- COMMAND ARGS...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# = 0 ]; then
  echo "usage: scripts/watch.sh [TREEMON_WATCH_OPTIONS] -- COMMAND ARGS..." >&2
  exit 2
fi
{
  "$root/scripts/install-deps.sh" --build
  cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
  ninja -C "$root/build" -j"${TREEMON_JOBS:-2}" treemon-watch
} >&2
exec "$root/build/treemon-watch" "$@"
