#!/usr/bin/env bash
# Churn and soak: builds treemon and its churn driver, then runs the driver against the monitor
# for two minutes (or an hour with --hour) while it starts and kills about a hundred processes a
# second. Prints the checks' outcome and the monitor's figures; fails when any check failed.
# With --families subreaper|init, parents exit while their children live on, 40 families a
# second, and the rows must match the root's live descendants in /proc at the end.
# With --mode threads (threads created all the time) or --mode wrap (pids forced to wrap), the
# monitor is treemon_listing_check, which compares every refresh that did not list /proc with a
# full listing and ends at the first missed process or stale row.
#
# Usage: scripts/soak.sh [--hour] [--seconds N] [--families ROOT] [--mode MODE] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=120
build=build
monitor=treemon
mode=()
while [ $# -gt 0 ]; do
  case "$1" in
    --hour) seconds=3600 ;;
    --seconds) seconds=$2; shift ;;
    --families) mode+=(--families "$2" --rate 40); shift ;;
    --mode) mode+=(--mode "$2"); [ "$2" != reuse ] && monitor=treemon_listing_check; shift ;;
    *) build=$1 ;;
  esac
  shift
done
cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j"${TREEMON_JOBS:-2}" "$monitor" treemon_churn
# Progress every second only on a terminal; the summary always.
quiet=--quiet
[ -t 1 ] && quiet=
exec "./$build/treemon_churn" --monitor "./$build/$monitor" --seconds "$seconds" "${mode[@]}" $quiet
