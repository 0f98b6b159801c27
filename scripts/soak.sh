#!/usr/bin/env bash
# Churn and soak: builds treemon and its churn driver, then runs the driver against the monitor
# for two minutes (or an hour with --hour) while it starts and kills about a hundred processes a
# second. Prints the checks' outcome and the monitor's figures; fails when any check failed.
# With --families subreaper|init, parents exit while their children live on, 40 families a
# second, and the rows must match the root's live descendants in /proc at the end.
#
# Usage: scripts/soak.sh [--hour] [--seconds N] [--families ROOT] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=120
build=build
mode=()
while [ $# -gt 0 ]; do
  case "$1" in
    --hour) seconds=3600 ;;
    --seconds) seconds=$2; shift ;;
    --families) mode=(--families "$2" --rate 40); shift ;;
    *) build=$1 ;;
  esac
  shift
done
cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j"${TREEMON_JOBS:-2}" treemon treemon_churn
# Progress every second only on a terminal; the summary always.
quiet=--quiet
[ -t 1 ] && quiet=
exec "./$build/treemon_churn" --monitor "./$build/treemon" --seconds "$seconds" "${mode[@]}" $quiet
