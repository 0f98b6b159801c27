#!/usr/bin/env bash
# Builds every fuzzer with libFuzzer and runs each for SECONDS (default 60) on a copy of its seed
# corpus. A crash, a leak or a time-out fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTREEMON_FUZZ=ON \
  -DTREEMON_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build-fuzz -j"${TREEMON_JOBS:-2}"
for src in fuzz/*_fuzzer.cpp; do
  name=$(basename "$src" .cpp)
  corpus=$(mktemp -d)
  seeds="fuzz/corpus/${name%_fuzzer}"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  echo "-- $name for ${seconds}s"
  log="$corpus.log"
  if ! ./build-fuzz/"$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$corpus" >"$log" 2>&1; then
    tail -n 60 "$log"
    exit 1
  fi
  grep -E "^stat::(number_of_executed_units|new_units_added|peak_rss_mb)" "$log" || true
  rm -rf "$corpus" "$log"
done
